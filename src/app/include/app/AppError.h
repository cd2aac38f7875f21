#pragma once

#include <exception>
#include <filesystem>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "Engine/ProcessingError.h"

namespace vesh {

// Where users write when an error persists; the one place it is defined.
inline constexpr std::string_view supportContactAddress = "support@veshaudio.org";

// The state of the application recorded together with an error.
struct AppState {
    bool outputFormatMatchesInput = false;
};

// Which file of a batch failed and which files the failure left unprocessed
// (a failure ends the batch).
struct BatchFailure {
    std::string failedFile;
    std::vector<std::string> notProcessed;
};

// The speech enhancer model at `model` could not be loaded; `cause` is the
// runtime's error.
struct ModelLoadError {
    std::filesystem::path model;
    std::exception_ptr cause;
};

// Every failure the user is told about: the caught error with the application
// state, and the alert's title (description) and message (recovery suggestion).
class AppError : public std::exception {
public:
    // Failures raised by the application core itself.
    enum class Base {
        missingOutputFolder,
        failedToEnhanceAudio,
    };
    // What failed: the application core itself, the model's load, or a call
    // of the engine.
    using Caught = std::variant<Base, ModelLoadError, ProcessingError>;

    AppError(Caught base, AppState state, BatchFailure failure = {});

    const Caught& base() const noexcept { return base_; }
    const AppState& state() const noexcept { return state_; }
    const BatchFailure& failure() const noexcept { return failure_; }

    // The alert's title, chosen from `base` alone.
    std::string description() const;
    // The alert's message, chosen from `base` and the recorded state.
    std::string recoverySuggestion() const;
    // The failed file and the files left unprocessed, in a sentence or two;
    // empty outside a batch.
    std::string failureReport() const;
    // The underlying cause as the system or library put it ("No such file or
    // directory"), without the application's own operation names; empty when
    // the description already says it all.
    std::string details() const;
    // The failure report, the details and the recovery suggestion, one
    // paragraph each: the full message for an alert.
    std::string informativeText() const;

    const char* what() const noexcept override { return description_.c_str(); }

private:
    Caught base_;
    AppState state_;
    BatchFailure failure_;
    std::string description_;
};

}  // namespace vesh
