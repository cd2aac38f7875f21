#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Engine/Engine.h"

namespace vesh {

class VariableLengthSpeechEnhancer;

// The settings of one batch, taken once when it starts.
struct BatchOptions {
    std::filesystem::path outputFolder;
    // Put before and after each output's base name: bytes of a file name,
    // without a path separator or NUL (see isAllowedInFileName).
    std::string filenamePrefix;
    std::string filenameSuffix;
    // Each output in its source's stored format and rate; the output
    // format's bit depth and file format are then the fallback for a format
    // the writer cannot produce.
    bool matchSourceFormat = false;
    AudioFormat outputFormat;
    // Share of the enhanced signal (see ProcessingOptions).
    double wetDryMix = 1.0;
    LoudnessTarget loudnessTarget;
    // A failed file leaves the rest of the batch to run instead of ending it.
    bool continuesAfterFailure = false;
    // A file whose output would replace one of the batch's own sources is
    // skipped (true) or fails when its turn comes (false). That output is
    // never written, so there is nothing to ask.
    bool skipsOutputsThatReplaceSources = false;
    // Files processed at the same time. The enhancer's worker threads run
    // the model segments of all of them; more files at once overlap the
    // work outside the model (decoding, measuring, writing), which helps
    // where processors outnumber what one file keeps busy.
    std::size_t filesAtOnce = 1;
};

// Whether `text` may be a file-name prefix or suffix: one without a path
// separator or NUL keeps every output a name in the output folder.
bool isAllowedInFileName(std::string_view text);

// What became of one source of a batch.
struct FileOutcome {
    enum class Status { written, skipped, failed, notProcessed, cancelled };
    std::filesystem::path source;
    // Where the file was written, or would have been.
    std::filesystem::path target{};
    Status status = Status::notProcessed;
    // Why a file was skipped or not processed; empty otherwise.
    std::string reason{};
    // Why a file failed.
    std::optional<ProcessingError> error{};
    // Seconds of audio in a written file.
    double duration = 0.0;
    // Seconds spent on the file.
    double seconds = 0.0;
    // For a written file: damaged stretches of the source and clipped
    // samples, for people; and whether an integer output had to clip.
    std::vector<std::string> warnings{};
    bool clipped = false;
    // For a written file under a loudness target: what the target made of it.
    std::optional<LoudnessAdjustment> loudness{};
};

// The existing-file question for `location`: asked before the work for an
// output whose location is taken (by an item there or by an earlier output
// of the batch), and while a file is processed for an item that appeared
// there. It may throw: before the work its error ends planBatch, while a
// file is processed it fails that file, as for ProcessingOptions'
// ExistingFileHandler (a ProcessingError as it is, any other error as the
// base of ProcessingError(unexpected)).
using ExistingFileQuestion = std::function<ExistingFileAnswer(const std::filesystem::path& location)>;

// The files of a batch with the locations of their outputs and the answers
// given about them, decided before any work (planBatch).
struct BatchPlan {
    struct File {
        std::filesystem::path source;
        // The output folder plus the source's name under the batch's naming.
        std::filesystem::path target;
        // Where the output will appear: the target, or the location the
        // writer falls back to when it cannot match the source's format.
        std::filesystem::path location;
        // Set for a file whose outcome is decided already (skipped, or not
        // processed after a Stop).
        std::optional<FileOutcome> decided;
        // The user agreed to replace the item at `location`.
        bool replacesExisting = false;
    };
    std::vector<File> files;
    // The location whose question was answered with Stop; nothing is then processed.
    std::optional<std::filesystem::path> stoppedAt;

    // The number of files the batch will process.
    std::size_t processedCount() const;
};

// Two sources of one batch whose outputs have one location.
struct TargetClash {
    std::filesystem::path first;
    std::filesystem::path second;
    std::filesystem::path location;
};

// Names the outputs of `files` (each file once, however it was named, in the
// order given), finds where each will appear, and asks `ask` about every
// location that is taken. Only the location a file will really be written
// to counts: with matchSourceFormat a source is opened to see whether the
// writer falls back (a source that is not a regular file, or that cannot be
// opened, is taken at its target). Throws ProcessingError only:
// fileNameLeavesOutputFolder when the prefix or the suffix would move an
// output out of the folder.
BatchPlan planBatch(const std::vector<std::filesystem::path>& files, const BatchOptions& options,
                    const ExistingFileQuestion& ask);

// The clashes among the output locations of `files` under `options`, as
// planBatch would find them, asking nothing.
std::vector<TargetClash> targetClashes(const std::vector<std::filesystem::path>& files, const BatchOptions& options);

// What a running batch reports and asks. Every callback is called on the
// thread that runs the batch; each may be left empty.
struct BatchCallbacks {
    // The question for an item that appears at an output's location while
    // its file is processed; without one the answer is Stop.
    ExistingFileQuestion askAboutExistingFile;
    // The outcome of each file that the plan left to process (and, from
    // runBatch over files, of the plan's decided ones first), once, as soon
    // as it is known.
    std::function<void(const FileOutcome&)> fileOutcome;
    // The processed file at `index` (from 0) of `count` starts.
    std::function<void(std::size_t index, std::size_t count, const std::filesystem::path& source)> fileStarted;
    // The progress of the file being processed (see ProcessingOptions::ProgressHandler).
    std::function<void(std::span<const double> entries)> progress;
    // Read at least every few hundred milliseconds while a file is
    // processed; true cancels the batch.
    std::function<bool()> isCancelled;
};

// How a batch ended.
struct BatchResult {
    enum class End {
        completed,            // every file was dealt with (some may have failed: continuesAfterFailure)
        failed,               // a failed file ended the batch
        cancelled,            // the cancel request stopped the batch before its last file was written
        stoppedBeforeWork,    // a question before the work was answered with Stop
        stoppedWhileWriting,  // the question for an output that appeared meanwhile was answered with Stop
    };
    End end = End::completed;
    // Every source of the batch once, in the plan's order.
    std::vector<FileOutcome> files;
    // The location whose Stop answer ended the batch.
    std::filesystem::path stoppedAt;
    // How many of the files left to process were started.
    std::size_t processedCount = 0;

    std::size_t count(FileOutcome::Status status) const;
    // The failed file that ended the batch; nothing unless `end` is failed.
    const FileOutcome* endingFailure() const;
};

// The sources that a failure which ended a batch left unprocessed: those
// of `files` after the first failed one whose status is notProcessed.
std::vector<std::filesystem::path> filesLeftByFailure(std::span<const FileOutcome> files);

// Processes the plan's files in order with processFile, each into its
// location, after readying the output folder (prepareOutputFolder: an
// unwritable folder fails the first file). A failure ends the batch unless
// continuesAfterFailure; the files after it, and after a cancellation or a
// Stop, are not processed. No output ever replaces a source of the batch:
// such a file fails with ProcessingError(outputWouldReplaceSource). A file's
// failure is its outcome's error; the call itself throws only a
// ProcessingError, around an error of a callback.
BatchResult runBatch(const BatchPlan& plan, const BatchOptions& options, const VariableLengthSpeechEnhancer& enhancer,
                     const BatchCallbacks& callbacks);

// planBatch with the callbacks' question, the decided outcomes told, then runBatch.
BatchResult runBatch(const std::vector<std::filesystem::path>& files, const BatchOptions& options,
                     const VariableLengthSpeechEnhancer& enhancer, const BatchCallbacks& callbacks);

}  // namespace vesh
