#include "Engine/Preview.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <optional>
#include <utility>

#include "Checkpoints.h"
#include "ConvertedReader.h"
#include "Failures.h"
#include "MeasuringPass.h"
#include "SourceFingerprint.h"

namespace vesh {

namespace {

using detail::Checkpoints;
using detail::enhancing;

// The measuring pass decodes the whole file, the enhancing pass usually
// little more than the stretch, so they weigh about the same.
constexpr double measuringShare = 0.5;

// Loudness is compared over blocks of this many seconds: the length of the
// momentary loudness, short against the stretch.
constexpr double blockSeconds = 0.4;

// The power of each block of the converted signal, summed over the channels
// as loudness sums them (K-weighted, ungated), so that the loudest stretch is
// the one with the highest sum over its blocks.
class BlockPower {
public:
    BlockPower(std::int64_t sampleRate, std::size_t channelCount)
        : sampleRate_(sampleRate),
          blockLength_(static_cast<std::size_t>(blockSeconds * static_cast<double>(sampleRate))),
          pending_(channelCount) {}

    void add(const std::vector<std::vector<float>>& converted) {
        if (converted.empty()) return;
        std::size_t taken = 0;
        const std::size_t count = converted.front().size();
        while (taken < count) {
            const std::size_t room = blockLength_ - pending_.front().size();
            const std::size_t part = std::min(room, count - taken);
            for (std::size_t channel = 0; channel < pending_.size(); ++channel) {
                const auto from = converted[channel].begin() + static_cast<std::ptrdiff_t>(taken);
                pending_[channel].insert(pending_[channel].end(), from, from + static_cast<std::ptrdiff_t>(part));
            }
            taken += part;
            if (pending_.front().size() == blockLength_) closeBlock();
        }
    }

    std::size_t blockLength() const { return blockLength_; }
    // Power per complete block, in order.
    const std::vector<double>& powers() const { return powers_; }

private:
    void closeBlock() {
        double power = 0.0;
        for (auto& samples : pending_) {
            double loudness = 0.0;
            enhancing([&] {
                loudness = Loudness(samples, sampleRate_, Loudness::Mode::momentary).unitsRelativeToFullScale();
            });
            if (std::isfinite(loudness)) power += std::pow(10.0, loudness / 10.0);
            samples.clear();
        }
        powers_.push_back(power);
    }

