#pragma once

#include <QLineEdit>

namespace vesh {

// A label-less text field without a frame or background of its own, for a
// settings row. Its placeholder is drawn like the sidebar's other secondary
// texts, in the palette's disabled colours while the field is disabled.
class PlainTextField : public QLineEdit {
    Q_OBJECT

public:
    explicit PlainTextField(const QString& title, QWidget* parent = nullptr);

protected:
    void changeEvent(QEvent* event) override;

private:
    void applyColors();
};

}  // namespace vesh
