#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "FullBandFrontend/DiscreteFourierTransform.h"
#include "FullBandFrontend/GammatoneFilterbank.h"

namespace vesh {

// Filters one zero-padded signal by every row of a filterbank at once in the
// frequency domain (analysis), and sums filtered subbands back into one signal
// (synthesis). Each filtering is a circular convolution of length
// N = signalLength + trailingPadding, so a filter's response running past the
// signal's end falls into the padding before it wraps around.
//
// Every buffer and DFT plan is made at construction; a call allocates nothing.
// One call at a time per transform: every call overwrites the work buffers.
// Views or a bank that do not fit the sizes below stop the process.
class FilterbankTransform {
public:
    // Stops the process unless both lengths are non-negative and N is even,
    // at least 2 and representable.
    FilterbankTransform(std::int64_t signalLength, std::int64_t trailingPadding,
                        PlanningEffort effort = PlanningEffort::estimate);

    std::int64_t numberOfFilters() const noexcept { return numberOfFilters_; }
    std::int64_t numberOfChannels() const noexcept { return numberOfChannels_; }
    std::int64_t signalLength() const noexcept { return signalLength_; }
    std::int64_t trailingPadding() const noexcept { return trailingPadding_; }
    std::int64_t paddedSignalLength() const noexcept { return paddedSignalLength_; }

    // Writes into result row r (N floats at r x N) the circular convolution of
    // `signal` (at most N samples, zero-extended) with the impulse response
    // whose spectrum is bank row r, for the 512 rows of a forward bank; the
    // rest of `result` (at least 512 x N floats) is zeroed.
    void filter(std::span<const float> signal, const GammatoneFilterbank& filterbank, std::span<float> result);

    // Sums the in-phase subbands (rows 0 to 255 of `subbands`, rows of N)
    // each filtered by its row of a synthesis bank, and writes the first
    // result-count samples (at most N) of that sum into `result`.
    void unfilter(std::span<const float> subbands, const GammatoneFilterbank& filterbank, std::span<float> result);

    // The synthesis as above, as a view of all N samples of the resynthesised
    // padded signal; valid until the next call on this transform.
    std::span<const float> synthesise(std::span<const float> subbands, const GammatoneFilterbank& filterbank);

private:
    void checkBank(const GammatoneFilterbank& filterbank, std::int64_t rowsRead) const;

    std::int64_t numberOfFilters_ = 256;
    std::int64_t numberOfChannels_ = 2;
    std::int64_t signalLength_;
    std::int64_t trailingPadding_;
    std::int64_t paddedSignalLength_;
    // Analysis: the signal's spectrum. Synthesis: the current subband's spectrum.
    std::vector<float> intermediateBufferA_;
    // Analysis: the current row's product spectrum. No matrix of all 512
    // product spectra is kept: each row goes through its inverse DFT straight
    // into the caller's result.
    std::vector<float> intermediateBufferB_;
    // Synthesis: the running sum of the product spectra.
    std::vector<float> intermediateBufferD_;
    // Synthesis: the resynthesised padded signal.
    std::vector<float> intermediateBufferE_;
    ForwardDiscreteFourierTransform forwardDFT_;
    InverseDiscreteFourierTransform inverseDFT_;
};

}  // namespace vesh
