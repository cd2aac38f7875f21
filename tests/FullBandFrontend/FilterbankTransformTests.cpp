#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "FullBandFrontend/DiscreteFourierTransform.h"
#include "FullBandFrontend/FilterbankTransform.h"
#include "FullBandFrontend/GammatoneFilterbank.h"
#include "Reference.h"

namespace vesh {
namespace {

std::vector<float> noise(std::size_t count, unsigned seed) {
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    std::vector<float> samples(count);
    std::generate(samples.begin(), samples.end(), [&] { return uniform(generator); });
    return samples;
}

TEST(DiscreteFourierTransform, ProducesThePackedPlainSpectrumAndInvertsIt) {
    constexpr std::size_t length = 1000;
    // A signal shorter than N is zero-extended.
    const std::vector<float> signal = noise(length - 100, 7);
    std::vector<float> extended = signal;
    extended.resize(length, 0.0f);
    const std::vector<double> expected = reference::packedDft(extended);

    std::vector<float> spectrum(length);
    ForwardDiscreteFourierTransform(length).transform(signal, spectrum);
    for (std::size_t i = 0; i < length; ++i) {
        ASSERT_NEAR(spectrum[i], expected[i], 1e-4) << "float " << i;
    }
    InverseDiscreteFourierTransform(length, PlanningEffort::measure).transform(spectrum, spectrum);
    for (std::size_t j = 0; j < length; ++j) {
        ASSERT_NEAR(spectrum[j], extended[j], 1e-6) << "sample " << j;
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
    ASSERT_EQ(transform.paddedSignalLength(), length);
    const GammatoneFilterbank bank = makeForwardFilterbank(256, length, 48000);

    // Three floats beyond the 512 rows must come back zeroed.
    std::vector<float> result(512 * length + 3, 7.0f);
    const std::vector<float> impulse{1.0f};
    transform.filter(impulse, bank, result);
    EXPECT_EQ(result[512 * length], 0.0f);
    EXPECT_EQ(result[512 * length + 2], 0.0f);

    const std::vector<FrequencyBand> bands = erbSpacedBands(256);
    for (const std::size_t k : {0, 50, 128, 200, 255}) {
        const auto response = [&](bool sine) {
            return reference::gammatone(filterGains()[k], bands[k].centerFrequency, bands[k].bandwidth, length,
                                        sampleRate, sine);
        };
        const std::vector<double> cosine = response(false);
        const std::vector<double> sine = response(true);
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

TEST(FilterbankTransform, MultipliesDcAndNyquistAsRealsInBothDirections) {
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

    std::fill(subbands.begin(), subbands.end(), 0.0f);
    std::copy(signal.begin(), signal.end(), subbands.begin());
    // A result shorter than N receives the first result-count samples.
    std::vector<float> resynthesised(3);
    transform.unfilter(subbands, bank, resynthesised);
    EXPECT_NEAR(resynthesised[0], 5.0f, 1e-5);
    EXPECT_NEAR(resynthesised[1], -1.0f, 1e-5);
    EXPECT_NEAR(resynthesised[2], 5.0f, 1e-5);
}

}  // namespace
}  // namespace vesh
