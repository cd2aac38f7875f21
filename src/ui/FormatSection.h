#pragma once

#include "ui/SectionFrame.h"

namespace vesh {

class Brain;
class ToggleSwitch;

// "Format": the "Same as original file" switch and the output format pickers.
class FormatSection : public SectionFrame {
    Q_OBJECT

public:
    explicit FormatSection(Brain& brain, QWidget* parent = nullptr);

private:
    Brain& brain_;
    ToggleSwitch* sameAsOriginal_;
};

}  // namespace vesh
