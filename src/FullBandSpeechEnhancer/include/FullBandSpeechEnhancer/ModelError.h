#pragma once

#include <stdexcept>
#include <string>

namespace vesh {

// An error of the inference runtime (loading or running the model), carrying
// the runtime's own message and error code unchanged in meaning.
class ModelError : public std::runtime_error {
public:
    ModelError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
    int code() const noexcept { return code_; }

private:
    int code_;
};

}  // namespace vesh
