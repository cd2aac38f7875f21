#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "FullBandFrontend/GammatoneFilterbank.h"
#include "FullBandFrontend/InverseFilterbank.h"

namespace vesh {
namespace {

std::int64_t centreBin(const FrequencyBand& band, std::int64_t length, std::int64_t sampleRate) {
    return static_cast<std::int64_t>(band.centerFrequency / static_cast<float>(sampleRate) *
                                     static_cast<float>(length));
}

TEST(ErbSpacedBands, PlaceBandsEquallyOnTheErbRateScale) {
    const std::vector<FrequencyBand> bands = erbSpacedBands(256);
    ASSERT_EQ(bands.size(), 256u);
    EXPECT_NEAR(bands[0].centerFrequency, 26.08, 0.01);
    EXPECT_NEAR(bands[0].bandwidth, 27.52, 0.01);
    EXPECT_NEAR(bands[128].centerFrequency, 2278.7, 0.1);
    EXPECT_NEAR(bands[128].bandwidth, 270.6, 0.1);
    EXPECT_NEAR(bands[255].centerFrequency, 23999.8, 0.1);
    EXPECT_NEAR(bands[255].bandwidth, 2615.1, 0.1);
    for (std::size_t i = 0; i < bands.size(); ++i) {
        EXPECT_NEAR(bands[i].bandwidth, bands[i].centerFrequency / 9.265 + 24.7, 1e-5 * bands[i].bandwidth);
        if (i > 0) {
            EXPECT_GT(bands[i].centerFrequency, bands[i - 1].centerFrequency);
        }
    }

    EXPECT_TRUE(erbSpacedBands(0).empty());
    const std::vector<FrequencyBand> single = erbSpacedBands(1);
    ASSERT_EQ(single.size(), 1u);
    EXPECT_NEAR(single[0].centerFrequency, 26.08, 0.01);
}

TEST(FilterGains, KeepTheMeasuredGainsAndRiseToFilter253) {
    const auto& gains = filterGains();
    const std::vector<std::pair<std::size_t, float>> measured{
        {0, 8053.557f},       {1, 8724.877f},       {2, 9484.110f},       {63, 1696722.5f},     {64, 1827436.25f},
        {127, 1.9221288e8f},  {128, 2.0581922e8f},  {191, 1.8817147e10f}, {192, 2.0145390e10f}, {250, 1.2756036e12f},
        {251, 1.4982144e12f}, {252, 1.9943791e12f}, {253, 2.0817311e12f}, {254, 1.4400646e12f}, {255, 1.2781402e12f}};
    for (const auto& [filter, gain] : measured) {
        EXPECT_EQ(gains[filter], gain) << "filter " << filter;
    }
    for (std::size_t k = 1; k <= 253; ++k) {
        EXPECT_GT(gains[k], gains[k - 1]) << "filter " << k;
    }
    EXPECT_LT(gains[254], gains[253]);
    EXPECT_LT(gains[255], gains[254]);
}

TEST(CrossoverWeights, SumToOneAtEveryBin) {
    // 512 points put many low centres in the same bin; 96 kHz leaves the top
    // band a long flat stretch.
    for (const auto& [length, sampleRate] :
         std::vector<std::pair<std::int64_t, std::int64_t>>{{6000, 48000}, {4096, 96000}, {512, 48000}}) {
        SCOPED_TRACE(testing::Message() << "N " << length << " at " << sampleRate << " Hz");
        const CrossoverWeights crossover = crossoverWeights(256, length, sampleRate);
        ASSERT_EQ(crossover.rowLength, length / 2);
        ASSERT_EQ(crossover.rowCount, 256);
        for (std::int64_t bin = 0; bin < crossover.rowLength; ++bin) {
            double sum = 0;
            for (std::int64_t band = 0; band < 256; ++band) {
                const float weight = crossover.row(band)[static_cast<std::size_t>(bin)];
                ASSERT_GE(weight, 0.0f);
                ASSERT_LE(weight, 1.0f + 1e-6f);
                sum += weight;
            }
            ASSERT_NEAR(sum, 1.0, 1e-6) << "bin " << bin;
        }

        const std::vector<FrequencyBand> bands = erbSpacedBands(256);
        const std::int64_t topBin = centreBin(bands[255], length, sampleRate);
        for (std::int64_t bin = topBin; bin < crossover.rowLength; ++bin) {
            EXPECT_EQ(crossover.row(255)[static_cast<std::size_t>(bin)], 1.0f);
        }
        if (centreBin(bands[0], length, sampleRate) > 0) {
            EXPECT_EQ(crossover.row(0)[0], 1.0f);
        }
    }
}

TEST(CrossoverWeights, EdgesWriteOnlyTheirOwnBins) {
    std::vector<float> row(10, -1.0f);
    // Coinciding lower neighbour and centre: an empty rising side.
    fillBandEdges(row, 3, TransitionShape::raisedCosine, 3, 7, TransitionShape::raisedCosine);
    const std::vector<float> expected{-1, -1, -1, 1, 0.853553f, 0.5f, 0.146447f, -1, -1, -1};
    for (std::size_t bin = 0; bin < row.size(); ++bin) {
        EXPECT_NEAR(row[bin], expected[bin], 1e-6) << "bin " << bin;
    }

    std::vector<float> single(6, 0.0f);
    fillBandEdges(single, 0, TransitionShape::flatBelow, 2, 6, TransitionShape::flatAbove);
    EXPECT_EQ(single, std::vector<float>(6, 1.0f));

    std::vector<float> crossover = crossoverWeights(1, 64, 48000).weights;
    EXPECT_EQ(crossover, std::vector<float>(32, 1.0f));
}

TEST(CrossoverWeightsDeathTest, RefusesWrongShapesAndCentresAboveHalfTheRate) {
    std::vector<float> row(10);
    EXPECT_DEATH(fillBandEdges(row, 0, TransitionShape::flatAbove, 4, 8, TransitionShape::flatAbove), "Fatal error");
    EXPECT_DEATH(fillBandEdges(row, 0, TransitionShape::flatBelow, 4, 8, TransitionShape::flatBelow), "Fatal error");
    EXPECT_DEATH(fillBandEdges(row, 0, TransitionShape::flatBelow, 4, 11, TransitionShape::flatAbove), "Fatal error");
    EXPECT_DEATH(crossoverWeights(256, 4096, 44100), "Fatal error");
}

TEST(RegularisedReciprocal, InvertsEachBinAndTreatsDcAndNyquistAsReals) {
    // DC 2, Nyquist 4, bins 1 to 4: 3 + 4i, i, 1, 0.
    const std::vector<float> row{2, 3, 0, 1, 0, 4, 4, 1, 0, 0};
    const std::vector<float> inverse = regularisedReciprocal(row, 10);
    const std::vector<float> expected{0.5f, 0.12f, 0, 1, 0, 0.25f, -0.16f, -1, 0, 0};
    ASSERT_EQ(inverse.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_NEAR(inverse[i], expected[i], 1e-6) << "float " << i;
    }
}

TEST(InverseFilterbank, UndoesEachForwardRowUpToTheBandWeight) {
    constexpr std::int64_t length = 6000;
    const GammatoneFilterbank forward = makeForwardFilterbank(256, length, 48000);
    const GammatoneFilterbank inverse = makeInverseFilterbank(forward, 256, 48000);
    const CrossoverWeights crossover = crossoverWeights(256, length, 48000);
    ASSERT_EQ(inverse.signalLength, length);
    ASSERT_EQ(inverse.samples.size(), forward.samples.size());

    constexpr std::size_t half = length / 2;
    for (const std::int64_t row : {0, 1, 128, 254, 255, 256, 384, 511}) {
        SCOPED_TRACE(testing::Message() << "row " << row);
        const std::span<const float> f = forward.row(row);
        const std::span<const float> g = inverse.row(row);
        const std::span<const float> weight = crossover.row(row % 256);
        EXPECT_NEAR(f[0] * g[0], weight[0], 1e-5);
        EXPECT_NEAR(f[half] * g[half], weight[half - 1], 1e-5);
        for (std::size_t m = 1; m < half; ++m) {
            const double re = double(f[m]) * g[m] - double(f[half + m]) * g[half + m];
            const double im = double(f[m]) * g[half + m] + double(f[half + m]) * g[m];
            ASSERT_NEAR(re, weight[m], 1e-5) << "bin " << m;
            ASSERT_NEAR(im, 0.0, 1e-5) << "bin " << m;
        }
    }
}

}  // namespace
}  // namespace vesh
