// Sample-rate conversion with libsoxr, one channel at a time, each from its
// own rate.
//
// How the algorithm and quality choose the resampler's filter (soxr recipe,
// i.e. bits of precision, with its phase response):
//
// | quality | normal (linear phase) | mastering (linear phase, steep) | minimumPhase (minimum phase) |
// |---------|-----------------------|---------------------------------|------------------------------|
// | minimum | LQ                    | MQ, steep                       | LQ, minimum phase            |
// | low     | MQ                    | 16 bits, steep                  | MQ, minimum phase            |
// | medium  | 16 bits               | 20 bits, steep                  | 16 bits, minimum phase       |
// | high    | 20 bits (HQ)          | 24 bits, steep                  | 20 bits, minimum phase       |
// | maximum | 24 bits               | 28 bits (VHQ), steep            | 24 bits, minimum phase       |
//
// "Steep" moves the passband edge close to the Nyquist frequency (a longer
// filter). Precision stops at 28 bits, beyond what 32-bit float samples hold.
//
// The whole channel is fed, block by block, followed by end-of-input, so the
// filter sees silence after the last sample (never the channel's beginning
// again). soxr removes its own filter delay, so output frame k lies at the
// time of input position k × R ÷ T. The output holds exactly
// floor((T ÷ R) × N) samples, computed in double precision.

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "AudioIO/AudioStream.h"
#include "AudioIO/ChannelLayout.h"
#include "Support/FatalError.h"

namespace vesh {

std::int64_t qualityValue(AudioQuality quality) {
    switch (quality) {
    case AudioQuality::minimum: return 0;
    case AudioQuality::low: return 32;
    case AudioQuality::medium: return 64;
    case AudioQuality::high: return 96;
    case AudioQuality::maximum: return 127;
    }
    fatalError("unknown audio quality");
}

namespace {

// The largest sample list a channel may hold.
constexpr double maximumOutputFrames = 2147483647.0;

// Input frames handed to the resampler per call.
constexpr std::size_t framesPerInputBlock = 65536;

soxr_quality_spec_t filterFor(SampleRateConverterAlgorithm algorithm, AudioQuality quality) {
    const int step = static_cast<int>(quality);  // 0 (minimum) ... 4 (maximum)
    static constexpr unsigned long linearRecipes[] = {SOXR_LQ, SOXR_MQ, SOXR_16_BITQ, SOXR_20_BITQ, SOXR_24_BITQ};
    static constexpr unsigned long masteringRecipes[] = {SOXR_MQ, SOXR_16_BITQ, SOXR_20_BITQ, SOXR_24_BITQ,
                                                         SOXR_28_BITQ};
    switch (algorithm) {
    case SampleRateConverterAlgorithm::normal: return soxr_quality_spec(linearRecipes[step] | SOXR_LINEAR_PHASE, 0);
    case SampleRateConverterAlgorithm::mastering:
        return soxr_quality_spec(masteringRecipes[step] | SOXR_LINEAR_PHASE | SOXR_STEEP_FILTER, 0);
    case SampleRateConverterAlgorithm::minimumPhase:
        return soxr_quality_spec(linearRecipes[step] | SOXR_MINIMUM_PHASE, 0);
    }
    fatalError("unknown sample rate converter algorithm");
}

struct ResamplerRelease {
    void operator()(soxr_t resampler) const { soxr_delete(resampler); }
};

[[noreturn]] void throwResamplerError(soxr_error_t error) {
    throw AudioLibraryError("soxr", 0, error ? error : "unknown error");
}

// Output frames taken from the resampler per call.
constexpr std::size_t framesPerOutputBlock = 16384;

// The input is handed over as it comes; end-of-input (no input pointer)
// makes the resampler flush what its filter still holds. Output is held back
// beyond floor((T ÷ R) × N) for the N samples fed so far, which the final
// length is never below.
class ChannelResampler {
public:
    ChannelResampler(std::int64_t sourceRate, std::int64_t targetRate, const soxr_quality_spec_t& filter)
        : ratio(static_cast<double>(targetRate) / static_cast<double>(sourceRate)) {
        if (sourceRate <= 0 || targetRate <= 0)
            throw AudioServiceError(AudioServiceError::Code::failedToConstructFormat);
        soxr_error_t error = nullptr;
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        // One thread: AudioIO works on its caller's thread only.
        const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
        resampler.reset(soxr_create(static_cast<double>(sourceRate), static_cast<double>(targetRate), 1, &error, &io,
                                    &filter, &runtime));
        if (error || !resampler) throwResamplerError(error);
    }

    void process(std::span<const float> input, std::vector<float>& output) {
        while (!input.empty()) {
            std::size_t consumed = 0;
            const std::size_t delivered = run(input.data(), input.size(), &consumed);
            if (consumed == 0 && delivered == 0) throwResamplerError("the resampler took no input");
            input = input.subspan(consumed);
            fed += consumed;
        }
        release(output);
    }

