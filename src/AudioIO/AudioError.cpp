#include "AudioIO/AudioError.h"

#include <utility>

#include "Support/FatalError.h"

namespace vesh {

namespace {

const char* operationName(AudioError::Operation operation) {
    switch (operation) {
    case AudioError::Operation::readAudioFile: return "readAudioFile";
    case AudioError::Operation::writeAudioFile: return "writeAudioFile";
    case AudioError::Operation::resampleAudioStream: return "resampleAudioStream";
    case AudioError::Operation::mapAudioStream: return "mapAudioStream";
    case AudioError::Operation::mutateAudioStreamInPlace: return "mutateAudioStreamInPlace";
    }
    fatalError("unknown audio operation");
}

std::string describe(const std::exception_ptr& error) {
    if (!error) return "unknown error";
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& exception) {
        return exception.what();
    } catch (...) {
        return "unknown error";
    }
}

}  // namespace

AudioError::AudioError(std::exception_ptr base, Operation failedOperation)
    : base_(std::move(base)), failedOperation_(failedOperation),
      message_(std::string(operationName(failedOperation)) + " failed: " + describe(base_)) {}

AudioError AudioError::wrappingCurrent(Operation failedOperation) {
    return AudioError(std::current_exception(), failedOperation);
}

const char* AudioServiceError::what() const noexcept {
    switch (code_) {
    case Code::failedToConstructBuffer: return "the audio buffer could not be created";
    case Code::failedToConstructFormat: return "the audio format could not be created";
    case Code::missingFloatChannelData: return "the audio buffer has no float channel data";
    }
    fatalError("unknown audio service error code");
}

AudioLibraryError::AudioLibraryError(std::string library, int code, const std::string& message)
    : std::runtime_error(library + ": " + message), library_(std::move(library)), code_(code) {}

}  // namespace vesh
