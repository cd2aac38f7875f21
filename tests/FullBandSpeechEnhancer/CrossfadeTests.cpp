#include "FullBandSpeechEnhancer/Crossfade.h"

#include <gtest/gtest.h>

namespace vesh {
namespace {

TEST(Crossfade, ApplicationCurvesRiseFromZeroToOneAndComplementEachOther) {
    const auto in = crossfadeIn(24576);
    const auto out = crossfadeOut(24576);
    ASSERT_EQ(in.size(), 24576u);
    ASSERT_EQ(out.size(), 24576u);
    EXPECT_FLOAT_EQ(in[0], 0.0f);
    EXPECT_FLOAT_EQ(in[12288], 0.5f);
    EXPECT_FLOAT_EQ(in[24575], 1.0f);
    EXPECT_FLOAT_EQ(out[0], 1.0f);
    EXPECT_FLOAT_EQ(out[12288], 0.5f);
    for (std::size_t n = 0; n < in.size(); ++n) {
        ASSERT_NEAR(in[n] + out[n], 1.0f, 2e-7f) << n;
        ASSERT_NEAR(out[n], 1.0f - in[n], 2e-7f) << n;
        if (n > 0) {
            ASSERT_GE(in[n], in[n - 1] - 1e-6f) << n;
        }
    }
    // Zero slope at the start: the first steps are far below a linear ramp's.
    EXPECT_LT(in[100], 1e-4f);
}

TEST(Crossfade, OddLengthEndsExactlyAtOne) {
    const auto in = crossfadeIn(5);
    const auto out = crossfadeOut(5);
    ASSERT_EQ(in.size(), 5u);
    EXPECT_FLOAT_EQ(in[0], 0.0f);
    EXPECT_FLOAT_EQ(in[2], 0.5f);
    EXPECT_FLOAT_EQ(in[4], 1.0f);
    EXPECT_FLOAT_EQ(out[4], 0.0f);
    // h = 2: x = 1/2 - 1 = -0.5 for n = 1.
    EXPECT_NEAR(in[1], 0.5f - 0.5625f * 0.70710678f - 0.0625f * 0.70710678f, 1e-6f);
}

TEST(Crossfade, LengthOneGivesOneAndLengthZeroGivesNothing) {
    EXPECT_EQ(crossfadeIn(1), std::vector<float>{1.0f});
    EXPECT_EQ(crossfadeOut(1), std::vector<float>{1.0f});
    EXPECT_TRUE(crossfadeIn(0).empty());
    EXPECT_TRUE(crossfadeOut(0).empty());
}

}  // namespace
}  // namespace vesh