    void finish(std::vector<float>& output) {
        while (released + pending.size() < allowed() && run(nullptr, 0, nullptr) > 0) {
        }
        release(output);
        // Frames the resampler did not deliver (at most a fraction of a
        // frame of the exact length) are zero.
        output.resize(output.size() + (allowed() - released), 0.0f);
        released = allowed();
    }

private:
    std::size_t allowed() const { return static_cast<std::size_t>(ratio * static_cast<double>(fed)); }

    void release(std::vector<float>& output) {
        const std::size_t count = std::min(pending.size(), allowed() - released);
        output.insert(output.end(), pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(count));
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(count));
        released += count;
    }

    // One call of the resampler; `input` null means end of input.
    std::size_t run(const float* input, std::size_t offered, std::size_t* consumed) {
        std::size_t delivered = 0;
        const soxr_error_t error =
            soxr_process(resampler.get(), input, offered, consumed, block.data(), block.size(), &delivered);
        if (error) throwResamplerError(error);
        pending.insert(pending.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(delivered));
        return delivered;
    }

    double ratio;
    std::unique_ptr<soxr, ResamplerRelease> resampler;
    std::vector<float> block = std::vector<float>(framesPerOutputBlock);
    std::vector<float> pending;
    std::size_t fed = 0;
    std::size_t released = 0;
};

}  // namespace

struct Resampler::State {
    ChannelResampler channel;
};

Resampler::Resampler(std::int64_t sourceRate, std::int64_t targetRate, SampleRateConverterAlgorithm algorithm,
                     AudioQuality quality) {
    try {
        state_ =
            std::make_unique<State>(State{ChannelResampler(sourceRate, targetRate, filterFor(algorithm, quality))});
    } catch (...) {
        throw AudioError::wrappingCurrent(AudioError::Operation::resampleAudioStream);
    }
}

Resampler::~Resampler() = default;
Resampler::Resampler(Resampler&&) noexcept = default;
Resampler& Resampler::operator=(Resampler&&) noexcept = default;

void Resampler::process(std::span<const float> input, std::vector<float>& output) {
    try {
        state_->channel.process(input, output);
    } catch (...) {
        throw AudioError::wrappingCurrent(AudioError::Operation::resampleAudioStream);
    }
}

void Resampler::finish(std::vector<float>& output) {
    try {
        state_->channel.finish(output);
    } catch (...) {
        throw AudioError::wrappingCurrent(AudioError::Operation::resampleAudioStream);
    }
}

namespace {

AudioStream::Channel resampleChannel(const AudioStream::Channel& channel, std::int64_t targetRate,
                                     const soxr_quality_spec_t& filter) {
    if (channel.sampleRate <= 0 || targetRate <= 0) {
        throw AudioServiceError(AudioServiceError::Code::failedToConstructFormat);
    }
    const std::size_t inputFrames = channel.samples.size();
    if (inputFrames > std::numeric_limits<std::uint32_t>::max()) {
        throw AudioServiceError(AudioServiceError::Code::failedToConstructBuffer);
    }
    const double capacity =
        (static_cast<double>(targetRate) / static_cast<double>(channel.sampleRate)) * static_cast<double>(inputFrames);
    if (!std::isfinite(capacity) || capacity >= maximumOutputFrames + 1.0) {
        throw AudioServiceError(AudioServiceError::Code::failedToConstructBuffer);
    }
    std::vector<float> output;
    output.reserve(static_cast<std::size_t>(capacity));
    if (inputFrames == 0 || static_cast<std::size_t>(capacity) == 0) {
        output.resize(static_cast<std::size_t>(capacity));
        return AudioStream::Channel(targetRate, std::move(output));
    }
    // Fed in blocks, so that the resampler does not buffer a copy of the whole channel.
    ChannelResampler resampler(channel.sampleRate, targetRate, filter);
    const std::span<const float> samples(channel.samples);
    for (std::size_t start = 0; start < inputFrames; start += framesPerInputBlock) {
        resampler.process(samples.subspan(start, std::min(framesPerInputBlock, inputFrames - start)), output);
    }
    resampler.finish(output);
    return AudioStream::Channel(targetRate, std::move(output));
}

}  // namespace

AudioStream AudioStream::resampled(std::int64_t targetRate, SampleRateConverterAlgorithm algorithm,
                                   AudioQuality quality) const {
    try {
        const soxr_quality_spec_t filter = filterFor(algorithm, quality);
        std::vector<Channel> result;
        result.reserve(channels_.size());
        for (const Channel& channel : channels_) result.push_back(resampleChannel(channel, targetRate, filter));
        return AudioStream(std::move(result), targetRate,
                           channelLayout_ ? std::optional(*channelLayout_) : std::nullopt);
    } catch (...) {
        throw AudioError::wrappingCurrent(AudioError::Operation::resampleAudioStream);
    }
}

}  // namespace vesh
