#include "ui/FormIcon.h"

namespace vesh {

FormIcon::FormIcon(const QString& systemName, QWidget* parent)
    : SymbolView(systemName, 16, LabelLevel::secondary, 1.0, parent) {}

QSize FormIcon::sizeHint() const {
    // A column slightly wider than the symbol keeps the rows' text aligned.
    return {20, 18};
}

}  // namespace vesh
