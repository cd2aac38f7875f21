#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "FullBandFrontend/GammatoneFilterbank.h"

namespace vesh {

// The shape of one side of a band's crossover weight.
enum class TransitionShape {
    flatBelow,     // weight 1 on every bin below the centre (lower side only)
    flatAbove,     // weight 1 on every bin from the centre up (upper side only)
    raisedCosine,  // half a raised cosine between the centre and a neighbour's centre
};

// Per-band weights over the bins 0 to N/2 - 1 that split the frequency axis
// among the bands and sum to one at every bin: `rowCount` rows of
// `rowLength` weights, row-major.
struct CrossoverWeights {
    std::vector<float> weights;
    std::int64_t rowLength = 0;
    std::int64_t rowCount = 0;

    std::span<const float> row(std::int64_t index) const {
        return std::span<const float>(weights).subspan(static_cast<std::size_t>(index * rowLength),
                                                       static_cast<std::size_t>(rowLength));
    }
};

// Writes one band's weights into `row`: the lower side over bins lo to mid - 1
// (flatBelow: 1; raisedCosine: rising from 0 at lo toward 1), the upper side
// over bins mid to hi - 1 (flatAbove: 1; raisedCosine: falling from 1 at mid
// toward 0). An empty side writes nothing, other bins are left as they are.
// Stops the process unless 0 <= lo <= mid <= hi <= row size and each side has
// a shape that fits it.
void fillBandEdges(std::span<float> row, std::int64_t lo, TransitionShape lowerShape, std::int64_t mid, std::int64_t hi,
                   TransitionShape upperShape);

// The crossover weights of `numberOfFilters` ERB-spaced bands for a DFT of
// length N at `sampleRate`. Each band's centre bin is its centre frequency
// times N / sampleRate, truncated; neighbouring bands cross over between
// their centre bins, band 0 has weight 1 from DC to its centre and the top
// band weight 1 from its centre up. Stops the process when a centre bin lies
// above N/2 (a band centre at or above half the sample rate).
CrossoverWeights crossoverWeights(std::int64_t numberOfFilters, std::int64_t signalLength, std::int64_t sampleRate);

// The regularised reciprocal conj(H) / (|H|^2 + 1e-14) of every packed
// spectrum row (length N) of `samples`; DC and Nyquist, being real, get
// H / (H^2 + 1e-14) each.
std::vector<float> regularisedReciprocal(std::span<const float> samples, std::int64_t signalLength);

// The synthesis bank of `forward`: each row is the regularised reciprocal of
// the forward row times its band's crossover weight (the Nyquist value takes
// the weight of the highest bin below it). Passing an in-phase subband
// through its row gives the signal's spectrum times the band's weight, so the
// bands' results add up to the signal.
GammatoneFilterbank makeInverseFilterbank(const GammatoneFilterbank& forward, std::int64_t numberOfFilters,
                                          std::int64_t sampleRate);

}  // namespace vesh
