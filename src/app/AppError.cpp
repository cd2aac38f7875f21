#include "app/AppError.h"

#include <new>

#include "AudioIO/AudioError.h"

namespace vesh {

namespace {

using Kind = ProcessingError::Kind;

constexpr char noOutputFolderDescription[] = "No output folder selected.";
constexpr char processingDescription[] = "An error occurred while processing the audio.";
constexpr char openingDescription[] = "An error occurred while opening the audio file.";
constexpr char unreadableContentDescription[] = "The file is damaged or is not an audio file.";
constexpr char unreadableContentAdvice[] =
    "Check that the file plays in a media player. If it does not, export it again from the program that made it.";
constexpr char savingDescription[] = "An error occurred while saving the audio file.";
constexpr char resamplingDescription[] = "An error occurred while resampling the audio.";
constexpr char outOfMemoryCause[] = "Not enough memory is available to process this file.";

std::string generalAdvice() {
    return "If the problem persists, please contact " + std::string(supportContactAddress) + ".";
}

std::string switchAdvice() {
    return "Try switching off the toggle next to “Same as original file” and choosing an output format "
           "manually. " +
           generalAdvice();
}

// The alert's title for each failure the user is told about.
std::string describe(AppError::Base base) {
    switch (base) {
    case AppError::Base::missingOutputFolder: return noOutputFolderDescription;
    case AppError::Base::failedToEnhanceAudio: break;
    }
    return processingDescription;
}

std::string describe(const ModelLoadError& error) {
    return "The speech enhancer model “" + error.model.string() + "” could not be loaded.";
}

std::string describe(const ProcessingError& error) {
    switch (error.kind()) {
    case Kind::readingSource:
    case Kind::sourceChanged: return openingDescription;
    case Kind::sourceNotAudio: return unreadableContentDescription;
    case Kind::convertingRate: return resamplingDescription;
    case Kind::writingOutput:
    case Kind::folderNotWritable:
    case Kind::nameTooLong:
    case Kind::notEnoughSpace:
    case Kind::outputTooLarge:
    case Kind::outputTooLong: return savingDescription;
    case Kind::enhancing:
    case Kind::unexpected: return processingDescription;
    // The batch's rules in the engine's own words, and the ends that the
    // user chose (a batch tells them as outcomes, not as failures).
    case Kind::outputWouldReplaceSource:
    case Kind::fileNameLeavesOutputFolder:
    case Kind::cancelled:
    case Kind::stoppedAtExistingFile: return error.what();
    }
    return processingDescription;
}

// The alert's message: what to do about the failure.
std::string adviceFor(AppError::Base base, bool) {
    switch (base) {
    case AppError::Base::missingOutputFolder:
        return "Click “Choose a folder” in the Output section to select a destination for the denoised audio.";
    case AppError::Base::failedToEnhanceAudio: break;
    }
    return generalAdvice();
}

std::string adviceFor(const ModelLoadError&, bool) { return generalAdvice(); }

std::string adviceFor(const ProcessingError& error, bool outputFormatMatchesInput) {
    const std::string chooseFormat =
        outputFormatMatchesInput ? "Switch off the toggle next to “Same as original file” and choose " : "Choose ";
    switch (error.kind()) {
    case Kind::sourceNotAudio: return unreadableContentAdvice;
    case Kind::writingOutput: return outputFormatMatchesInput ? switchAdvice() : generalAdvice();
    case Kind::folderNotWritable: return "Choose an output folder that you can write to.";
    case Kind::nameTooLong: return "Use a shorter prefix or suffix, or shorten the name of the original file.";
    case Kind::notEnoughSpace: return "Free some space on that disk, or choose an output folder on another disk.";
    case Kind::outputTooLarge: return chooseFormat + "WAV or FLAC as the output format: they hold files of this size.";
    case Kind::outputTooLong: return chooseFormat + "WAV as the output format: it holds recordings of this length.";
    case Kind::outputWouldReplaceSource:
        return "Choose another output folder, or add a prefix or a suffix to the file names.";
    case Kind::fileNameLeavesOutputFolder:
        return "Remove “/” from the prefix and the suffix in the Output section, so that every file is written "
               "into the output folder.";
    case Kind::cancelled:
    case Kind::stoppedAtExistingFile:
    case Kind::readingSource:
    case Kind::sourceChanged:
    case Kind::convertingRate:
    case Kind::enhancing:
    case Kind::unexpected: break;
    }
    return generalAdvice();
}

// The innermost error's own words. The audio layer's library errors read
// "<library>: <what was done>: <reason>"; only the reason is for people.
// The one place where a caught error is looked into: the texts above come
// from the kinds, only these words from the error itself.
std::string underlyingCause(const std::exception_ptr& error) {
    if (!error) return {};
    try {
        std::rethrow_exception(error);
    } catch (const AudioError& audioError) {
        return underlyingCause(audioError.base());
    } catch (const AudioLibraryError& libraryError) {
        const std::string message = libraryError.what();
        const std::size_t reason = message.rfind(": ");
        return reason == std::string::npos ? message : message.substr(reason + 2);
    } catch (const std::bad_alloc&) {
        return outOfMemoryCause;
    } catch (const std::exception& other) {
        return other.what();
    } catch (...) {
        return {};
    }
}

// The underlying cause of each failure, before it is compared with the title.
std::string causeOf(AppError::Base) { return {}; }

std::string causeOf(const ModelLoadError& error) { return underlyingCause(error.cause); }

std::string causeOf(const ProcessingError& error) {
    // The enhancer's own error is dropped: a failed model run or loudness
    // measurement says nothing a user can act on.
    if (error.kind() == Kind::enhancing) return {};
    return error.base() ? underlyingCause(error.base()) : error.what();
}

}  // namespace

AppError::AppError(Caught base, AppState state, BatchFailure failure)
    : base_(std::move(base)), state_(state), failure_(std::move(failure)),
      description_(std::visit([](const auto& error) { return describe(error); }, base_)) {}

std::string AppError::description() const { return description_; }

std::string AppError::recoverySuggestion() const {
    return std::visit([this](const auto& error) { return adviceFor(error, state_.outputFormatMatchesInput); }, base_);
}

std::string AppError::failureReport() const {
    if (failure_.failedFile.empty()) return {};
    std::string report = "“" + failure_.failedFile + "” was not processed.";
    const std::size_t count = failure_.notProcessed.size();
    if (count == 0) return report;
    // Appended piece by piece: GCC 12 warns wrongly (-Wrestrict) about a
    // chain of additions that starts with a literal.
    report += ' ';
    report += std::to_string(count);
    report += count == 1 ? " more file was not processed: " : " more files were not processed: ";
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) report += ", ";
        report += failure_.notProcessed[i];
    }
    return report + ".";
}

std::string AppError::details() const {
    const std::string cause = std::visit([](const auto& error) { return causeOf(error); }, base_);
    return cause == description_ ? std::string() : cause;
}

std::string AppError::informativeText() const {
    std::string text = failureReport();
    const auto paragraph = [&text](const std::string& part) {
        if (part.empty()) return;
        if (!text.empty()) text += "\n\n";
        text += part;
    };
    const std::string cause = details();
    if (!cause.empty()) paragraph("Details: " + cause);
    paragraph(recoverySuggestion());
    return text;
}

}  // namespace vesh
