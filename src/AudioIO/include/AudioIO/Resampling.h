#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace vesh {

// The resampler's filter family.
enum class SampleRateConverterAlgorithm {
    normal,        // general-purpose linear-phase filter
    mastering,     // highest-fidelity linear-phase filter (slower)
    minimumPhase,  // minimum-phase filter: no ringing before transients
};

// Accuracy within a filter family; each case carries a value on a 0...127 scale.
enum class AudioQuality { minimum, low, medium, high, maximum };

// 0, 32, 64, 96 or 127.
std::int64_t qualityValue(AudioQuality quality);

// Converts one channel from `sourceRate` to `targetRate` as it arrives, block
// by block: the same samples as AudioStream::resampled over the whole
// channel, floor(N × target ÷ source) of them for N input samples.
// Throws AudioError(resampleAudioStream).
class Resampler {
public:
    Resampler(std::int64_t sourceRate, std::int64_t targetRate, SampleRateConverterAlgorithm algorithm,
              AudioQuality quality);
    ~Resampler();
    Resampler(Resampler&&) noexcept;
    Resampler& operator=(Resampler&&) noexcept;

    // Takes the next input samples and appends the output samples that are ready.
    void process(std::span<const float> input, std::vector<float>& output);
    // After the last input sample: appends the rest of the output.
    void finish(std::vector<float>& output);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace vesh
