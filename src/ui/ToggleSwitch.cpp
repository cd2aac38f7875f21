#include "ui/ToggleSwitch.h"

#include <QPainter>

#include "ui/Appearance.h"

namespace vesh {

namespace {

constexpr int trackWidth = 32;
constexpr int trackHeight = 18;
constexpr int knobInset = 2;

}  // namespace

ToggleSwitch::ToggleSwitch(QWidget* parent) : QAbstractButton(parent) {
    setCheckable(true);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setFocusPolicy(Qt::StrongFocus);
    knobAnimation_.setDuration(120);
    knobAnimation_.setEasingCurve(QEasingCurve::InOutQuad);
    connect(&knobAnimation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        knobPosition_ = value.toDouble();
        update();
    });
    connect(this, &QAbstractButton::toggled, this, [this](bool on) {
        knobAnimation_.stop();
        if (!isVisible()) {
            knobPosition_ = on ? 1.0 : 0.0;
            update();
            return;
        }
        knobAnimation_.setStartValue(knobPosition_);
        knobAnimation_.setEndValue(on ? 1.0 : 0.0);
        knobAnimation_.start();
    });
}

QSize ToggleSwitch::sizeHint() const { return {trackWidth + 2, trackHeight + 2}; }

bool ToggleSwitch::hitButton(const QPoint& position) const { return rect().contains(position); }

void ToggleSwitch::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setOpacity(isEnabled() ? 1.0 : 0.5);
    const QRectF track((width() - trackWidth) / 2.0, (height() - trackHeight) / 2.0, trackWidth, trackHeight);
    const double radius = trackHeight / 2.0;

    const QColor off = withOpacity(palette().color(QPalette::WindowText), isDark(palette()) ? 0.25 : 0.16);
    const QColor on = palette().color(QPalette::Active, QPalette::Highlight);
    QColor fill = off;
    if (knobPosition_ > 0.0) {
        // Fade the track colour together with the knob's travel.
        fill = on;
        fill.setAlphaF(static_cast<float>(knobPosition_));
        painter.setPen(Qt::NoPen);
        painter.setBrush(off);
        painter.drawRoundedRect(track, radius, radius);
    }
    painter.setPen(hasFocus() ? QPen(withOpacity(on, 0.6), 2.0) : QPen(Qt::NoPen));
    painter.setBrush(fill);
    painter.drawRoundedRect(track, radius, radius);

    const double knobDiameter = trackHeight - 2 * knobInset;
    const double travel = trackWidth - 2 * knobInset - knobDiameter;
    const QRectF knob(track.left() + knobInset + travel * knobPosition_, track.top() + knobInset, knobDiameter,
                      knobDiameter);
    painter.setPen(QPen(QColor(0, 0, 0, 40), 0.5));
    painter.setBrush(Qt::white);
    painter.drawEllipse(knob);
}

}  // namespace vesh
