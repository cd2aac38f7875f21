#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "FullBandFrontend/Frontend.h"
#include "Signals.h"

namespace vesh {
namespace {

using test::largestDifference;

constexpr std::int64_t signalLength = 5000;
constexpr std::int64_t paddedLength = 6000;
constexpr auto rowLength = static_cast<std::size_t>(paddedLength);

Frontend makeFrontend() {
    return Frontend(signalLength, paddedLength - signalLength, 48000, 4, PlanningEffort::estimate);
}

// White noise with an added component at half the sample rate, so that every
// bin from DC to Nyquist carries signal.
std::vector<float> testSignal() {
    std::vector<float> samples = test::noise(signalLength, 0.5f, 11);
    for (std::size_t j = 0; j < samples.size(); ++j) {
        samples[j] += j % 2 == 0 ? 0.25f : -0.25f;
    }
    return samples;
}

TEST(Frontend, AnalysisThenSynthesisReturnsThePaddedSignal) {
    Frontend frontend = makeFrontend();
    const std::vector<float> signal = testSignal();
    const std::vector<float> subbands = frontend.filter(signal);
    ASSERT_EQ(subbands.size(), 512 * rowLength);

    const std::vector<float> resynthesised = frontend.unfilter(subbands);
    ASSERT_EQ(resynthesised.size(), signal.size());
    EXPECT_LT(largestDifference(resynthesised, signal), 1e-5f);
    // Over all N samples, the padding comes back as silence.
    std::vector<float> padded = signal;
    padded.resize(rowLength, 0.0f);
    std::vector<float> all(rowLength, 1.0f);
    frontend.unfilter(subbands, all);
    EXPECT_LT(largestDifference(all, padded), 1e-5f);
}

TEST(Frontend, TransformOutputRemovesTheGivenInPhaseContent) {
    Frontend frontend = makeFrontend();
    const std::vector<float> signal = testSignal();
    std::vector<float> result(signal.size());

    const std::vector<float> nothing(256 * rowLength, 0.0f);
    frontend.transformOutput(nothing, signal, result);
    EXPECT_EQ(result, signal);

    const std::vector<float> subbands = frontend.filter(signal);
    frontend.transformOutput(subbands, signal, result);
    EXPECT_LT(largestDifference(result, std::vector<float>(signal.size(), 0.0f)), 1e-5f);

    // Working in place on the signal gives the same.
    std::vector<float> inPlace = signal;
    frontend.transformOutput(subbands, inPlace, inPlace);
    EXPECT_EQ(inPlace, result);
}

TEST(Frontend, ElementWiseOperations) {
    const std::vector<float> subbands{3, 0, 4, -1};
    std::vector<float> magnitude(2);
    Frontend::findMagnitude(subbands, magnitude);
    EXPECT_EQ(magnitude, (std::vector<float>{5, 1}));

    std::vector<float> compressed{0, 1, 32};
    Frontend::powerCompress(compressed, compressed);
    EXPECT_EQ(compressed[0], 0.0f);
    EXPECT_EQ(compressed[1], 1.0f);
    EXPECT_NEAR(compressed[2], 2.828427f, 1e-5f);

    // The stride runs over the flat buffer; the rest of the result is untouched.
    const std::vector<float> values{0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    std::vector<float> kept(4, -1.0f);
    Frontend::downsample(values, 3, kept);
    EXPECT_EQ(kept, (std::vector<float>{0, 3, 6, -1}));
}

TEST(FrontendDeathTest, RefusesBadConstructionAndMismatchedCounts) {
    EXPECT_DEATH(Frontend(signalLength, 1000, 44100, 1, PlanningEffort::estimate), "Fatal error");
    EXPECT_DEATH(Frontend(signalLength, 1001, 48000, 1, PlanningEffort::estimate), "Fatal error");

    std::vector<float> buffer(7);
    EXPECT_DEATH(Frontend::findMagnitude(buffer, std::span(buffer).first(3)), "Fatal error");
    EXPECT_DEATH(Frontend::powerCompress(buffer, std::span(buffer).first(6)), "Fatal error");
    EXPECT_DEATH(Frontend::downsample(buffer, 0, buffer), "Fatal error");

    Frontend frontend = makeFrontend();
    const std::vector<float> subbands(256 * rowLength);
    std::vector<float> result(signalLength - 1);
    EXPECT_DEATH(frontend.transformOutput(subbands, std::vector<float>(signalLength), result), "Fatal error");
    EXPECT_DEATH(frontend.unfilter(std::span(subbands).first(255 * rowLength)), "Fatal error");
}

}  // namespace
}  // namespace vesh
