#include "FullBandSpeechEnhancer/Model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "FullBandSpeechEnhancer/ModelError.h"
#include "FullBandSpeechEnhancer/ResourceBundle.h"
#include "FullBandSpeechEnhancer/VariableLengthSpeechEnhancer.h"
#include "TestSignals.h"

namespace vesh {
namespace {

using test::segmentLength;
using test::testModel;

TEST(Model, PredictsFromTheCallersSamplesAndAcceptsEveryComputeUnitsChoice) {
    const auto input = test::noise(segmentLength);
    for (const auto units :
         {ComputeUnits::cpuOnly, ComputeUnits::cpuAndGPU, ComputeUnits::all, ComputeUnits::cpuAndNeuralEngine}) {
        Model model(testModel("reversed.onnx"), units);
        const ModelOutput output = model.prediction(ModelInput(input));
        EXPECT_TRUE(std::equal(input.rbegin(), input.rend(), output.values().begin(), output.values().end()));
    }
}

// The runtime's error code of a failing call; none when it succeeds.
std::optional<int> modelErrorCode(const std::function<void()>& call) {
    try {
        call();
    } catch (const ModelError& error) {
        return error.code();
    }
    return std::nullopt;
}

TEST(Model, LoadAndPredictionFailuresReachTheCallerAsModelError) {
    EXPECT_EQ(modelErrorCode([] { Model(testModel("no-such-model.onnx"), ComputeUnits::cpuOnly); }), ORT_NO_SUCHFILE);
    const auto notAModel = std::filesystem::temp_directory_path() / "vesh-not-a-model.onnx";
    std::ofstream(notAModel) << "This text is not a model.\n";
    EXPECT_THROW(Model(notAModel, ComputeUnits::cpuOnly), ModelError);
    EXPECT_THROW(VariableLengthSpeechEnhancer(test::applicationParameters(), notAModel), ModelError);
    std::filesystem::remove(notAModel);

    const auto input = test::noise(segmentLength);
    Model wrongName(testModel("wrong-output-name.onnx"), ComputeUnits::cpuOnly);
    EXPECT_THROW(wrongName.prediction(ModelInput(input)), ModelError);
    // A segment of another length than the model's input.
    Model identity(testModel("identity.onnx"), ComputeUnits::cpuOnly);
    EXPECT_EQ(modelErrorCode([&] { identity.prediction(ModelInput(std::span(input).first(segmentLength - 1))); }),
              ORT_INVALID_ARGUMENT);
}

TEST(Model, MetadataComesFromTheModelAndIsEmptyWhenAbsent) {
    const auto metadataOf = [](const char* model) {
        const auto metadata = VariableLengthSpeechEnhancer(test::applicationParameters(), testModel(model)).metadata();
        return std::vector<std::string>{metadata.description, metadata.author, metadata.version};
    };
    EXPECT_EQ(metadataOf("metadata.onnx"),
              (std::vector<std::string>{"Passes the signal through unchanged", "Vesh test suite", "1.2.3"}));
    EXPECT_EQ(metadataOf("zeros.onnx"), std::vector<std::string>(3));
}

TEST(Model, FramingDeclaredInTheMetadataReplacesTheCallersAndMustFitTheInput) {
    const auto framingOf = [](const char* model) {
        const ModelParameters framing =
            VariableLengthSpeechEnhancer(test::applicationParameters(), testModel(model)).parameters();
        return std::vector<std::int64_t>{framing.processedSegmentLength, framing.crossfadeLength, framing.sampleRate};
    };
    EXPECT_EQ(framingOf("framed.onnx"), (std::vector<std::int64_t>{segmentLength, 12288, 48000}));
    EXPECT_EQ(framingOf("identity.onnx"), (std::vector<std::int64_t>{segmentLength, test::crossfadeLength, 48000}));
    // Its metadata names 4096-sample segments; its input holds 98304.
    EXPECT_EQ(modelErrorCode(
                  [] { VariableLengthSpeechEnhancer(test::applicationParameters(), testModel("misframed.onnx")); }),
              ORT_INVALID_GRAPH);
}

// The model the product ships, found the way the application finds it: in
// the bundle, looked up once.
TEST(ShippedModel, KeepsTheContractAndEnhancesOneSegment) {
    unsetenv("VESH_MODEL_PATH");
    const auto& bundle = resourceBundle();
    EXPECT_EQ(bundle.filename(), "FullBandSpeechEnhancer_FullBandSpeechEnhancer.bundle");
    EXPECT_EQ(&resourceBundle(), &bundle);
    ASSERT_TRUE(std::filesystem::is_regular_file(bundle / "Model.onnx"))
        << "the shipped model is missing from " << bundle;

    Model model(ComputeUnits::all);
    const Ort::Session& session = model.session();
    Ort::AllocatorWithDefaultOptions allocator;
    ASSERT_EQ(session.GetInputCount(), 1u);
    ASSERT_EQ(session.GetOutputCount(), 1u);
    EXPECT_EQ(std::string(session.GetInputNameAllocated(0, allocator).get()), "signal");
    EXPECT_EQ(std::string(session.GetOutputNameAllocated(0, allocator).get()), "var_2304");
    // The shape information lives inside the type information.
    const Ort::TypeInfo inputType = session.GetInputTypeInfo(0);
    const auto inputInfo = inputType.GetTensorTypeAndShapeInfo();
    EXPECT_EQ(inputInfo.GetElementType(), ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT);
    EXPECT_EQ(inputInfo.GetShape(), (std::vector<std::int64_t>{1, 1, 1, segmentLength}));
    const Ort::TypeInfo outputType = session.GetOutputTypeInfo(0);
    const auto outputInfo = outputType.GetTensorTypeAndShapeInfo();
    EXPECT_EQ(outputInfo.GetElementType(), ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT);
    EXPECT_EQ(outputInfo.GetElementCount(), static_cast<std::size_t>(segmentLength));

    const VariableLengthSpeechEnhancer enhancer(test::applicationParameters());
    EXPECT_NE(enhancer.metadata().version, "");

    const auto input = test::noise(segmentLength);
    const ModelOutput output = model.prediction(ModelInput(input));
    const auto values = output.values();
    ASSERT_EQ(values.size(), input.size());
    EXPECT_TRUE(std::all_of(values.begin(), values.end(), [](float value) { return std::isfinite(value); }));
}

}  // namespace
}  // namespace vesh
