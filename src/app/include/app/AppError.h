#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace vesh {

// Where users write when an error persists; the one place it is defined.
inline constexpr std::string_view supportContactAddress = "support@veshaudio.org";

// The state of the application recorded together with an error.
struct AppState {
    bool outputFormatMatchesInput = false;
};

// Every failure the user is told about: the caught error with the application
// state, and the alert's title (description) and message (recovery suggestion).
class AppError : public std::exception {
public:
    // Failures raised by the application core itself.
    class Base : public std::exception {
    public:
        enum class Code { missingOutputFolder, failedToEnhanceAudio };
        explicit Base(Code code) : code_(code) {}
        Code code() const noexcept { return code_; }
        const char* what() const noexcept override;
        friend bool operator==(const Base& a, const Base& b) { return a.code_ == b.code_; }

    private:
        Code code_;
    };

    AppError(std::exception_ptr base, AppState state);

    const std::exception_ptr& base() const noexcept { return base_; }
    const AppState& state() const noexcept { return state_; }

    // The alert's title, chosen from `base` alone.
    std::string description() const;
    // The alert's message, chosen from `base` and the recorded state.
    std::string recoverySuggestion() const;

    const char* what() const noexcept override { return description_.c_str(); }

private:
    std::exception_ptr base_;
    AppState state_;
    std::string description_;
};

}  // namespace vesh
