#include "app/AppError.h"

#include "AudioIO/AudioError.h"

namespace vesh {

namespace {

constexpr char noOutputFolderDescription[] = "No output folder selected.";
constexpr char processingDescription[] = "An error occured while processing the audio.";
constexpr char openingDescription[] = "An error occured while opening the audio file.";
constexpr char savingDescription[] = "An error occured while saving the audio file.";
constexpr char resamplingDescription[] = "An error occured while resampling the audio.";
// For a caught value that carries no description of its own.
constexpr char unknownErrorDescription[] = "An unknown error occured.";

std::string generalAdvice() {
    return "If the problem persists, please contact " + std::string(supportContactAddress) + ".";
}

std::string switchAdvice() {
    return "Try switching off the toggle next to “Same as original file” and choosing an output format "
           "manually. " +
           generalAdvice();
}

// Only the base itself is examined: for an AudioError its own operation
// decides, never that of an error nested inside it.
std::string describe(const std::exception_ptr& base) {
    if (!base) return unknownErrorDescription;
    try {
        std::rethrow_exception(base);
    } catch (const AppError::Base& error) {
        return error.what();
    } catch (const AudioError& error) {
        switch (error.failedOperation()) {
        case AudioError::Operation::readAudioFile: return openingDescription;
        case AudioError::Operation::writeAudioFile: return savingDescription;
        case AudioError::Operation::resampleAudioStream: return resamplingDescription;
        case AudioError::Operation::mapAudioStream:
        case AudioError::Operation::mutateAudioStreamInPlace: return processingDescription;
        }
        return processingDescription;
    } catch (const std::exception& error) {
        const std::string description = error.what();
        return description.empty() ? unknownErrorDescription : description;
    } catch (...) {
        return unknownErrorDescription;
    }
}

bool isWriteFailure(const std::exception_ptr& base) {
    if (!base) return false;
    try {
        std::rethrow_exception(base);
    } catch (const AudioError& error) {
        return error.failedOperation() == AudioError::Operation::writeAudioFile;
    } catch (...) {
        return false;
    }
}

}  // namespace

const char* AppError::Base::what() const noexcept {
    switch (code_) {
    case Code::missingOutputFolder: return noOutputFolderDescription;
    case Code::failedToEnhanceAudio: return processingDescription;
    }
    return processingDescription;
}

AppError::AppError(std::exception_ptr base, AppState state)
    : base_(std::move(base)), state_(state), description_(describe(base_)) {}

std::string AppError::description() const { return description_; }

std::string AppError::recoverySuggestion() const {
    if (!base_) return generalAdvice();
    try {
        std::rethrow_exception(base_);
    } catch (const AppError::Base& error) {
        if (error.code() == Base::Code::missingOutputFolder) {
            return "Click “Choose a folder” in the Output section to select a destination for the denoised audio.";
        }
        return generalAdvice();
    } catch (...) {
        if (isWriteFailure(base_) && state_.outputFormatMatchesInput) return switchAdvice();
        return generalAdvice();
    }
}

}  // namespace vesh