    std::int64_t sampleRate_;
    std::size_t blockLength_;
    std::vector<std::vector<float>> pending_;
    std::vector<double> powers_;
};

// The first sample of the loudest stretch of `stretchLength` samples in a
// signal of `length` samples; the earliest of equally loud ones.
std::int64_t loudestStretch(const BlockPower& blocks, std::int64_t length, std::int64_t stretchLength) {
    if (length <= stretchLength) return 0;
    const std::vector<double>& powers = blocks.powers();
    const auto blockLength = static_cast<std::int64_t>(blocks.blockLength());
    const auto window = static_cast<std::size_t>((stretchLength + blockLength - 1) / blockLength);
    std::size_t best = 0;
    if (powers.size() > window) {
        double sum = 0.0;
        for (std::size_t k = 0; k < window; ++k) sum += powers[k];
        double bestSum = sum;
        for (std::size_t first = 1; first + window <= powers.size(); ++first) {
            sum += powers[first + window - 1] - powers[first - 1];
            if (sum > bestSum) {
                bestSum = sum;
                best = first;
            }
        }
    }
    return std::min(static_cast<std::int64_t>(best) * blockLength, length - stretchLength);
}

// The samples [start, start + length) of `file` at `rate`, one list per
// channel; each channel is the mean of all when `mean` is set. Fewer samples
// when the file ends first.
std::vector<std::vector<float>> readStretch(const std::filesystem::path& file, std::int64_t rate, std::int64_t start,
                                            std::int64_t length, bool mean, Checkpoints& checkpoints) {
    AudioFile input(file);
    detail::ConvertedReader reader(input, rate);
    const std::size_t channelCount = reader.channelCount();
    std::vector<std::vector<float>> stretch(channelCount);
    std::vector<std::vector<float>> converted;
    std::int64_t position = 0;
    while (position < start + length && reader.read(converted)) {
        const auto count = channelCount > 0 ? std::ssize(converted.front()) : std::int64_t{0};
        const std::int64_t from = std::clamp(start - position, std::int64_t{0}, count);
        const std::int64_t to = std::clamp(start + length - position, std::int64_t{0}, count);
        for (std::size_t channel = 0; channel < channelCount; ++channel) {
            const auto samples = converted[channel].begin();
            stretch[channel].insert(stretch[channel].end(), samples + from, samples + to);
        }
        position += count;
        checkpoints.check();
    }
    if (!mean || channelCount <= 1) return stretch;
    std::vector<float> sum(stretch.front().size(), 0.0f);
    for (const auto& samples : stretch) {
        for (std::size_t k = 0; k < sum.size(); ++k) sum[k] += samples[k] / static_cast<float>(channelCount);
    }
    return {std::move(sum)};
}

}  // namespace

void PreviewStretch::mix(std::size_t channel, std::size_t offset, double wetDryMix, std::span<float> output) const {
    const std::span<const float> wet = std::span(enhanced[channel]).subspan(offset, output.size());
    std::copy(wet.begin(), wet.end(), output.begin());
    mixWetDry(output, std::span(original[channel]).subspan(offset, output.size()), wetDryMix);
}

PreviewStretch preparePreview(const std::filesystem::path& source, PreviewOptions options) try {
    if (!options.enhancer) throw ProcessingError(ProcessingError::Kind::enhancing);
    Checkpoints checkpoints(options.handleProgress, measuringShare);
    checkpoints.check(true);
    if (!detail::isRegularFile(source)) detail::throwReadError(ESPIPE, "previewing " + source.string());

    const std::int64_t rate = options.enhancer->parameters().sampleRate;
    const detail::Fingerprint before = detail::fingerprint(source);
    std::optional<BlockPower> blocks;
    AudioFile measured(source);
    const detail::Measurement measurement =
        detail::measure(measured, rate, checkpoints, [&](const std::vector<std::vector<float>>& converted) {
            if (!blocks) blocks.emplace(rate, converted.size());
            blocks->add(converted);
        });

    const std::int64_t length = measurement.processingLength;
    const auto stretchLength =
        std::min(length, static_cast<std::int64_t>(PreviewStretch::seconds * static_cast<double>(rate)));
    PreviewStretch result;
    result.sampleRate = rate;
    result.start = blocks ? loudestStretch(*blocks, length, stretchLength) : 0;
    const std::int64_t end = result.start + stretchLength;

    // The enhancing pass decodes the file again up to the end of the
    // stretch's last segment; it keeps only the stretch.
    const std::size_t channelCount = measurement.loudness.size();
    const std::size_t enhancedChannels =
        measurement.identicalChannels ? std::min<std::size_t>(channelCount, 1) : channelCount;
    std::vector<VariableLengthSpeechEnhancer::ChannelStream> streams;
    for (std::size_t channel = 0; channel < enhancedChannels; ++channel) {
        enhancing(
            [&] { streams.emplace_back(*options.enhancer, length, measurement.loudness[channel], result.start); });
    }
    const std::int64_t inputBegin = streams.empty() ? result.start : streams.front().inputBegin();
    result.original.resize(channelCount);
    std::vector<std::vector<float>> enhanced(enhancedChannels);
    const auto report = [&](VariableLengthSpeechEnhancer::Progress) {
        checkpoints.check();
        return VariableLengthSpeechEnhancer::ProgressResponse::continueProcessing;
    };
    const auto complete = [&] {
        return std::all_of(enhanced.begin(), enhanced.end(),
                           [&](const std::vector<float>& samples) { return std::ssize(samples) >= stretchLength; });
    };
    const auto track = [&](double fraction) {
        for (std::size_t channel = 0; channel < enhancedChannels; ++channel) {
            checkpoints.setEnhanced(channel, stretchLength > 0 ? fraction : 1.0);
        }
    };

    AudioFile reread(source);
    detail::ConvertedReader input(reread, rate);
    if (input.channelCount() != channelCount) detail::throwSourceChanged();
    std::vector<std::vector<float>> converted;
    std::int64_t position = 0;
    bool ended = false;
    while (!complete()) {
        if (!input.read(converted)) {
            ended = true;
            break;
        }
        const auto count = channelCount > 0 ? std::ssize(converted.front()) : std::int64_t{0};
        for (std::size_t channel = 0; channel < channelCount; ++channel) {
            const std::int64_t from = std::clamp(result.start - position, std::int64_t{0}, count);
            const std::int64_t to = std::clamp(end - position, std::int64_t{0}, count);
            const auto samples = converted[channel].begin();
            result.original[channel].insert(result.original[channel].end(), samples + from, samples + to);
        }
        const std::int64_t from = std::clamp(inputBegin - position, std::int64_t{0}, count);
        for (std::size_t channel = 0; channel < enhancedChannels; ++channel) {
            const std::span<const float> taken = std::span(converted[channel]).subspan(static_cast<std::size_t>(from));
            enhancing([&] { streams[channel].push(taken, enhanced[channel], report); });
        }
        position += count;
        if (!enhanced.empty() && stretchLength > 0) {
            track(static_cast<double>(std::min<std::int64_t>(std::ssize(enhanced.front()), stretchLength)) /
                  static_cast<double>(stretchLength));
        }
        checkpoints.check();
    }
    if (ended) {
        if (position != length) detail::throwSourceChanged();
        for (std::size_t channel = 0; channel < enhancedChannels; ++channel) {
            enhancing([&] { streams[channel].finish(enhanced[channel], report); });
        }
    }
    if (detail::fingerprint(source) != before) detail::throwSourceChanged();

    for (auto& samples : enhanced) samples.resize(static_cast<std::size_t>(stretchLength));
    for (std::size_t channel = 0; channel < channelCount; ++channel) {
        if (std::ssize(result.original[channel]) != stretchLength) detail::throwSourceChanged();
        result.enhanced.push_back(enhanced[enhancedChannels == channelCount ? channel : 0]);
    }
    track(1.0);
    checkpoints.check(true);
    return result;
} catch (...) {
    detail::rethrowAsProcessingError();
}

PreviewStretch prepareComparison(const std::filesystem::path& source, const std::filesystem::path& written,
                                 ProcessingOptions::ProgressHandler handleProgress) try {
    // Finding the stretch decodes the written file once, reading the stretch
    // from both files little more than the stretch.
    Checkpoints checkpoints(handleProgress, 0.8);
    checkpoints.setEntryCount(1);
    checkpoints.check(true);

    AudioFile measured(written);
    const std::int64_t rate = measured.sampleRate();
    const std::size_t channelCount = static_cast<std::size_t>(measured.channelCount());
    const std::size_t sourceChannelCount = static_cast<std::size_t>(AudioFile(source).channelCount());
    BlockPower blocks(rate, channelCount);
    std::int64_t length = 0;
    {
        detail::ConvertedReader reader(measured, rate);
        std::vector<std::vector<float>> converted;
        while (reader.read(converted)) {
            blocks.add(converted);
            if (channelCount > 0) length += std::ssize(converted.front());
            checkpoints.setMeasured(reader.fractionRead());
            checkpoints.check();
        }
    }
    checkpoints.setMeasured(1.0);

    const auto stretchLength =
        std::min(length, static_cast<std::int64_t>(PreviewStretch::seconds * static_cast<double>(rate)));
    PreviewStretch result;
    result.sampleRate = rate;
    result.start = loudestStretch(blocks, length, stretchLength);
    const bool mean = channelCount != sourceChannelCount;
    result.enhanced = readStretch(written, rate, result.start, stretchLength, mean, checkpoints);
    checkpoints.setEnhanced(0, 0.5);
    result.original = readStretch(source, rate, result.start, stretchLength, mean, checkpoints);
    // A source shorter than its output (it changed since) is heard as silence at the end.
    const std::size_t heard = result.enhanced.empty() ? 0 : result.enhanced.front().size();
    for (auto& samples : result.original) samples.resize(heard, 0.0f);
    checkpoints.setEnhanced(0, 1.0);
    checkpoints.check(true);
    return result;
} catch (...) {
    detail::rethrowAsProcessingError();
}

}  // namespace vesh
