#include "app/AppError.h"

#include <cerrno>
#include <new>
#include <optional>

#include "AudioIO/AudioError.h"
#include "Engine/Batch.h"
#include "Engine/Engine.h"

namespace vesh {

namespace {

constexpr char noOutputFolderDescription[] = "No output folder selected.";
constexpr char processingDescription[] = "An error occurred while processing the audio.";
constexpr char openingDescription[] = "An error occurred while opening the audio file.";
constexpr char unreadableContentDescription[] = "The file is damaged or is not an audio file.";
constexpr char unreadableContentAdvice[] =
    "Check that the file plays in a media player. If it does not, export it again from the program that made it.";
constexpr char savingDescription[] = "An error occurred while saving the audio file.";
constexpr char resamplingDescription[] = "An error occurred while resampling the audio.";
constexpr char outOfMemoryCause[] = "Not enough memory is available to process this file.";
// For a caught value that carries no description of its own.
constexpr char unknownErrorDescription[] = "An unknown error occurred.";

std::string generalAdvice() {
    return "If the problem persists, please contact " + std::string(supportContactAddress) + ".";
}

std::string switchAdvice() {
    return "Try switching off the toggle next to “Same as original file” and choosing an output format "
           "manually. " +
           generalAdvice();
}

// The decoder's codes for content it cannot read as audio, as libavutil
// defines them (negated four-character tags): data that is not in any known
// container or is malformed, and a container without an audio stream. Its
// demuxers also answer EINVAL for bytes they were probed for but cannot
// parse (random data named .wav, say): the reader hands them nothing else
// that could be invalid.
constexpr int ffmpegTag(unsigned a, unsigned b, unsigned c, unsigned d) {
    return -static_cast<int>(a | b << 8 | c << 16 | d << 24);
}
constexpr int ffmpegInvalidData = ffmpegTag('I', 'N', 'D', 'A');
constexpr int ffmpegStreamNotFound = ffmpegTag(0xF8, 'S', 'T', 'R');
constexpr int ffmpegDemuxerNotFound = ffmpegTag(0xF8, 'D', 'E', 'M');
constexpr int ffmpegUnparsable = -EINVAL;

// Whether the decoder refused the content itself, wherever that sits in the chain.
bool isUnreadableContent(const std::exception_ptr& error) {
    if (!error) return false;
    try {
        std::rethrow_exception(error);
    } catch (const AudioError& audioError) {
        return isUnreadableContent(audioError.base());
    } catch (const AudioLibraryError& libraryError) {
        const int code = libraryError.code();
        return libraryError.library() == "FFmpeg" && (code == ffmpegInvalidData || code == ffmpegStreamNotFound ||
                                                      code == ffmpegDemuxerNotFound || code == ffmpegUnparsable);
    } catch (...) {
        return false;
    }
}

// A failed read whose source the decoder could not take as audio: a damaged
// file or one that holds no audio, which no support address can mend.
bool isUnreadableSource(const std::exception_ptr& base) {
    if (!base) return false;
    try {
        std::rethrow_exception(base);
    } catch (const AudioError& error) {
        return error.failedOperation() == AudioError::Operation::readAudioFile && isUnreadableContent(error.base());
    } catch (...) {
        return false;
    }
}

// Only the base itself is examined: for an AudioError its own operation
// decides, never that of an error nested inside it.
std::string describe(const std::exception_ptr& base) {
    if (!base) return unknownErrorDescription;
    if (isUnreadableSource(base)) return unreadableContentDescription;
    try {
        std::rethrow_exception(base);
    } catch (const AppError::Base& error) {
        return error.what();
    } catch (const BatchError& error) {
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
    } catch (const std::bad_alloc&) {
        return processingDescription;
    } catch (const std::exception& error) {
        const std::string description = error.what();
        return description.empty() ? unknownErrorDescription : description;
    } catch (...) {
        return unknownErrorDescription;
    }
}

// The refusal of an output before its work, wherever it sits in the chain.
std::optional<UnwritableOutputError::Code> unwritableOutput(const std::exception_ptr& error) {
    if (!error) return std::nullopt;
    try {
        std::rethrow_exception(error);
    } catch (const AudioError& audioError) {
        return unwritableOutput(audioError.base());
    } catch (const UnwritableOutputError& refusal) {
        return refusal.code();
    } catch (...) {
        return std::nullopt;
    }
}

// What to change so that a refused output can be written.
std::string adviceFor(UnwritableOutputError::Code code, bool outputFormatMatchesInput) {
    const std::string chooseFormat =
        outputFormatMatchesInput ? "Switch off the toggle next to “Same as original file” and choose " : "Choose ";
    switch (code) {
    case UnwritableOutputError::Code::folderNotWritable: return "Choose an output folder that you can write to.";
    case UnwritableOutputError::Code::nameTooLong:
        return "Use a shorter prefix or suffix, or shorten the name of the original file.";
    case UnwritableOutputError::Code::notEnoughSpace:
        return "Free some space on that disk, or choose an output folder on another disk.";
    case UnwritableOutputError::Code::tooLarge:
        return chooseFormat + "WAV or FLAC as the output format: they hold files of this size.";
    case UnwritableOutputError::Code::tooManyFrames:
        return chooseFormat + "WAV as the output format: it holds recordings of this length.";
    }
    return generalAdvice();
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

// The innermost error's own words. The audio layer's library errors read
// "<library>: <what was done>: <reason>"; only the reason is for people.
std::string underlyingCause(const std::exception_ptr& error) {
    if (!error) return {};
    try {
        std::rethrow_exception(error);
    } catch (const AudioError& audioError) {
        return underlyingCause(audioError.base());
    } catch (const ProcessingError& processingError) {
        return processingError.base() ? underlyingCause(processingError.base()) : processingError.what();
    } catch (const ModelLoadError& loadError) {
        return underlyingCause(loadError.cause());
    } catch (const AppError::Base&) {
        return {};
    } catch (const BatchError&) {
        return {};
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

}  // namespace

ModelLoadError::ModelLoadError(std::filesystem::path model, std::exception_ptr cause)
    : model_(std::move(model)), cause_(std::move(cause)),
      message_("The speech enhancer model “" + model_.string() + "” could not be loaded.") {}

const char* AppError::Base::what() const noexcept {
    switch (code_) {
    case Code::missingOutputFolder: return noOutputFolderDescription;
    case Code::failedToEnhanceAudio: return processingDescription;
    }
    return processingDescription;
}

AppError::AppError(std::exception_ptr base, AppState state, BatchFailure failure)
    : base_(std::move(base)), state_(state), failure_(std::move(failure)), description_(describe(base_)) {}

std::string AppError::description() const { return description_; }

std::string AppError::recoverySuggestion() const {
    if (!base_) return generalAdvice();
    try {
        std::rethrow_exception(base_);
    } catch (const AppError::Base& error) {
        switch (error.code()) {
        case Base::Code::missingOutputFolder:
            return "Click “Choose a folder” in the Output section to select a destination for the denoised audio.";
        case Base::Code::failedToEnhanceAudio: break;
        }
        return generalAdvice();
    } catch (const BatchError& error) {
        switch (error.code()) {
        case BatchError::Code::fileNameLeavesOutputFolder:
            return "Remove “/” from the prefix and the suffix in the Output section, so that every file is written "
                   "into the output folder.";
        case BatchError::Code::outputWouldReplaceSource:
            return "Choose another output folder, or add a prefix or a suffix to the file names.";
        }
        return generalAdvice();
    } catch (...) {
        if (isUnreadableSource(base_)) return unreadableContentAdvice;
        if (const auto refusal = unwritableOutput(base_)) return adviceFor(*refusal, state_.outputFormatMatchesInput);
        if (isWriteFailure(base_) && state_.outputFormatMatchesInput) return switchAdvice();
        return generalAdvice();
    }
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
    const std::string cause = underlyingCause(base_);
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

std::exception_ptr userFacingError(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const ProcessingError& processingError) {
        if (processingError.code() == ProcessingError::Code::failedToEnhance ||
            processingError.code() == ProcessingError::Code::missingEnhancer) {
            return std::make_exception_ptr(AppError::Base(AppError::Base::Code::failedToEnhanceAudio));
        }
        return error;
    } catch (...) {
        return error;
    }
}

}  // namespace vesh
