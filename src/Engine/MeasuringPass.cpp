#include "MeasuringPass.h"

#include "ConvertedReader.h"
#include "Failures.h"

namespace vesh::detail {

Measurement measure(AudioFile& source, std::int64_t processingRate, Checkpoints& checkpoints,
                    const std::function<void(const std::vector<std::vector<float>>&)>& takeConverted) {
    ConvertedReader input(source, processingRate);
    const std::size_t channelCount = input.channelCount();
    checkpoints.setEntryCount(channelCount);
    checkpoints.check(true);

    std::vector<LoudnessMeter> meters;
    for (std::size_t channel = 0; channel < channelCount; ++channel) meters.emplace_back(processingRate);

    Measurement result;
    std::vector<std::vector<float>> converted;
    while (input.read(converted)) {
        for (std::size_t channel = 0; channel < channelCount; ++channel) {
            enhancing([&] { meters[channel].add(converted[channel]); });
            if (result.identicalChannels && channel > 0 && converted[channel] != converted[channel - 1]) {
                result.identicalChannels = false;
            }
        }
        if (channelCount > 0) result.processingLength += static_cast<std::int64_t>(converted.front().size());
        takeConverted(converted);
        checkpoints.setMeasured(input.fractionRead());
        checkpoints.check();
    }

    result.replacedSamples = input.replacedSamples();
    for (const LoudnessMeter& meter : meters) {
        enhancing([&] { result.loudness.push_back(meter.integratedLoudness()); });
    }
    checkpoints.setMeasured(1.0);
    if (result.identicalChannels) checkpoints.setEntryCount(1);
    checkpoints.check(true);
    return result;
}

}  // namespace vesh::detail
