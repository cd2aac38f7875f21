#include "ui/TextView.h"

#include <QEvent>
#include <QFontMetrics>
#include <QPainter>

#include <algorithm>

namespace vesh {

TextView::TextView(LabelLevel level, Qt::Alignment alignment, QWidget* parent)
    : QWidget(parent), level_(level), alignment_(alignment) {
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void TextView::setText(const QString& text) {
    if (text == text_) {
        return;
    }
    text_ = text;
    // Read as one sentence by assistive technology.
    setAccessibleName(QString(text).replace(QLatin1Char('\n'), QLatin1Char(' ')));
    updateGeometry();
    update();
}

void TextView::setLineSpacing(int lineSpacing) {
    lineSpacing_ = lineSpacing;
    updateGeometry();
    update();
}

void TextView::setElideMode(Qt::TextElideMode mode) {
    elideMode_ = mode;
    setSizePolicy(mode == Qt::ElideNone ? QSizePolicy::Preferred : QSizePolicy::Ignored, QSizePolicy::Fixed);
    updateGeometry();
    update();
}

QSize TextView::sizeHint() const {
    const QFontMetrics metrics(font());
    const QStringList lines = text_.split(QLatin1Char('\n'));
    int width = 0;
    for (const QString& line : lines) {
        width = std::max(width, metrics.horizontalAdvance(line));
    }
    const int lineCount = static_cast<int>(lines.size());
    return {width + 2, lineCount * metrics.height() + (lineCount - 1) * lineSpacing_};
}

QSize TextView::minimumSizeHint() const {
    const QSize hint = sizeHint();
    if (elideMode_ == Qt::ElideNone) {
        return hint;
    }
    return {QFontMetrics(font()).horizontalAdvance(QStringLiteral("M…M")), hint.height()};
}

void TextView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(labelColor(palette(), level_));
    const QFontMetrics metrics(font());
    const QStringList lines = text_.split(QLatin1Char('\n'));
    const int lineCount = static_cast<int>(lines.size());
    const int blockHeight = lineCount * metrics.height() + (lineCount - 1) * lineSpacing_;
    int y = (alignment_ & Qt::AlignTop) ? 0 : std::max(0, (height() - blockHeight) / 2);
    for (const QString& line : lines) {
        const QString shown = elideMode_ == Qt::ElideNone ? line : metrics.elidedText(line, elideMode_, width());
        const QRect lineRect(0, y, width(), metrics.height());
        painter.drawText(lineRect, static_cast<int>(alignment_ & Qt::AlignHorizontal_Mask) | Qt::AlignVCenter, shown);
        y += metrics.height() + lineSpacing_;
    }
}

void TextView::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange) {
        updateGeometry();
    }
    QWidget::changeEvent(event);
}

}  // namespace vesh
