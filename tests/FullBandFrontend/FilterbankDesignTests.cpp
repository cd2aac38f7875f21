#include <gtest/gtest.h>

#include <tuple>
#include <utility>
#include <vector>

#include "FullBandFrontend/GammatoneFilterbank.h"
#include "FullBandFrontend/InverseFilterbank.h"

namespace vesh {
namespace {

TEST(ErbSpacedBands, PlaceBandsEquallyOnTheErbRateScale) {
    const std::vector<FrequencyBand> bands = erbSpacedBands(256);
    ASSERT_EQ(bands.size(), 256u);
    for (const auto& [band, centre, bandwidth] :
         {std::tuple{0, 26.08, 27.52}, std::tuple{128, 2278.7, 270.6}, std::tuple{255, 23999.8, 2615.1}}) {
        EXPECT_NEAR(bands[band].centerFrequency, centre, 0.1) << "band " << band;
        EXPECT_NEAR(bands[band].bandwidth, bandwidth, 0.1) << "band " << band;
    }
    EXPECT_TRUE(erbSpacedBands(0).empty());
    // One band has no spacing to divide by.
    const std::vector<FrequencyBand> single = erbSpacedBands(1);
    ASSERT_EQ(single.size(), 1u);
    EXPECT_NEAR(single[0].centerFrequency, 26.08, 0.01);
}

TEST(FilterGains, RiseToFilter253AndFallAfterIt) {
    const auto& gains = filterGains();
    for (std::size_t k = 1; k < gains.size(); ++k) {
        EXPECT_EQ(gains[k] > gains[k - 1], k <= 253) << "filter " << k;
    }
}

TEST(CrossoverWeights, SumToOneAtEveryBin) {
    // 512 points put many low centres in the same bin; 96 kHz leaves the top
    // band a long flat stretch.
    for (const auto& [length, sampleRate] :
         {std::pair<std::int64_t, std::int64_t>{6000, 48000}, {4096, 96000}, {512, 48000}}) {
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

    // A single band is flat on both sides of its centre.
    EXPECT_EQ(crossoverWeights(1, 64, 48000).weights, std::vector<float>(32, 1.0f));
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
