#include "FullBandFrontend/InverseFilterbank.h"

#include <cmath>
#include <limits>

#include "Support/FatalError.h"

namespace vesh {

namespace {

constexpr float pi = 3.1415925f;
constexpr float regularisation = 1e-14f;

float raisedCosine(float angle) { return (1.0f - std::cos(angle)) * 0.5f; }

std::int64_t centreBin(float centerFrequency, std::int64_t signalLength, std::int64_t sampleRate) {
    const float bin = (centerFrequency / static_cast<float>(sampleRate)) * static_cast<float>(signalLength);
    // 2^63 is exactly representable as a float; anything at or beyond it is not an int64.
    if (!std::isfinite(bin) || std::fabs(bin) >= 9.223372036854775808e18f) {
        fatalError("a band's centre bin is not a finite integer");
    }
    return static_cast<std::int64_t>(bin);
}

}  // namespace

void fillBandEdges(std::span<float> row, std::int64_t lo, TransitionShape lowerShape, std::int64_t mid, std::int64_t hi,
                   TransitionShape upperShape) {
    if (lo < 0 || lo > mid || mid > hi || hi > static_cast<std::int64_t>(row.size())) {
        fatalError("band edges outside the weight row");
    }
    const auto first = static_cast<std::size_t>(lo);
    const auto centre = static_cast<std::size_t>(mid);
    const auto end = static_cast<std::size_t>(hi);

    switch (lowerShape) {
    case TransitionShape::flatBelow:
        for (std::size_t bin = first; bin < centre; ++bin) {
            row[bin] = 1.0f;
        }
        break;
    case TransitionShape::raisedCosine: {
        const float step = pi / static_cast<float>(centre - first);
        for (std::size_t j = 0; first + j < centre; ++j) {
            row[first + j] = raisedCosine(static_cast<float>(j) * step);
        }
        break;
    }
    case TransitionShape::flatAbove: fatalError("a band's lower side cannot be flat above its centre");
    }

    switch (upperShape) {
    case TransitionShape::flatAbove:
        for (std::size_t bin = centre; bin < end; ++bin) {
            row[bin] = 1.0f;
        }
        break;
    case TransitionShape::raisedCosine: {
        const float step = -pi / static_cast<float>(end - centre);
        for (std::size_t j = 0; centre + j < end; ++j) {
            row[centre + j] = raisedCosine(pi + static_cast<float>(j) * step);
        }
        break;
    }
    case TransitionShape::flatBelow: fatalError("a band's upper side cannot be flat below its centre");
    }
}

CrossoverWeights crossoverWeights(std::int64_t numberOfFilters, std::int64_t signalLength, std::int64_t sampleRate) {
    if (numberOfFilters < 0 || signalLength < 2 || signalLength % 2 != 0 || sampleRate <= 0) {
        fatalError("crossover weights need a band count, an even length and a positive sample rate");
    }
    const std::int64_t rowLength = signalLength / 2;
    const std::vector<FrequencyBand> bands = erbSpacedBands(numberOfFilters);
    std::vector<std::int64_t> bins;
    bins.reserve(bands.size());
    for (const FrequencyBand& band : bands) {
        const std::int64_t bin = centreBin(band.centerFrequency, signalLength, sampleRate);
        // Bins above N/2 would put a band outside the row: its centre would
        // reach half the sample rate.
        if (bin > rowLength) {
            fatalError("a band centre lies at or above half the sample rate");
        }
        bins.push_back(bin);
    }

    CrossoverWeights result{std::vector<float>(static_cast<std::size_t>(numberOfFilters * rowLength)), rowLength,
                            numberOfFilters};
    const std::span<float> weights(result.weights);
    const auto rowSize = static_cast<std::size_t>(rowLength);
    const std::size_t last = bins.size() - 1;
    for (std::size_t i = 0; i < bins.size(); ++i) {
        const std::span<float> row = weights.subspan(i * rowSize, rowSize);
        const bool isFirst = i == 0;
        const bool isLast = i == last;
        fillBandEdges(row, isFirst ? 0 : bins[i - 1],
                      isFirst ? TransitionShape::flatBelow : TransitionShape::raisedCosine, bins[i],
                      isLast ? rowLength : bins[i + 1],
                      isLast ? TransitionShape::flatAbove : TransitionShape::raisedCosine);
    }
    return result;
}

std::vector<float> regularisedReciprocal(std::span<const float> samples, std::int64_t signalLength) {
    if (signalLength < 2 || signalLength % 2 != 0 || samples.size() % static_cast<std::size_t>(signalLength) != 0) {
        fatalError("a bank's rows must be packed spectra of one even length");
    }
    const auto length = static_cast<std::size_t>(signalLength);
    const std::size_t half = length / 2;
    std::vector<float> result(samples.size());
    for (std::size_t start = 0; start < samples.size(); start += length) {
        const float* re = samples.data() + start;
        const float* im = re + half;
        float* outRe = result.data() + start;
        float* outIm = outRe + half;
        // DC and Nyquist share slot 0 of the packed layout but are two reals.
        outRe[0] = re[0] / (re[0] * re[0] + regularisation);
        outIm[0] = im[0] / (im[0] * im[0] + regularisation);
        for (std::size_t m = 1; m < half; ++m) {
            const float power = re[m] * re[m] + im[m] * im[m] + regularisation;
            outRe[m] = re[m] / power;
            outIm[m] = -(im[m] / power);
        }
    }
    return result;
}

GammatoneFilterbank makeInverseFilterbank(const GammatoneFilterbank& forward, std::int64_t numberOfFilters,
                                          std::int64_t sampleRate) {
    const CrossoverWeights crossover = crossoverWeights(numberOfFilters, forward.signalLength, sampleRate);
    const auto length = static_cast<std::size_t>(forward.signalLength);
    const auto filterCount = static_cast<std::size_t>(numberOfFilters);
    if (forward.samples.size() != 2 * filterCount * length) {
        fatalError("the forward bank does not have two rows per filter");
    }

    GammatoneFilterbank inverse{regularisedReciprocal(forward.samples, forward.signalLength), forward.signalLength};
    const std::size_t half = length / 2;
    for (std::size_t r = 0; r < 2 * filterCount; ++r) {
        const std::span<const float> weight = crossover.row(static_cast<std::int64_t>(r % filterCount));
        float* re = inverse.samples.data() + r * length;
        float* im = re + half;
        for (std::size_t m = 0; m < half; ++m) {
            re[m] *= weight[m];
        }
        // Slot 0 of the second half holds Nyquist, which lies beyond the
        // weight row: it belongs to the band that holds the bins just below it.
        im[0] *= weight[half - 1];
        for (std::size_t m = 1; m < half; ++m) {
            im[m] *= weight[m];
        }
    }
    return inverse;
}

}  // namespace vesh
