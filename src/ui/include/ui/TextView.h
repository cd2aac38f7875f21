#pragma once

#include <QString>
#include <QWidget>

#include "ui/Appearance.h"

namespace vesh {

// Read-only text in a label colour (of the palette's disabled colours while
// disabled): several lines ("\n" breaks a line) with extra spacing between
// them, or one line shortened with an ellipsis to fit. Its accessible name
// is the whole text.
class TextView : public QWidget {
    Q_OBJECT

public:
    TextView(LabelLevel level, Qt::Alignment alignment, QWidget* parent = nullptr);

    const QString& text() const { return text_; }
    void setText(const QString& text);
    // Extra pixels between consecutive lines.
    void setLineSpacing(int lineSpacing);
    // Anything but Qt::ElideNone shortens each line to the available width.
    void setElideMode(Qt::TextElideMode mode);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    QString text_;
    LabelLevel level_;
    Qt::Alignment alignment_;
    int lineSpacing_ = 0;
    Qt::TextElideMode elideMode_ = Qt::ElideNone;
};

}  // namespace vesh
