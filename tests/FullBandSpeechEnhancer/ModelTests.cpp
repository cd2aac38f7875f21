#include "FullBandSpeechEnhancer/Model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>

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
        const auto values = output.values();
        ASSERT_EQ(values.size(), input.size());
        EXPECT_EQ(values.front(), input.back());
        EXPECT_EQ(values.back(), input.front());
        EXPECT_EQ(values[1000], input[input.size() - 1001]);
    }
}

TEST(Model, LoadFailuresReachTheCallerAsModelError) {
    const auto missing = testModel("no-such-model.onnx");
    try {
        Model model(missing, ComputeUnits::cpuOnly);
        FAIL() << "a missing model file loaded";
    } catch (const ModelError& error) {
        EXPECT_EQ(error.code(), ORT_NO_SUCHFILE);
        EXPECT_NE(std::string(error.what()), "");
    }

    const auto notAModel = std::filesystem::temp_directory_path() / "vesh-not-a-model.onnx";
    std::ofstream(notAModel) << "This text is not a model.\n";
    EXPECT_THROW(Model(notAModel, ComputeUnits::cpuOnly), ModelError);
    EXPECT_THROW(VariableLengthSpeechEnhancer(test::applicationParameters(), notAModel), ModelError);
    std::filesystem::remove(notAModel);
}

TEST(Model, PredictionFailuresReachTheCallerAsModelError) {
    const auto input = test::noise(segmentLength);
    Model wrongName(testModel("wrong-output-name.onnx"), ComputeUnits::cpuOnly);
    EXPECT_THROW(wrongName.prediction(ModelInput(input)), ModelError);

    // A segment of another length than the model's input.
    Model identity(testModel("identity.onnx"), ComputeUnits::cpuOnly);
    const std::vector<float> shorter(input.begin(), input.end() - 1);
    try {
        identity.prediction(ModelInput(shorter));
        FAIL() << "a segment of the wrong length was predicted";
    } catch (const ModelError& error) {
        EXPECT_EQ(error.code(), ORT_INVALID_ARGUMENT);
    }
}

TEST(Model, MetadataComesFromTheModelAndIsEmptyWhenAbsent) {
    const VariableLengthSpeechEnhancer described(test::applicationParameters(), testModel("metadata.onnx"));
    EXPECT_EQ(described.metadata().description, "Passes the signal through unchanged");
    EXPECT_EQ(described.metadata().author, "Vesh test suite");
    EXPECT_EQ(described.metadata().version, "1.2.3");

    const VariableLengthSpeechEnhancer plain(test::applicationParameters(), testModel("zeros.onnx"));
    EXPECT_EQ(plain.metadata().description, "");
    EXPECT_EQ(plain.metadata().author, "");
    EXPECT_EQ(plain.metadata().version, "");
}

TEST(ModelLocation, EnvironmentVariableTakesPrecedenceOverTheBundle) {
    ASSERT_EQ(setenv("VESH_MODEL_PATH", testModel("metadata.onnx").c_str(), 1), 0);
    EXPECT_EQ(modelLocation(), testModel("metadata.onnx"));
    const VariableLengthSpeechEnhancer enhancer(test::applicationParameters());
    EXPECT_EQ(enhancer.metadata().version, "1.2.3");
    unsetenv("VESH_MODEL_PATH");
}

TEST(ModelLocation, BundleIsFoundOnceUnderItsName) {
    const auto& bundle = resourceBundle();
    EXPECT_EQ(bundle.filename(), "FullBandSpeechEnhancer_FullBandSpeechEnhancer.bundle");
    EXPECT_TRUE(std::filesystem::is_directory(bundle));
    EXPECT_EQ(&resourceBundle(), &bundle);
}

// The model the product ships, found the way the application finds it.
TEST(ShippedModel, KeepsTheContractAndEnhancesOneSegment) {
    unsetenv("VESH_MODEL_PATH");
    ASSERT_TRUE(std::filesystem::is_regular_file(resourceBundle() / "Model.onnx"))
        << "the shipped model is missing from " << resourceBundle();

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
    for (const float value : values) {
        ASSERT_TRUE(std::isfinite(value));
    }
}

}  // namespace
}  // namespace vesh
