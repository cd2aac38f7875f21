#include "FullBandSpeechEnhancer/SpeechEnhancer.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "TestSignals.h"

namespace vesh {
namespace {

using test::segmentLength;
using test::testModel;

SpeechEnhancer enhancerWith(const char* model) {
    return SpeechEnhancer(Model(testModel(model), ComputeUnits::cpuOnly), segmentLength);
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

}  // namespace
}  // namespace vesh
