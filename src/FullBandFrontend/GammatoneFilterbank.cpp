#include "FullBandFrontend/GammatoneFilterbank.h"

#include <cmath>
#include <cstddef>

#include "FullBandFrontend/DiscreteFourierTransform.h"
#include "Support/FatalError.h"

namespace vesh {

namespace {

constexpr float twoPi = 6.283185f;

struct GainAnchor {
    std::size_t filter;
    float gain;
};

// Gains measured for these filters; the table between them is filled in.
constexpr std::array<GainAnchor, 15> gainAnchors{{
    {0, 8053.557f},
    {1, 8724.877f},
    {2, 9484.110f},
    {63, 1696722.5f},
    {64, 1827436.25f},
    {127, 1.9221288e8f},
    {128, 2.0581922e8f},
    {191, 1.8817147e10f},
    {192, 2.0145390e10f},
    {250, 1.2756036e12f},
    {251, 1.4982144e12f},
    {252, 1.9943791e12f},
    {253, 2.0817311e12f},
    {254, 1.4400646e12f},
    {255, 1.2781402e12f},
}};

// Between two anchored filters the logarithm of the gain is interpolated
// linearly in the filter number (the gains grow roughly geometrically along
// the band index); the anchored filters keep their values exactly. Since the
// anchors rise to filter 253 and fall after it, so does the whole table.
std::array<float, filterGainCount> interpolateGains() {
    std::array<float, filterGainCount> gains{};
    for (std::size_t a = 0; a + 1 < gainAnchors.size(); ++a) {
        const GainAnchor lower = gainAnchors[a];
        const GainAnchor upper = gainAnchors[a + 1];
        const double logLower = std::log(static_cast<double>(lower.gain));
        const double logUpper = std::log(static_cast<double>(upper.gain));
        const auto span = static_cast<double>(upper.filter - lower.filter);
        gains[lower.filter] = lower.gain;
        for (std::size_t k = lower.filter + 1; k < upper.filter; ++k) {
            const double fraction = static_cast<double>(k - lower.filter) / span;
            gains[k] = static_cast<float>(std::exp(logLower + fraction * (logUpper - logLower)));
        }
    }
    gains[gainAnchors.back().filter] = gainAnchors.back().gain;
    return gains;
}

}  // namespace

const std::array<float, filterGainCount>& filterGains() {
    static const std::array<float, filterGainCount> gains = interpolateGains();
    return gains;
}

std::vector<FrequencyBand> erbSpacedBands(std::int64_t count) {
    if (count < 0) {
        fatalError("a negative number of bands");
    }
    // One band has no spacing: it sits at the lowest ERB number.
    const float step = count > 1 ? 42.1957f / static_cast<float>(count - 1) : 0.0f;
    std::vector<FrequencyBand> bands;
    bands.reserve(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i) {
        const float e = std::exp((step * static_cast<float>(i) + 1.0f) / 9.265f);
        const float centerFrequency = (e - 1.0f) * 228.8455f;
        bands.push_back({centerFrequency, centerFrequency / 9.265f + 24.7f});
    }
    return bands;
}

GammatoneFilterbank makeForwardFilterbank(std::int64_t numberOfFilters, std::int64_t signalLength,
                                          std::int64_t sampleRate) {
    if (numberOfFilters < 0 || static_cast<std::size_t>(numberOfFilters) > filterGainCount) {
        fatalError("the number of filters exceeds the gain table");
    }
    if (sampleRate <= 0) {
        fatalError("the sample rate must be positive");
    }
    // Refuses a length that is not even and at least 2; made for this
    // construction only.
    ForwardDiscreteFourierTransform forwardDFT(signalLength);

    const auto length = static_cast<std::size_t>(signalLength);
    const auto filterCount = static_cast<std::size_t>(numberOfFilters);
    GammatoneFilterbank bank{std::vector<float>(2 * filterCount * length), signalLength};

    // The time axis runs from 0 to exactly N / sampleRate seconds in N steps,
    // so its last sample falls at N / sampleRate, not at (N - 1) / sampleRate.
    const float duration = static_cast<float>(signalLength) / static_cast<float>(sampleRate);
    const float timeStep = duration / static_cast<float>(signalLength - 1);
    std::vector<float> time(length);
    for (std::size_t j = 0; j < length; ++j) {
        time[j] = static_cast<float>(j) * timeStep;
    }

    std::vector<float> cosineRow(length);
    std::vector<float> sineRow(length);
    const std::vector<FrequencyBand> bands = erbSpacedBands(numberOfFilters);
    const std::span<float> samples(bank.samples);
    for (std::size_t k = 0; k < filterCount; ++k) {
        const float gain = filterGains()[k];
        const float decayRate = bands[k].bandwidth * 1.019f * -twoPi;
        const float angularFrequency = bands[k].centerFrequency * twoPi;
        for (std::size_t j = 0; j < length; ++j) {
            const float t = time[j];
            const float envelope = t * t * t * std::exp(t * decayRate) * gain;
            const float phase = t * angularFrequency;
            cosineRow[j] = envelope * std::cos(phase);
            sineRow[j] = envelope * std::sin(phase);
        }
        forwardDFT.transform(cosineRow, samples.subspan(k * length, length));
        forwardDFT.transform(sineRow, samples.subspan((filterCount + k) * length, length));
    }
    return bank;
}

}  // namespace vesh
