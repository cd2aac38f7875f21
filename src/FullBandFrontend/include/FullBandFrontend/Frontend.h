#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "FullBandFrontend/DiscreteFourierTransform.h"
#include "FullBandFrontend/FilterbankTransform.h"
#include "FullBandFrontend/GammatoneFilterbank.h"

namespace vesh {

// Turns a mono float signal into the subband features a subband model works
// on, and the model's subband output back into a signal, for one signal
// length and sample rate. With N = signalLength + trailingPadding, every
// subband matrix is row-major with rows of N floats:
//
//   subbands              512 rows: in-phase output of filters 0 to 255, then
//                         their quadrature output
//   magnitude             256 rows: each filter's envelope,
//                         sqrt(in-phase^2 + quadrature^2) per sample
//   compressed magnitude  256 rows: the magnitude raised to the power 0.3
//
// Banks, work buffers and DFT plans are made at construction; the operations
// that take a result view allocate nothing. Views that do not fit the sizes
// below stop the process. Not safe for concurrent use: use one frontend per
// thread.
class Frontend {
public:
    static constexpr std::int64_t numberOfFilters = 256;
    // With 256 bands the top centre, 23999.8 Hz, must lie below half the rate.
    static constexpr std::int64_t minimumSampleRate = 48000;
    static constexpr float powerCompressionExponent = 0.3f;

    // Stops the process for a sample rate below 48000 Hz, a negative length,
    // or an N that is odd, below 2 or too long for the DFT.
    // `downsamplingStride` is kept for the caller; no operation reads it.
    // `effort` is how FFTW plans the transform's DFTs: `measure` spends a
    // second or two on the first frontend of a length in a process and makes
    // every later call faster.
    Frontend(std::int64_t signalLength, std::int64_t trailingPadding, std::int64_t sampleRate,
             std::int64_t downsamplingStride, PlanningEffort effort = PlanningEffort::measure);
    Frontend(const Frontend&) = delete;
    Frontend& operator=(const Frontend&) = delete;

    std::int64_t signalLength() const noexcept { return signalLength_; }
    std::int64_t paddedSignalLength() const noexcept { return paddedSignalLength_; }
    std::int64_t downsamplingStride() const noexcept { return downsamplingStride_; }
    const GammatoneFilterbank& forwardFilterbank() const noexcept { return forwardFilterbank_; }
    const GammatoneFilterbank& inverseFilterbank() const noexcept { return inverseFilterbank_; }

    // Analysis of `signal` (at most N samples) into 512 rows of N: a new
    // matrix, or `result` (at least 512 x N floats, the rest zeroed).
    std::vector<float> filter(std::span<const float> signal);
    void filter(std::span<const float> signal, std::span<float> result);

    // Synthesis from the in-phase rows 0 to 255 of `subbands` (at least
    // 256 x N floats): the first signalLength samples, or the first
    // result-count samples (at most N) written into `result`.
    std::vector<float> unfilter(std::span<const float> subbands);
    void unfilter(std::span<const float> subbands, std::span<float> result);

    // result[i] = sqrt(subbands[i]^2 + subbands[M + i]^2) for M = result
    // count, which must be half the subbands count. `result` may be the
    // first half of `subbands`.
    static void findMagnitude(std::span<const float> subbands, std::span<float> result);

    // result[i] = magnitude[i]^0.3; the counts must be equal. May work in place.
    static void powerCompress(std::span<const float> magnitude, std::span<float> result);

    // result[i] = subbands[i x stride] for i below count / stride, over the
    // flat buffer. The stride must be positive and `result` hold at least
    // count / stride floats.
    static void downsample(std::span<const float> subbands, std::int64_t stride, std::span<float> result);

    // Writes into `result` (at least 768 x N floats) the subbands of `signal`
    // (at most N samples), then their compressed magnitude.
    void transformInput(std::span<const float> signal, std::span<float> result);

    // result = signal - synthesis(subbands): removes the in-phase subband
    // content in `subbands` (rows 0 to 255 read) from `signal`. `signal` and
    // `result` must have the same count, at most N; they may be the same view.
    void transformOutput(std::span<const float> subbands, std::span<const float> signal, std::span<float> result);

private:
    FilterbankTransform transform_;
    GammatoneFilterbank forwardFilterbank_;
    GammatoneFilterbank inverseFilterbank_;
    std::int64_t signalLength_;
    std::int64_t paddedSignalLength_;
    std::int64_t downsamplingStride_;
};

}  // namespace vesh
