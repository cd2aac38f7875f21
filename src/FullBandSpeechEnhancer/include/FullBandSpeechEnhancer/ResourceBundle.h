#pragma once

#include <filesystem>

namespace vesh {

// The module's resource directory, FullBandSpeechEnhancer_FullBandSpeechEnhancer.bundle,
// looked up once per process (thread-safe) in this order:
//   1. the installed data directory (<prefix>/share/vesh),
//   2. the directory of the running executable,
//   3. the resources of the source tree the program was built from.
// Stops the process when none of them holds the directory.
const std::filesystem::path& resourceBundle();

// The model file to load: the file named by the environment variable
// VESH_MODEL_PATH when it is set and not empty, otherwise Model.onnx in the
// resource bundle. The model is part of the product, so a bundle without it
// stops the process.
std::filesystem::path modelLocation();

}  // namespace vesh
