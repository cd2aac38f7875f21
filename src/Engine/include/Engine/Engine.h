#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <span>

#include "AudioIO/CommonAudioFileFormat.h"

namespace vesh {

class VariableLengthSpeechEnhancer;

// What processFile makes of a file. Filled in by the caller and passed by
// value, so that a batch can take one snapshot of its settings.
struct ProcessingOptions {
    enum class Response { continueProcessing, stopProcessing };
    // Called on the processing thread from the start of the call and at
    // least every few hundred milliseconds while it works, with one
    // completed fraction per progress entry: none until the source is open,
    // then one per channel, and a single one once the channels have been
    // found identical. Each entry covers both passes over the file.
    // Answering stopProcessing cancels the call.
    using ProgressHandler = std::function<Response(std::span<const double> entries)>;

    // Writes in the stored format of the source at its rate; the output
    // format's file format is then the fallback for a format the writer
    // cannot produce, and its rate is not used.
    bool matchSourceFormat = false;
    OutputFormat outputFormat;
    // Share of the enhanced signal; the rest is the untouched signal. 1 or
    // more (or not a number) writes the enhanced signal alone.
    double wetDryMix = 1.0;
    // Required; used by one call at a time.
    VariableLengthSpeechEnhancer* enhancer = nullptr;
    ProgressHandler handleProgress;
};

struct ProcessingResult {
    // The target, or the fallback location when the source's format could
    // not be written.
    std::filesystem::path writtenTo;
    // Seconds of audio in the source.
    double duration = 0.0;
};

// Why processFile ended without a file, where the cause is not an AudioError
// (those keep their own operation: readAudioFile, resampleAudioStream,
// writeAudioFile).
class ProcessingError : public std::exception {
public:
    enum class Code {
        cancelled,        // the progress handler answered stopProcessing
        failedToEnhance,  // the model or the loudness measurement failed; see base()
        sourceChanged,    // the source's size or modification time changed between the passes
        missingEnhancer,  // the options name no enhancer
    };
    explicit ProcessingError(Code code, std::exception_ptr base = nullptr) : code_(code), base_(std::move(base)) {}
    Code code() const noexcept { return code_; }
    const std::exception_ptr& base() const noexcept { return base_; }
    const char* what() const noexcept override;

private:
    Code code_;
    std::exception_ptr base_;
};

// Enhances the audio file `source` into `target`: decode, convert to the
// enhancer's rate, enhance each channel (once when all are identical), mix
// with the untouched signal, convert to the output rate, write. Two passes,
// block by block, keep memory independent of the file's length: the first
// decodes, converts, measures each channel's loudness and compares the
// channels, keeping the converted signal in an unnamed temporary file beside
// the target; the second enhances that signal and writes. A source that
// cannot be opened twice (a pipe) is first copied beside the target and the
// copy removed afterwards; a source whose size or modification time changes
// before the end fails. NaN and infinite source samples are taken as 0. The
// target appears only when complete; on any failure or cancellation nothing is
// left behind. Throws ProcessingError or AudioError.
ProcessingResult processFile(const std::filesystem::path& source, const std::filesystem::path& target,
                             ProcessingOptions options);

}  // namespace vesh
