#pragma once

#include "ui/SectionFrame.h"

namespace vesh {

class Brain;
class MixSlider;

// "Parameters": the wet/dry "Mix" slider with its percentage.
class ParameterSection : public SectionFrame {
    Q_OBJECT

public:
    explicit ParameterSection(Brain& brain, QWidget* parent = nullptr);

    QList<QWidget*> controls() const override;

private:
    MixSlider* mix_;
};

}  // namespace vesh
