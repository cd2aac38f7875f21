#pragma once

#include <QBasicTimer>
#include <QWidget>

namespace vesh {

// An indeterminate progress indicator: twelve spokes whose brightness runs
// round the circle. It animates only while it is visible.
class ProgressSpinner : public QWidget {
    Q_OBJECT

public:
    explicit ProgressSpinner(QWidget* parent = nullptr);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QBasicTimer timer_;
    int step_ = 0;
};

}  // namespace vesh
