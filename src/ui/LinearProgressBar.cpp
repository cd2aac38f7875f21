#include "ui/LinearProgressBar.h"

#include <QAccessible>
#include <QPainter>

#include <algorithm>
#include <cmath>

#include "ui/Appearance.h"

namespace vesh {

namespace {

constexpr int barHeight = 6;

}  // namespace

LinearProgressBar::LinearProgressBar(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void LinearProgressBar::setValue(double value) {
    const double clamped = std::isnan(value) ? 0.0 : std::clamp(value, 0.0, 1.0);
    if (clamped == value_) {
        return;
    }
    value_ = clamped;
    QAccessibleValueChangeEvent event(this, value_);
    QAccessible::updateAccessibility(&event);
    update();
}

QSize LinearProgressBar::sizeHint() const { return {240, barHeight}; }

QSize LinearProgressBar::minimumSizeHint() const { return {40, barHeight}; }

void LinearProgressBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const QRectF track(0, (height() - barHeight) / 2.0, width(), barHeight);
    const double radius = barHeight / 2.0;
    painter.setBrush(labelColor(palette(), LabelLevel::quaternary));
    painter.drawRoundedRect(track, radius, radius);
    if (value_ > 0.0) {
        QRectF filled = track;
        filled.setWidth(std::max(track.height(), track.width() * value_));
        painter.setBrush(palette().color(QPalette::Highlight));
        painter.drawRoundedRect(filled, radius, radius);
    }
}

}  // namespace vesh
