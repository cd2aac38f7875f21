#pragma once

#include <exception>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

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

// The speech enhancer model could not be loaded; `cause` is the runtime's error.
class ModelLoadError : public std::exception {
public:
    ModelLoadError(std::filesystem::path model, std::exception_ptr cause);
    const std::filesystem::path& model() const noexcept { return model_; }
    const std::exception_ptr& cause() const noexcept { return cause_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::filesystem::path model_;
    std::exception_ptr cause_;
    std::string message_;
};

// Every failure the user is told about: the caught error with the application
// state, and the alert's title (description) and message (recovery suggestion).
class AppError : public std::exception {
public:
    // Failures raised by the application core itself.
    class Base : public std::exception {
    public:
        enum class Code {
            missingOutputFolder,
            failedToEnhanceAudio,
        };
        explicit Base(Code code) : code_(code) {}
        Code code() const noexcept { return code_; }
        const char* what() const noexcept override;
        friend bool operator==(const Base& a, const Base& b) { return a.code_ == b.code_; }

    private:
        Code code_;
    };

    AppError(std::exception_ptr base, AppState state, BatchFailure failure = {});

    const std::exception_ptr& base() const noexcept { return base_; }
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
    std::exception_ptr base_;
    AppState state_;
    BatchFailure failure_;
    std::string description_;
};

// What the user is told of a file's failure: the enhancer's own failure
// (or its absence) is reported as the failure to enhance the audio; every
// other error is told as it is.
std::exception_ptr userFacingError(std::exception_ptr error);

}  // namespace vesh
