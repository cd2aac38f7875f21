#include "FullBandSpeechEnhancer/Model.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <utility>

#include "FullBandSpeechEnhancer/InferenceRuntime.h"
#include "FullBandSpeechEnhancer/ModelError.h"
#include "FullBandSpeechEnhancer/ResourceBundle.h"

namespace vesh {

namespace {

// One runtime environment per process; it outlives every session because
// the first session is only made after it. Failures reach the caller as
// exceptions, so the runtime itself logs errors only.
Ort::Env& environment() {
    static Ort::Env env = [] {
        Ort::Env created(ORT_LOGGING_LEVEL_ERROR, "vesh");
        created.DisableTelemetryEvents();
        return created;
    }();
    return env;
}

const Ort::MemoryInfo& cpuMemory() {
    static const Ort::MemoryInfo memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    return memory;
}

// Runs `body`, turning the runtime's exceptions into ModelError.
template <typename Body>
auto translatingErrors(Body&& body) {
    try {
        return std::forward<Body>(body)();
    } catch (const Ort::Exception& error) {
        throw ModelError(error.GetOrtErrorCode(), error.what());
    }
}

bool usesGraphicsProcessor(ComputeUnits computeUnits) {
    return computeUnits == ComputeUnits::all || computeUnits == ComputeUnits::cpuAndGPU;
}

Ort::SessionOptions makeSessionOptions(ComputeUnits computeUnits) {
    Ort::SessionOptions options;
    // Each prediction runs on its caller's thread alone; the enhancer runs
    // several at once, one per processor. A run split over a pool of threads
    // waits for its slowest part at every operator, which on a machine busy
    // with other work means waiting for a processor that others hold.
    options.SetIntraOpNumThreads(1);
    options.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
    if (usesGraphicsProcessor(computeUnits)) {
        const auto providers = Ort::GetAvailableProviders();
        if (std::find(providers.begin(), providers.end(), "CUDAExecutionProvider") != providers.end()) {
            // The provider is listed by builds that support it even where its
            // libraries or a device are missing; the CPU then serves alone.
            try {
                options.AppendExecutionProvider_CUDA(OrtCUDAProviderOptions{});
            } catch (const Ort::Exception&) {
            }
        }
    }
    return options;
}

Ort::Session loadSession(const std::filesystem::path& path, ComputeUnits computeUnits) {
    return translatingErrors([&] {
        const Ort::SessionOptions options = makeSessionOptions(computeUnits);
        return Ort::Session(environment(), path.c_str(), options);
    });
}

}  // namespace

void disableInferenceTelemetry() { setenv("ORT_DISABLE_TELEMETRY", "1", 0); }

ModelInput::ModelInput(std::span<const float> signal)
    : signal_(translatingErrors([&] {
          const std::array<std::int64_t, 4> shape = {1, 1, 1, static_cast<std::int64_t>(signal.size())};
          // The runtime never writes an input tensor, so it may view the
          // caller's read-only samples without a copy.
          return Ort::Value::CreateTensor<float>(cpuMemory(), const_cast<float*>(signal.data()), signal.size(),
                                                 shape.data(), shape.size());
      })) {}

std::span<const float> ModelOutput::values() const {
    return translatingErrors([&] {
        const Ort::Value& output = values_.front();
        if (!output.IsTensor()) {
            throw ModelError(ORT_INVALID_GRAPH, std::string("the model output ") + name + " is not a tensor");
        }
        const auto info = output.GetTensorTypeAndShapeInfo();
        if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT) {
            throw ModelError(ORT_INVALID_GRAPH,
                             std::string("the model output ") + name + " does not hold 32-bit floats");
        }
        return std::span<const float>(output.GetTensorData<float>(), info.GetElementCount());
    });
}

Model::Model(ComputeUnits computeUnits) : Model(modelLocation(), computeUnits) {}

Model::Model(const std::filesystem::path& path, ComputeUnits computeUnits)
    : session_(loadSession(path, computeUnits)) {}

ModelOutput Model::prediction(const ModelInput& input) const {
    return translatingErrors([&] {
        const std::array<const char*, 1> inputNames = {ModelInput::name};
        const std::array<const char*, 1> outputNames = {ModelOutput::name};
        // Default run options, as for any single prediction.
        return ModelOutput(
            session_.Run(Ort::RunOptions{nullptr}, inputNames.data(), &input.signal(), 1, outputNames.data(), 1));
    });
}

std::int64_t Model::inputLength() const {
    return translatingErrors([&] {
        const std::vector<std::int64_t> shape = session_.GetInputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
        std::int64_t length = 1;
        for (const std::int64_t dimension : shape) {
            if (dimension <= 0) return std::int64_t{0};
            length *= dimension;
        }
        return length;
    });
}

std::string Model::metadataValue(const char* key) const {
    return translatingErrors([&] {
        Ort::AllocatorWithDefaultOptions allocator;
        const Ort::ModelMetadata metadata = session_.GetModelMetadata();
        const Ort::AllocatedStringPtr value = metadata.LookupCustomMetadataMapAllocated(key, allocator);
        return value ? std::string(value.get()) : std::string();
    });
}

}  // namespace vesh
