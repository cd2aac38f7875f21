#pragma once

#include <QLocale>

#include "ui/SectionFrame.h"

class QLabel;
class QSlider;

namespace vesh {

class Brain;

// "Parameters": the wet/dry "Mix" slider with its percentage.
class ParameterSection : public SectionFrame {
    Q_OBJECT

public:
    // The slider's integer steps across the mix range 0…1.
    static constexpr int sliderSteps = 1000;

    explicit ParameterSection(Brain& brain, QWidget* parent = nullptr);

    // A mix value as a whole percentage in the locale's digits and sign ("50%").
    static QString percentText(double value, const QLocale& locale);

    QList<QWidget*> controls() const override;

private:
    void updateFromBrain();

    Brain& brain_;
    QSlider* slider_;
    QLabel* valueLabel_;
};

}  // namespace vesh
