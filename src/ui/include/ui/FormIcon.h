#pragma once

#include "ui/SymbolView.h"

namespace vesh {

// The leading icon of a settings row: the named symbol at 16 pixels in the
// secondary label colour.
class FormIcon : public SymbolView {
    Q_OBJECT

public:
    explicit FormIcon(const QString& systemName, QWidget* parent = nullptr);

    QSize sizeHint() const override;
};

}  // namespace vesh
