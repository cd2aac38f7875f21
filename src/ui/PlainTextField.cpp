#include "ui/PlainTextField.h"

#include <QEvent>

#include "ui/Appearance.h"

namespace vesh {

PlainTextField::PlainTextField(const QString& title, QWidget* parent) : QLineEdit(parent) {
    setPlaceholderText(title);
    setAccessibleName(title);
    setFrame(false);
    applyColors();
}

void PlainTextField::changeEvent(QEvent* event) {
    QLineEdit::changeEvent(event);
    if (event->type() == QEvent::PaletteChange) {
        applyColors();
    }
}

void PlainTextField::applyColors() {
    QPalette colors = palette();
    const QColor base = Qt::transparent;
    colors.setCurrentColorGroup(QPalette::Active);
    const QColor placeholder = labelColor(colors, LabelLevel::secondary);
    colors.setCurrentColorGroup(QPalette::Disabled);
    const QColor dimmedPlaceholder = labelColor(colors, LabelLevel::secondary);
    // Setting the palette raises another PaletteChange: only set what differs.
    if (colors.color(QPalette::Base) == base && colors.color(QPalette::PlaceholderText) == placeholder &&
        colors.color(QPalette::Disabled, QPalette::PlaceholderText) == dimmedPlaceholder) {
        return;
    }
    colors.setColor(QPalette::Base, base);
    for (const auto group : {QPalette::Active, QPalette::Inactive}) {
        colors.setColor(group, QPalette::PlaceholderText, placeholder);
    }
    colors.setColor(QPalette::Disabled, QPalette::PlaceholderText, dimmedPlaceholder);
    setPalette(colors);
}

}  // namespace vesh
