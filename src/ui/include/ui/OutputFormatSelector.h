#pragma once

#include <QWidget>

#include <vector>

#include "AudioIO/CommonAudioFileFormat.h"

class QComboBox;

namespace vesh {

class Brain;

// The three pickers of the output format: sample rate, bit depth and
// encoding format. Disabled, keeping their choices, while the output follows
// the original file's format.
class OutputFormatSelector : public QWidget {
    Q_OBJECT

public:
    explicit OutputFormatSelector(Brain& brain, QWidget* parent = nullptr);

    // Sample rate, bit depth and encoding format, in this order.
    QList<QWidget*> pickers() const;

private:
    void updateFromBrain();
    void storeChoices();

    Brain& brain_;
    // The cases each picker lists, in its order.
    const std::vector<SampleRate> sampleRates_ = allSampleRates();
    const std::vector<BitDepth> bitDepths_ = allBitDepths();
    const std::vector<AudioFileFormat> fileFormats_ = allAudioFileFormats();
    QComboBox* sampleRate_;
    QComboBox* bitDepth_;
    QComboBox* encodingFormat_;
};

}  // namespace vesh
