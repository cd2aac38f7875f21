#pragma once

#include <QLineEdit>

namespace vesh {

// A label-less text field without a frame or background of its own, for a
// settings row; its placeholder dims with the field when disabled.
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
