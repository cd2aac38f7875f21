#pragma once

#include <QLocale>
#include <QWidget>

class QLabel;
class QSlider;

namespace vesh {

class Brain;

// The wet/dry mix as a slider with its percentage beside it, bound to
// Brain's setting both ways: the sidebar's and the preview's are one
// setting, so either follows the other.
class MixSlider : public QWidget {
    Q_OBJECT

public:
    // The slider's integer steps across the mix range 0…1.
    static constexpr int sliderSteps = 1000;

    // `name` is the slider's object name; the percentage is `name` + "Value".
    MixSlider(Brain& brain, const QString& name, QWidget* parent = nullptr);

    // A mix value as a whole percentage in the locale's digits and sign ("50%").
    static QString percentText(double value, const QLocale& locale);

    QSlider* slider() const { return slider_; }

private:
    void updateFromBrain();

    Brain& brain_;
    QSlider* slider_;
    QLabel* valueLabel_;
};

}  // namespace vesh
