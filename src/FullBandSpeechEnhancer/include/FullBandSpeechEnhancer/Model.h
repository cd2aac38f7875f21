#pragma once

#include <onnxruntime_cxx_api.h>

#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "FullBandSpeechEnhancer/ModelParameters.h"

namespace vesh {

// The model's input: one segment of samples, shape [1, 1, 1, count], fed as
// the input named "signal". It reads the caller's samples in place, so they
// must outlive the input.
class ModelInput {
public:
    explicit ModelInput(std::span<const float> signal);

    static constexpr const char* name = "signal";
    const Ort::Value& signal() const noexcept { return signal_; }

private:
    Ort::Value signal_;
};

// The result of one prediction: the output named "var_2304", the component
// the enhancer subtracts from its input.
class ModelOutput {
public:
    explicit ModelOutput(std::vector<Ort::Value> values) : values_(std::move(values)) {}

    static constexpr const char* name = "var_2304";

    // The output's elements in their natural order, read in place; any shape
    // is accepted. Throws ModelError when the output is not a float tensor.
    std::span<const float> values() const;

private:
    std::vector<Ort::Value> values_;
};

// A loaded inference model. Runtime failures reach the caller as ModelError
// with the runtime's message and code.
class Model {
public:
    // Loads the product's model (see modelLocation()).
    explicit Model(ComputeUnits computeUnits);
    // Loads the model file at `path`.
    Model(const std::filesystem::path& path, ComputeUnits computeUnits);

    // Safe to call from several threads at once: the runtime serves
    // concurrent runs of one session.
    ModelOutput prediction(const ModelInput& input) const;

    // The text stored under `key` in the model's metadata, or empty text.
    std::string metadataValue(const char* key) const;
    // The number of samples the model's input holds; 0 when its shape is not fixed.
    std::int64_t inputLength() const;

    // The underlying session, for inspecting the model's inputs and outputs.
    const Ort::Session& session() const noexcept { return session_; }

private:
    // The runtime's run call is not const in its C++ interface, although a
    // run leaves the session as it was.
    mutable Ort::Session session_;
};

}  // namespace vesh
