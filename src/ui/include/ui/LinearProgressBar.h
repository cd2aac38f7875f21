#pragma once

#include <QWidget>

namespace vesh {

// A thin determinate progress bar showing a fraction from 0 to 1.
class LinearProgressBar : public QWidget {
    Q_OBJECT

public:
    explicit LinearProgressBar(QWidget* parent = nullptr);

    double value() const { return value_; }
    // Clamped to 0…1; anything that is not a number shows as 0.
    void setValue(double value);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    double value_ = 0.0;
};

}  // namespace vesh
