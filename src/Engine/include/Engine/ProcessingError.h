#pragma once

#include <exception>
#include <utility>

namespace vesh {

// The one error that leaves the engine's calls (processFile, the batch's
// planning and running, the preview): what failed, and the error that made
// it fail, as it was thrown (an AudioError of the audio layer, the
// enhancer's or the measurement's error, a handler's own error), kept for
// its details. The kind alone says what failed; the base only adds the
// library's or the system's words.
class ProcessingError : public std::exception {
public:
    enum class Kind {
        cancelled,              // the progress handler answered stopProcessing
        stoppedAtExistingFile,  // the existing-file handler answered stop
        readingSource,          // the source could not be opened, copied or decoded
        sourceNotAudio,         // the decoder refused the source's content: damaged, or not audio
        sourceChanged,          // the source's size or modification time changed between the passes
        convertingRate,         // a conversion of the sample rate failed
        enhancing,              // the model or a loudness measurement failed, or no enhancer was given
        writingOutput,          // the output, or a signal kept beside it, could not be written
        // The output refused before any work (the writer's and the folder's
        // limits); the base's message names the folder or the limit.
        folderNotWritable,  // no file can be created in the output folder
        nameTooLong,        // the output's name is longer than the folder's file system allows
        notEnoughSpace,     // the output and the signals kept beside it exceed the free space
        outputTooLarge,     // the file type's size fields cannot describe the output (AIFF past 4 GiB)
        outputTooLong,      // the file type cannot count the output's frames
        // The batch's own rules.
        outputWouldReplaceSource,    // the output would replace a source file of the batch
        fileNameLeavesOutputFolder,  // a prefix or suffix would move an output out of the output folder
        unexpected,                  // any other error, running out of memory among them; see base()
    };

    explicit ProcessingError(Kind kind, std::exception_ptr base = nullptr) : kind_(kind), base_(std::move(base)) {}
    Kind kind() const noexcept { return kind_; }
    // The error that made the call fail; none where the kind says it all.
    const std::exception_ptr& base() const noexcept { return base_; }
    // One sentence for the kind.
    const char* what() const noexcept override;

private:
    Kind kind_;
    std::exception_ptr base_;
};

}  // namespace vesh
