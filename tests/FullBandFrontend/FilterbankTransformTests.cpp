#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "FullBandFrontend/DiscreteFourierTransform.h"
#include "FullBandFrontend/FilterbankTransform.h"
#include "FullBandFrontend/GammatoneFilterbank.h"

namespace vesh {
namespace {

// Filter k's gammatone impulse response in double precision, cosine or sine
// carrier, on the time axis running from 0 to exactly n / sampleRate seconds
// in n samples.
std::vector<double> gammatone(std::size_t k, std::size_t n, double sampleRate, bool sineCarrier) {
    const FrequencyBand band = erbSpacedBands(256)[k];
    std::vector<double> h(n);
    for (std::size_t j = 0; j < n; ++j) {
        const double t = static_cast<double>(j) / sampleRate * static_cast<double>(n) / static_cast<double>(n - 1);
        const double envelope =
            filterGains()[k] * t * t * t * std::exp(-2 * std::numbers::pi * 1.019 * band.bandwidth * t);
        const double phase = 2 * std::numbers::pi * band.centerFrequency * t;
        h[j] = envelope * (sineCarrier ? std::sin(phase) : std::cos(phase));
    }
    return h;
}

TEST(DiscreteFourierTransform, ProducesThePackedPlainSpectrumAndInvertsIt) {
    // (1, 2) zero-extended to N = 8: X[m] = 1 + 2 exp(-i pi m / 4), packed as
    // DC, Re X[1..3], Nyquist, Im X[1..3].
    const std::vector<float> signal{1, 2};
    const float r = std::sqrt(2.0f);
    const std::vector<float> expected{3, 1 + r, 1, 1 - r, -1, -r, -2, -r};
    std::vector<float> spectrum(8);
    ForwardDiscreteFourierTransform(8).transform(signal, spectrum);
    for (std::size_t i = 0; i < spectrum.size(); ++i) {
        EXPECT_NEAR(spectrum[i], expected[i], 1e-5) << "float " << i;
    }
    InverseDiscreteFourierTransform(8, PlanningEffort::measure).transform(spectrum, spectrum);
    for (std::size_t j = 0; j < spectrum.size(); ++j) {
        EXPECT_NEAR(spectrum[j], j < signal.size() ? signal[j] : 0.0f, 1e-6) << "sample " << j;
    }
}

TEST(DiscreteFourierTransformDeathTest, RefusesAnOddLength) {
    EXPECT_DEATH(ForwardDiscreteFourierTransform(999), "Fatal error");
    EXPECT_DEATH(InverseDiscreteFourierTransform(0), "Fatal error");
}

TEST(FilterbankTransform, ImpulseGivesEachRowsImpulseResponse) {
    constexpr std::int64_t length = 6000;
    constexpr double sampleRate = 48000;
    FilterbankTransform transform(5000, 1000);
    const GammatoneFilterbank bank = makeForwardFilterbank(256, length, 48000);

    // Three floats beyond the 512 rows must come back zeroed.
    std::vector<float> result(512 * length + 3, 7.0f);
    const std::vector<float> impulse{1.0f};
    transform.filter(impulse, bank, result);
    EXPECT_EQ(result[512 * length], 0.0f);
    EXPECT_EQ(result[512 * length + 2], 0.0f);

    for (const std::size_t k : {0, 50, 128, 200, 255}) {
        const std::vector<double> cosine = gammatone(k, length, sampleRate, false);
        const std::vector<double> sine = gammatone(k, length, sampleRate, true);
        // Errors are measured against the envelope's peak: the top band's sine
        // carrier sampled near half the rate stays close to zero.
        double peak = 0;
        for (std::size_t j = 0; j < length; ++j) {
            peak = std::max(peak, std::hypot(cosine[j], sine[j]));
        }
        for (std::size_t j = 0; j < length; ++j) {
            ASSERT_NEAR(result[k * length + j], cosine[j], 1e-5 * peak) << "filter " << k << " cosine sample " << j;
            ASSERT_NEAR(result[(256 + k) * length + j], sine[j], 1e-5 * peak) << "filter " << k << " sine sample " << j;
        }
    }
}

TEST(FilterbankTransform, MultipliesDcAndNyquistAsReals) {
    constexpr std::size_t length = 8;
    FilterbankTransform transform(length, 0);
    // Only row 0 is non-zero: DC 2 and Nyquist 3.
    GammatoneFilterbank bank{std::vector<float>(512 * length), length};
    bank.samples[0] = 2.0f;
    bank.samples[length / 2] = 3.0f;

    // DC 8 and Nyquist 8; as reals the row gives 2 + 3 (-1)^j, whereas one
    // complex product (8 + 8i)(2 + 3i) would not.
    const std::vector<float> signal{2, 0, 2, 0, 2, 0, 2, 0};
    const std::vector<float> expected{5, -1, 5, -1, 5, -1, 5, -1};

    std::vector<float> subbands(512 * length);
    transform.filter(signal, bank, subbands);
    for (std::size_t j = 0; j < length; ++j) {
        EXPECT_NEAR(subbands[j], expected[j], 1e-5) << "analysis sample " << j;
    }
    EXPECT_TRUE(std::all_of(subbands.begin() + length, subbands.end(), [](float x) { return x == 0.0f; }));
}

}  // namespace
}  // namespace vesh
