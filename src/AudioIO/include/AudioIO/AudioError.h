#pragma once

#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

namespace vesh {

// The one error type that leaves a public AudioIO operation. `base` is the
// error that made the operation fail (a library error, an AudioServiceError,
// another AudioError, or the error thrown by a caller's closure); errors nest
// one level for every public operation they pass through.
class AudioError : public std::exception {
public:
    enum class Operation {
        readAudioFile,
        writeAudioFile,
        resampleAudioStream,
        mapAudioStream,
        mutateAudioStreamInPlace,
    };

    AudioError(std::exception_ptr base, Operation failedOperation);

    // Wraps the exception currently being handled; call inside a catch block.
    static AudioError wrappingCurrent(Operation failedOperation);

    const std::exception_ptr& base() const noexcept { return base_; }
    Operation failedOperation() const noexcept { return failedOperation_; }

    // "<operation> failed: <base's message>", down the whole chain.
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::exception_ptr base_;
    Operation failedOperation_;
    std::string message_;
};

// Refusals of the audio layer itself, independent of any codec library.
class AudioServiceError : public std::exception {
public:
    enum class Code {
        failedToConstructBuffer,
        failedToConstructFormat,
        missingFloatChannelData,
    };

    explicit AudioServiceError(Code code) : code_(code) {}
    Code code() const noexcept { return code_; }
    const char* what() const noexcept override;

private:
    Code code_;
};

// An error reported by a library behind AudioIO (decoder, encoder, resampler,
// file system), with that library's own message.
class AudioLibraryError : public std::runtime_error {
public:
    AudioLibraryError(std::string library, int code, const std::string& message);
    const std::string& library() const noexcept { return library_; }
    int code() const noexcept { return code_; }

private:
    std::string library_;
    int code_;
};

// An output that cannot be written where or as it was asked for, found
// before any work on it: the message names the folder or the limit and the
// reason.
class UnwritableOutputError : public std::exception {
public:
    enum class Code {
        folderNotWritable,  // no file can be created in the folder
        nameTooLong,        // the file name is longer than the folder's file system allows
        notEnoughSpace,     // the expected size exceeds the folder's free space
        tooLarge,           // the file type's size fields cannot describe the output (AIFF past 4 GiB)
        tooManyFrames,      // the file type cannot count the output's frames
    };

    UnwritableOutputError(Code code, std::string message) : code_(code), message_(std::move(message)) {}
    Code code() const noexcept { return code_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    Code code_;
    std::string message_;
};

}  // namespace vesh
