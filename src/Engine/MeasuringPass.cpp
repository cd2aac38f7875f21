#include "MeasuringPass.h"

#include <algorithm>
#include <deque>

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

    // Decoding and conversion, the caller's use of each block, and each
    // channel's meter work at once, each on a thread of its own. Metering is
    // the slowest of them and the model waits for it, so where there are
    // more processors than channels each meter also measures stretches of
    // its channel at once.
    const std::size_t stretchesAtOnce =
        std::max<std::size_t>(1, availableProcessorCount() / std::max<std::size_t>(channelCount, 1));
    std::vector<LoudnessMeter> meters;
    meters.reserve(channelCount);
    for (std::size_t channel = 0; channel < channelCount; ++channel)
        meters.emplace_back(processingRate, stretchesAtOnce);
    std::deque<BlockThread> metering;
    for (LoudnessMeter& meter : meters) {
        metering.emplace_back(1, [&meter](Channels& block) { enhancing([&] { meter.add(block.front()); }); });
    }
    Channels oneChannel(1);
    BlockThread taking(channelCount, [&](Channels& block) {
        takeConverted(block);
        // Each channel's samples go to its meter, and storage the meter is
        // done with comes back in their place.
        for (std::size_t channel = 0; channel < channelCount; ++channel) {
            oneChannel.front().swap(block[channel]);
            metering[channel].add(oneChannel);
            block[channel].swap(oneChannel.front());
        }
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
    for (BlockThread& meter : metering) meter.finish();
    for (const LoudnessMeter& meter : meters) {
        enhancing([&] { result.loudness.push_back(meter.integratedLoudness()); });
    }
    checkpoints.setMeasured(1.0);
    if (result.identicalChannels) checkpoints.setEntryCount(1);
    checkpoints.check(true);
    return result;
}

}  // namespace vesh::detail
