#pragma once

#include <cstdint>

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

}  // namespace vesh
