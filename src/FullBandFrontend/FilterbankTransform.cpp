#include "FullBandFrontend/FilterbankTransform.h"

#include <algorithm>
#include <climits>
#include <cstddef>

#include "Support/FatalError.h"

namespace vesh {

namespace {

std::int64_t checkedPaddedLength(std::int64_t signalLength, std::int64_t trailingPadding) {
    if (signalLength < 0 || trailingPadding < 0) {
        fatalError("negative signal length or padding");
    }
    if (signalLength > INT_MAX - trailingPadding) {
        fatalError("the padded signal length exceeds what the DFT accepts");
    }
    const std::int64_t paddedLength = signalLength + trailingPadding;
    // The packed spectrum layout keeps Nyquist as a bin of its own.
    if (paddedLength < 2 || paddedLength % 2 != 0) {
        fatalError("the padded signal length must be even and at least 2");
    }
    return paddedLength;
}

// out = x * y for two packed spectra. DC and Nyquist share slot 0 of the
// layout but are separate reals, so they are multiplied as reals.
void multiplySpectra(std::span<const float> x, std::span<const float> y, std::span<float> out) {
    const std::size_t half = x.size() / 2;
    out[0] = x[0] * y[0];
    out[half] = x[half] * y[half];
    for (std::size_t m = 1; m < half; ++m) {
        const float re = x[m] * y[m] - x[half + m] * y[half + m];
        const float im = x[m] * y[half + m] + x[half + m] * y[m];
        out[m] = re;
        out[half + m] = im;
    }
}

// sum += x * y for packed spectra, with the same treatment of DC and Nyquist.
void addProductOfSpectra(std::span<const float> x, std::span<const float> y, std::span<float> sum) {
    const std::size_t half = x.size() / 2;
    sum[0] += x[0] * y[0];
    sum[half] += x[half] * y[half];
    for (std::size_t m = 1; m < half; ++m) {
        sum[m] += x[m] * y[m] - x[half + m] * y[half + m];
        sum[half + m] += x[m] * y[half + m] + x[half + m] * y[m];
    }
}

}  // namespace

FilterbankTransform::FilterbankTransform(std::int64_t signalLength, std::int64_t trailingPadding, PlanningEffort effort)
    : signalLength_(signalLength), trailingPadding_(trailingPadding),
      paddedSignalLength_(checkedPaddedLength(signalLength, trailingPadding)),
      intermediateBufferA_(static_cast<std::size_t>(paddedSignalLength_)),
      intermediateBufferB_(static_cast<std::size_t>(paddedSignalLength_)),
      intermediateBufferD_(static_cast<std::size_t>(paddedSignalLength_)),
      intermediateBufferE_(static_cast<std::size_t>(paddedSignalLength_)), forwardDFT_(paddedSignalLength_, effort),
      inverseDFT_(paddedSignalLength_, effort) {}

void FilterbankTransform::checkBank(const GammatoneFilterbank& filterbank, std::int64_t rowsRead) const {
    if (filterbank.signalLength != paddedSignalLength_ ||
        filterbank.samples.size() < static_cast<std::size_t>(rowsRead * paddedSignalLength_)) {
        fatalError("the filterbank does not match the transform's length and filter count");
    }
}

void FilterbankTransform::filter(std::span<const float> signal, const GammatoneFilterbank& filterbank,
                                 std::span<float> result) {
    const auto length = static_cast<std::size_t>(paddedSignalLength_);
    const std::int64_t rowCount = numberOfFilters_ * numberOfChannels_;
    const std::size_t written = static_cast<std::size_t>(rowCount) * length;
    checkBank(filterbank, rowCount);
    if (signal.size() > length || result.size() < written) {
        fatalError("analysis needs at most N signal samples and room for 512 rows of N");
    }

    forwardDFT_.transform(signal, intermediateBufferA_);
    const std::span<const float> bank(filterbank.samples);
    for (std::size_t r = 0; r < static_cast<std::size_t>(rowCount); ++r) {
        multiplySpectra(intermediateBufferA_, bank.subspan(r * length, length), intermediateBufferB_);
        inverseDFT_.transform(intermediateBufferB_, result.subspan(r * length, length));
    }
    std::fill(result.begin() + static_cast<std::ptrdiff_t>(written), result.end(), 0.0f);
}

std::span<const float> FilterbankTransform::synthesise(std::span<const float> subbands,
                                                       const GammatoneFilterbank& filterbank) {
    const auto length = static_cast<std::size_t>(paddedSignalLength_);
    const auto inPhaseRows = static_cast<std::size_t>(numberOfFilters_);
    checkBank(filterbank, numberOfFilters_);
    if (subbands.size() < inPhaseRows * length) {
        fatalError("synthesis needs the 256 in-phase subband rows of N");
    }

    // The product spectra are summed before a single inverse DFT.
    std::fill(intermediateBufferD_.begin(), intermediateBufferD_.end(), 0.0f);
    const std::span<const float> bank(filterbank.samples);
    for (std::size_t r = 0; r < inPhaseRows; ++r) {
        forwardDFT_.transform(subbands.subspan(r * length, length), intermediateBufferA_);
        addProductOfSpectra(intermediateBufferA_, bank.subspan(r * length, length), intermediateBufferD_);
    }
    inverseDFT_.transform(intermediateBufferD_, intermediateBufferE_);
    return intermediateBufferE_;
}

void FilterbankTransform::unfilter(std::span<const float> subbands, const GammatoneFilterbank& filterbank,
                                   std::span<float> result) {
    if (result.size() > static_cast<std::size_t>(paddedSignalLength_)) {
        fatalError("synthesis gives at most N samples");
    }
    const std::span<const float> signal = synthesise(subbands, filterbank);
    std::copy_n(signal.begin(), result.size(), result.begin());
}

}  // namespace vesh
