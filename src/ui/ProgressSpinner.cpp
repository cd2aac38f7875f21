#include "ui/ProgressSpinner.h"

#include <QPainter>
#include <QTimerEvent>

#include <algorithm>

#include "ui/Appearance.h"

namespace vesh {

namespace {

constexpr int spokeCount = 12;
constexpr int diameter = 28;
constexpr int frameIntervalMilliseconds = 83;

}  // namespace

ProgressSpinner::ProgressSpinner(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize ProgressSpinner::sizeHint() const { return {diameter, diameter}; }

void ProgressSpinner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(width() / 2.0, height() / 2.0);
    const double radius = std::min(width(), height()) / 2.0;
    const double spokeWidth = radius * 0.2;
    const QColor base = labelColor(palette(), LabelLevel::primary);
    for (int i = 0; i < spokeCount; ++i) {
        // The spoke at the current step is the brightest; the ones behind it fade out.
        const int age = (step_ - i + spokeCount) % spokeCount;
        const double opacity = 0.78 - 0.6 * age / (spokeCount - 1);
        painter.save();
        painter.rotate(360.0 * i / spokeCount);
        painter.setPen(Qt::NoPen);
        painter.setBrush(withOpacity(base, opacity));
        painter.drawRoundedRect(QRectF(-spokeWidth / 2, -radius, spokeWidth, radius * 0.5), spokeWidth / 2,
                                spokeWidth / 2);
        painter.restore();
    }
}

void ProgressSpinner::timerEvent(QTimerEvent* event) {
    if (event->timerId() != timer_.timerId()) {
        QWidget::timerEvent(event);
        return;
    }
    step_ = (step_ + 1) % spokeCount;
    update();
}

void ProgressSpinner::showEvent(QShowEvent* event) {
    timer_.start(frameIntervalMilliseconds, this);
    QWidget::showEvent(event);
}

void ProgressSpinner::hideEvent(QHideEvent* event) {
    timer_.stop();
    QWidget::hideEvent(event);
}

}  // namespace vesh
