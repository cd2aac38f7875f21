#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "FullBandFrontend/Frontend.h"

namespace vesh {
namespace {

constexpr std::int64_t signalLength = 5000;
constexpr std::int64_t paddedLength = 6000;
constexpr auto rowLength = static_cast<std::size_t>(paddedLength);

Frontend makeFrontend() {
    return Frontend(signalLength, paddedLength - signalLength, 48000, 4, PlanningEffort::estimate);
}

// White noise with an added component at half the sample rate, so that every
// bin from DC to Nyquist carries signal.
std::vector<float> testSignal() {
    std::mt19937 generator(11);
    std::uniform_real_distribution<float> uniform(-0.5f, 0.5f);
    std::vector<float> samples(signalLength);
    for (std::size_t j = 0; j < samples.size(); ++j) {
        samples[j] = uniform(generator) + (j % 2 == 0 ? 0.25f : -0.25f);
    }
    return samples;
}

float largestDifference(std::span<const float> a, std::span<const float> b) {
    float largest = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        largest = std::max(largest, std::fabs(a[i] - b[i]));
    }
    return largest;
}

TEST(Frontend, AnalysisThenSynthesisReturnsThePaddedSignal) {
    Frontend frontend = makeFrontend();
    EXPECT_EQ(frontend.paddedSignalLength(), paddedLength);
    EXPECT_EQ(frontend.downsamplingStride(), 4);
    const std::vector<float> signal = testSignal();

    const std::vector<float> subbands = frontend.filter(signal);
    ASSERT_EQ(subbands.size(), 512 * rowLength);
    const std::vector<float> resynthesised = frontend.unfilter(subbands);
    ASSERT_EQ(resynthesised.size(), static_cast<std::size_t>(signalLength));
    EXPECT_LT(largestDifference(resynthesised, signal), 1e-5f);

    // Over all N samples, the padding comes back as silence.
    std::vector<float> padded(rowLength, 1.0f);
    frontend.unfilter(subbands, padded);
    EXPECT_LT(largestDifference(std::span(padded).first(signal.size()), signal), 1e-5f);
    const std::vector<float> silence(rowLength - signal.size(), 0.0f);
    EXPECT_LT(largestDifference(std::span(padded).subspan(signal.size()), silence), 1e-5f);
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

TEST(Frontend, TransformInputGivesSubbandsThenCompressedEnvelopes) {
    Frontend frontend = makeFrontend();
    std::vector<float> features(768 * rowLength, 1.0f);
    frontend.transformInput(std::vector<float>(signalLength, 0.0f), features);
    EXPECT_TRUE(std::all_of(features.begin(), features.end(), [](float x) { return x == 0.0f; }));

    const std::vector<float> signal = testSignal();
    frontend.transformInput(signal, features);
    const std::vector<float> subbands = frontend.filter(signal);
    EXPECT_TRUE(std::equal(subbands.begin(), subbands.end(), features.begin()));
    for (const std::size_t k : {0, 100, 255}) {
        for (std::size_t j = 0; j < rowLength; j += 97) {
            const float inPhase = subbands[k * rowLength + j];
            const float quadrature = subbands[(256 + k) * rowLength + j];
            const float expected = std::pow(std::hypot(inPhase, quadrature), 0.3f);
            ASSERT_NEAR(features[(512 + k) * rowLength + j], expected, 1e-5f * expected)
                << "filter " << k << " sample " << j;
        }
    }
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
