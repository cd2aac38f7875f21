#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace vesh {

// A band of the analysis filterbank: its centre and its equivalent
// rectangular bandwidth (Glasberg and Moore), both in Hz.
struct FrequencyBand {
    float centerFrequency;
    float bandwidth;
};

// `count` bands in increasing frequency, equally spaced on the ERB-rate scale
// from ERB number 1 to 43.1957 (26.08 Hz to 23999.8 Hz). A single band sits at
// ERB number 1; count 0 gives no band; a negative count stops the process.
std::vector<FrequencyBand> erbSpacedBands(std::int64_t count);

// The amplitude gain of each filter's impulse response, indexed by filter
// number: it rises to filter 253 and falls for the last two.
constexpr std::size_t filterGainCount = 256;
const std::array<float, filterGainCount>& filterGains();

// A filterbank as frequency-domain rows ready for multiplication: 2 x
// numberOfFilters rows of `signalLength` floats, row-major, each row a packed
// spectrum (see DiscreteFourierTransform.h). Rows 0 to n-1 are the in-phase
// rows of filters 0 to n-1, rows n to 2n-1 their quadrature rows.
struct GammatoneFilterbank {
    std::vector<float> samples;
    std::int64_t signalLength = 0;

    std::span<const float> row(std::int64_t index) const {
        return std::span<const float>(samples).subspan(static_cast<std::size_t>(index * signalLength),
                                                       static_cast<std::size_t>(signalLength));
    }
};

// The analysis bank: row k is the spectrum of the cosine part and row n + k
// the spectrum of the sine part of filter k's fourth-order gammatone impulse
// response g x t^3 x exp(-2 pi x 1.019 x b x t) x (cos, sin)(2 pi f t), sampled
// on a ramp from 0 to exactly N / sampleRate seconds. Stops the process for
// more filters than gains, a length that is not even and at least 2, or a
// sample rate that is not positive.
GammatoneFilterbank makeForwardFilterbank(std::int64_t numberOfFilters, std::int64_t signalLength,
                                          std::int64_t sampleRate);

}  // namespace vesh
