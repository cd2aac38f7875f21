#pragma once

#include "ui/SectionFrame.h"

namespace vesh {

class Brain;
class OutputFormatSelector;
class ToggleSwitch;

// "Format": the "Same as original file" switch and the output format pickers.
class FormatSection : public SectionFrame {
    Q_OBJECT

public:
    explicit FormatSection(Brain& brain, QWidget* parent = nullptr);

    QList<QWidget*> controls() const override;

private:
    Brain& brain_;
    ToggleSwitch* sameAsOriginal_;
    OutputFormatSelector* selector_;
};

}  // namespace vesh
