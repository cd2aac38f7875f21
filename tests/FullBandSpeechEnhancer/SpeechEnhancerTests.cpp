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
    EXPECT_EQ(enhancerWith("zeros.onnx").enhance(input), input);
    EXPECT_EQ(enhancerWith("identity.onnx").enhance(input), std::vector<float>(input.size(), 0.0f));
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
