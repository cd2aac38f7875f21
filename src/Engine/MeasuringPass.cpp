#include "MeasuringPass.h"

#include "BlockThread.h"
#include "ConvertedReader.h"
#include "Failures.h"
#include "Support/Processors.h"

namespace vesh::detail {

namespace {

using Channels = std::vector<std::vector<float>>;

// Frames per channel gathered before a block is handed on: enough that
// handing over costs little against measuring.
constexpr std::size_t framesPerBlock = 1 << 16;

}  // namespace

Measurement measure(AudioFile& source, std::int64_t processingRate, Checkpoints& checkpoints,
                    const std::function<void(const Channels&)>& takeConverted) {
    ConvertedReader input(source, processingRate);
    const std::size_t channelCount = input.channelCount();
    checkpoints.setEntryCount(channelCount);
    checkpoints.check(true);

    // Decoding and conversion, the caller's use of each block, and the
    // meters work at once, each on a thread of its own; each meter measures
    // long stretches of its channel at once on every processor, since
    // metering is the slowest of the three and the model waits for it.
    std::vector<LoudnessMeter> meters;
    for (std::size_t channel = 0; channel < channelCount; ++channel) {
        meters.emplace_back(processingRate, availableProcessorCount());
    }
    BlockThread metering(channelCount, [&](const Channels& block) {
        for (std::size_t channel = 0; channel < channelCount; ++channel) {
            enhancing([&] { meters[channel].add(block[channel]); });
        }
    });
    BlockThread taking(channelCount, [&](Channels& block) {
        takeConverted(block);
        metering.add(block);
    });
    Measurement result;
    Channels block(channelCount);
    const auto handOn = [&] {
        if (channelCount == 0 || block.front().empty()) return;
        for (std::size_t channel = 1; result.identicalChannels && channel < channelCount; ++channel) {
            result.identicalChannels = block[channel] == block[channel - 1];
        }
        result.processingLength += static_cast<std::int64_t>(block.front().size());
        taking.add(block);
    };
    while (input.readOnto(block)) {
        if (channelCount > 0 && block.front().size() >= framesPerBlock) handOn();
        checkpoints.setMeasured(input.fractionRead());
        checkpoints.check();
    }
    handOn();

    result.replacedSamples = input.replacedSamples();
    taking.finish();
    metering.finish();
    for (const LoudnessMeter& meter : meters) {
        enhancing([&] { result.loudness.push_back(meter.integratedLoudness()); });
    }
    checkpoints.setMeasured(1.0);
    if (result.identicalChannels) checkpoints.setEntryCount(1);
    checkpoints.check(true);
    return result;
}

}  // namespace vesh::detail
