#include "FullBandSpeechEnhancer/SpeechEnhancer.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "FullBandSpeechEnhancer/ModelError.h"
#include "TestSignals.h"

namespace vesh {
namespace {

using test::segmentLength;
using test::testModel;

SpeechEnhancer enhancerWith(const char* model) {
    return SpeechEnhancer(Model(testModel(model), ComputeUnits::cpuOnly), segmentLength);
}

TEST(SpeechEnhancer, SubtractsTheModelOutputFromTheSegment) {
    const auto input = test::noise(segmentLength);

    auto zeros = enhancerWith("zeros.onnx");
    EXPECT_EQ(zeros.enhance(input), input);

    auto identity = enhancerWith("identity.onnx");
    EXPECT_EQ(identity.enhance(input), std::vector<float>(input.size(), 0.0f));

    auto half = enhancerWith("scale-half.onnx");
    std::vector<float> output(input.size());
    half.enhance(input, output);
    for (std::size_t i = 0; i < input.size(); ++i) {
        ASSERT_EQ(output[i], input[i] - 0.5f * input[i]) << i;
    }
}

TEST(SpeechEnhancer, CountMismatchesAreRejectedBeforeAnyOutputIsWritten) {
    auto enhancer = enhancerWith("zeros.onnx");
    const auto input = test::noise(segmentLength + 1);
    std::vector<float> output(segmentLength + 1, 7.0f);

    EXPECT_THROW(enhancer.enhance(std::span(input).first(segmentLength), std::span(output).first(segmentLength - 1)),
                 std::invalid_argument);
    EXPECT_THROW(enhancer.enhance(input, output), std::invalid_argument);
    EXPECT_THROW(
        enhancer.enhance(std::span(input).first(segmentLength - 1), std::span(output).first(segmentLength - 1)),
        std::invalid_argument);
    EXPECT_EQ(output, std::vector<float>(segmentLength + 1, 7.0f));
}

TEST(SpeechEnhancer, ModelFailuresLeaveTheOutputUntouched) {
    const auto input = test::noise(segmentLength);
    for (const char* model : {"wrong-length.onnx", "wrong-output-name.onnx"}) {
        auto enhancer = enhancerWith(model);
        std::vector<float> output(segmentLength, 7.0f);
        EXPECT_THROW(enhancer.enhance(input, output), ModelError) << model;
        EXPECT_EQ(output, std::vector<float>(segmentLength, 7.0f)) << model;
    }
}

}  // namespace
}  // namespace vesh
