#pragma once

#include <QAbstractButton>
#include <QVariantAnimation>

namespace vesh {

// An on/off switch: a rounded track with a knob that slides to the trailing
// end when on. Checkable; clicking or Space toggles it.
class ToggleSwitch : public QAbstractButton {
    Q_OBJECT

public:
    explicit ToggleSwitch(QWidget* parent = nullptr);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& position) const override;

private:
    QVariantAnimation knobAnimation_;
    double knobPosition_ = 0.0;  // 0 = off, 1 = on
};

}  // namespace vesh
