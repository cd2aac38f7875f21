#include "FullBandSpeechEnhancer/ResourceBundle.h"

#include <array>
#include <cstdlib>
#include <string>
#include <system_error>

#include "Support/FatalError.h"

namespace vesh {

namespace {

constexpr const char* bundleName = "FullBandSpeechEnhancer_FullBandSpeechEnhancer";

std::filesystem::path executableDirectory() {
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : executable.parent_path();
}

std::filesystem::path findResourceBundle() {
    const std::array<std::filesystem::path, 3> candidates = {
        VESH_INSTALLED_RESOURCE_DIR,
        executableDirectory(),
        VESH_SOURCE_RESOURCE_DIR,
    };
    for (const auto& candidate : candidates) {
        if (candidate.empty()) {
            continue;
        }
        const auto bundle = candidate / (std::string(bundleName) + ".bundle");
        std::error_code error;
        if (std::filesystem::is_directory(bundle, error)) {
            return bundle;
        }
    }
    fatalError(std::string("unable to find bundle named ") + bundleName);
}

}  // namespace

const std::filesystem::path& resourceBundle() {
    static const std::filesystem::path bundle = findResourceBundle();
    return bundle;
}

std::filesystem::path modelLocation() {
    if (const char* overridden = std::getenv("VESH_MODEL_PATH"); overridden != nullptr && *overridden != '\0') {
        return overridden;
    }
    auto model = resourceBundle() / "Model.onnx";
    std::error_code error;
    if (!std::filesystem::is_regular_file(model, error)) {
        fatalError("unable to find resource Model.onnx in " + resourceBundle().string());
    }
    return model;
}

}  // namespace vesh
