#include "Engine/Batch.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <compare>
#include <iterator>
#include <map>
#include <set>
#include <system_error>

#include "AudioIO/AudioFile.h"
#include "AudioIO/AudioFileWriter.h"
#include "Failures.h"
#include "FullBandSpeechEnhancer/VariableLengthSpeechEnhancer.h"
#include "SourceFingerprint.h"

namespace vesh {

namespace {

using Status = FileOutcome::Status;
using Kind = ProcessingError::Kind;

// What makes two names one file (hard and symbolic links included).
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    friend auto operator<=>(const FileIdentity&, const FileIdentity&) = default;
};

std::optional<FileIdentity> identityOf(const std::filesystem::path& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return std::nullopt;
    return FileIdentity{status.st_dev, status.st_ino};
}

std::set<FileIdentity> identitiesOf(const std::vector<std::filesystem::path>& files) {
    std::set<FileIdentity> identities;
    for (const auto& file : files) {
        if (const auto identity = identityOf(file)) identities.insert(*identity);
    }
    return identities;
}

bool isOneOf(const std::filesystem::path& location, const std::set<FileIdentity>& files) {
    const auto identity = identityOf(location);
    return identity && files.contains(*identity);
}

// The files in the order given, each file once, however it was named.
std::vector<std::filesystem::path> distinctFiles(const std::vector<std::filesystem::path>& files) {
    std::vector<std::filesystem::path> distinct;
    std::set<FileIdentity> identities;
    std::set<std::filesystem::path> unreadable;
    for (const auto& file : files) {
        const auto identity = identityOf(file);
        const bool first = identity ? identities.insert(*identity).second : unreadable.insert(file).second;
        if (first) distinct.push_back(file);
    }
    return distinct;
}

// The folder plus one name component, or nothing when the name would be
// anything else (a second guard behind the check of prefix and suffix).
std::optional<std::filesystem::path> targetOf(const std::filesystem::path& source, const BatchOptions& options) {
    std::string extension = source.extension().string();
    if (!extension.empty()) extension.erase(0, 1);
    if (!options.matchSourceFormat) extension = fileExtension(options.outputFormat.fileFormat);
    std::string name = options.filenamePrefix + source.stem().string() + options.filenameSuffix;
    if (!extension.empty()) name += "." + extension;
    if (name.empty() || name == "." || name == ".." || name.find_first_of(std::string("/\0", 2)) != std::string::npos) {
        return std::nullopt;
    }
    return options.outputFolder / name;
}

// Where the writer will put the output of `source` named `target`. A source
// that cannot be opened here (a pipe, which can be read once only, or a
// file the decoder refuses) is taken at its target; its own processing
// then finds out.
std::filesystem::path locationOf(const std::filesystem::path& source, const std::filesystem::path& target,
                                 const BatchOptions& options) {
    if (!options.matchSourceFormat || !detail::isRegularFile(source)) return target;
    try {
        const AudioFile file(source);
        return AudioFileWriter::locationMatching(target, file, options.outputFormat.commonAudioFileFormat());
    } catch (...) {
        return target;
    }
}

// Any file-system item, a dangling link included, counts as existing.
bool itemExists(const std::filesystem::path& path) {
    std::error_code error;
    const auto status = std::filesystem::symlink_status(path, error);
    return status.type() != std::filesystem::file_type::not_found && status.type() != std::filesystem::file_type::none;
}

// The files of `files` with their targets and locations; throws when a name
// would leave the output folder.
std::vector<BatchPlan::File> namedFiles(const std::vector<std::filesystem::path>& files, const BatchOptions& options) {
    if (!isAllowedInFileName(options.filenamePrefix) || !isAllowedInFileName(options.filenameSuffix)) {
        throw ProcessingError(Kind::fileNameLeavesOutputFolder);
    }
    std::vector<BatchPlan::File> named;
    for (const std::filesystem::path& source : distinctFiles(files)) {
        const std::optional<std::filesystem::path> target = targetOf(source, options);
        if (!target) throw ProcessingError(Kind::fileNameLeavesOutputFolder);
        named.push_back(BatchPlan::File{source, *target, locationOf(source, *target, options), {}, false});
    }
    return named;
}

// Runs one plan: follows the outcomes and tells them as they are decided.
class BatchRun {
public:
    BatchRun(const BatchPlan& plan, const BatchOptions& options, const VariableLengthSpeechEnhancer& enhancer,
             const BatchCallbacks& callbacks)
        : plan_(plan), options_(options), enhancer_(enhancer), callbacks_(callbacks) {
        std::vector<std::filesystem::path> sources;
        for (const BatchPlan::File& file : plan.files) sources.push_back(file.source);
        sources_ = identitiesOf(sources);
        for (const BatchPlan::File& file : plan.files) {
            result_.files.push_back(file.decided.value_or(FileOutcome{.source = file.source, .target = file.location}));
        }
    }

    BatchResult run() {
        if (plan_.stoppedAt) {
            result_.end = BatchResult::End::stoppedBeforeWork;
            result_.stoppedAt = *plan_.stoppedAt;
            return result_;
        }
        const std::size_t count = plan_.processedCount();
        std::size_t index = 0;
        for (std::size_t i = 0; i < plan_.files.size(); ++i) {
            if (plan_.files[i].decided) continue;
            if (callbacks_.fileStarted) callbacks_.fileStarted(index, count, plan_.files[i].source);
            const bool goesOn = process(i, index == 0);
            ++index;
            result_.processedCount = index;
            if (!goesOn) break;
        }
        return result_;
    }

private:
    using Clock = std::chrono::steady_clock;

    void tell(std::size_t i) {
        if (callbacks_.fileOutcome) callbacks_.fileOutcome(result_.files[i]);
    }

    // Processes file `i`; false when its outcome ends the batch.
    bool process(std::size_t i, bool first) {
        const BatchPlan::File& file = plan_.files[i];
        FileOutcome& outcome = result_.files[i];
        const Clock::time_point start = Clock::now();
        const auto elapsed = [start] { return std::chrono::duration<double>(Clock::now() - start).count(); };
        try {
            // The folder is tried once, before the work: an unwritable one
            // fails the first file, and the rest are not processed.
            if (first) prepareOutputFolder(options_.outputFolder);
            // The writer falls back from the target as the plan found it would.
            const ProcessingResult processed = processFile(file.source, file.target, fileOptions(file));
            outcome.duration = processed.duration;
            outcome.seconds = elapsed();
            if (processed.writtenTo.empty()) {
                outcome.status = Status::skipped;
                outcome.reason = "a file of its name appeared in the output folder";
            } else {
                outcome.status = Status::written;
                outcome.target = processed.writtenTo;
                outcome.warnings = processed.warnings();
                outcome.clipped = processed.clipping.has_value();
                outcome.loudness = processed.loudness;
            }
        } catch (const ProcessingError& error) {
            outcome.seconds = elapsed();
            switch (error.kind()) {
            case Kind::cancelled:
                outcome.status = Status::cancelled;
                tell(i);
                endWith(BatchResult::End::cancelled, i, "processing was cancelled");
                return false;
            // "Stop" at an output that appeared meanwhile ends the batch as
            // quietly as at the question before it.
            case Kind::stoppedAtExistingFile:
                outcome.reason = "a file of its name appeared in the output folder";
                tell(i);
                endWith(BatchResult::End::stoppedWhileWriting, i, "the run stopped at an existing file");
                return false;
            default: break;
            }
            outcome.status = Status::failed;
            outcome.error = error;
            tell(i);
            if (options_.continuesAfterFailure) return true;
            endWith(BatchResult::End::failed, i, "an earlier file failed");
            return false;
        }
        tell(i);
        return true;
    }

    // Ends the batch after file `last`: the files after it are not processed.
    void endWith(BatchResult::End end, std::size_t last, const std::string& reason) {
        result_.end = end;
        if (end == BatchResult::End::stoppedWhileWriting) result_.stoppedAt = stoppedAt_;
        for (std::size_t i = last + 1; i < plan_.files.size(); ++i) {
            if (plan_.files[i].decided) continue;
            result_.files[i].reason = reason;
            tell(i);
        }
    }

    ProcessingOptions fileOptions(const BatchPlan::File& file) {
        // A location the writer falls back to unplanned (a pipe's format is
        // known only once it is read) is checked by the handler below: it
        // is a source's only if an item is there.
        if (isOneOf(file.location, sources_)) throw ProcessingError(Kind::outputWouldReplaceSource);
        ProcessingOptions processing;
        processing.matchSourceFormat = options_.matchSourceFormat;
        processing.outputFormat = options_.outputFormat;
        processing.wetDryMix = options_.wetDryMix;
        processing.loudnessTarget = options_.loudnessTarget;
        processing.enhancer = &enhancer_;
        processing.handleProgress = [this](std::span<const double> entries) {
            if (!entries.empty() && callbacks_.progress) callbacks_.progress(entries);
            return callbacks_.isCancelled && callbacks_.isCancelled() ? ProcessingOptions::Response::stopProcessing
                                                                      : ProcessingOptions::Response::continueProcessing;
        };
        processing.handleExistingFile = [this, &file](const std::filesystem::path& location) {
            if (isOneOf(location, sources_)) throw ProcessingError(Kind::outputWouldReplaceSource);
            if (file.replacesExisting && location == file.location) return ExistingFileAnswer::replace;
            const ExistingFileAnswer answer =
                callbacks_.askAboutExistingFile ? callbacks_.askAboutExistingFile(location) : ExistingFileAnswer::stop;
            if (answer == ExistingFileAnswer::stop) stoppedAt_ = location;
            return answer;
        };
        return processing;
    }

    const BatchPlan& plan_;
    const BatchOptions& options_;
    const VariableLengthSpeechEnhancer& enhancer_;
    const BatchCallbacks& callbacks_;
    std::set<FileIdentity> sources_;
    BatchResult result_;
    std::filesystem::path stoppedAt_;
};

}  // namespace

bool isAllowedInFileName(std::string_view text) { return text.find_first_of(std::string_view("/\0", 2)) == text.npos; }

std::size_t BatchPlan::processedCount() const {
    return static_cast<std::size_t>(
        std::count_if(files.begin(), files.end(), [](const File& file) { return !file.decided; }));
}

BatchPlan planBatch(const std::vector<std::filesystem::path>& files, const BatchOptions& options,
                    const ExistingFileQuestion& ask) try {
    BatchPlan plan{namedFiles(files, options), std::nullopt};
    // Every source given, a repeated one included: none is ever replaced.
    const std::set<FileIdentity> identities = identitiesOf(files);
    // Locations that accepted files will write: a later file whose output
    // goes there is treated like one whose location is taken.
    std::set<std::filesystem::path> claimed;

    for (BatchPlan::File& file : plan.files) {
        const auto decide = [&file](Status status, const char* reason) {
            file.decided =
                FileOutcome{.source = file.source, .target = file.location, .status = status, .reason = reason};
        };
        // An output that would replace a source of the batch is never
        // written: there is no question, the file is skipped or fails.
        if (isOneOf(file.location, identities)) {
            if (options.skipsOutputsThatReplaceSources)
                decide(Status::skipped, "its output would replace the original file");
            continue;
        }
        if (itemExists(file.location) || claimed.contains(file.location)) {
            const ExistingFileAnswer answer = ask ? ask(file.location) : ExistingFileAnswer::stop;
            if (answer == ExistingFileAnswer::skip) {
                decide(Status::skipped, "the output file exists already");
                continue;
            }
            if (answer == ExistingFileAnswer::stop) {
                // Nothing more of the batch is processed; files decided
                // before keep their outcome.
                plan.stoppedAt = file.location;
                for (BatchPlan::File& rest : plan.files) {
                    if (!rest.decided) {
                        rest.decided = FileOutcome{.source = rest.source,
                                                   .target = rest.location,
                                                   .status = Status::notProcessed,
                                                   .reason = "processing stopped at an existing output file"};
                    }
                }
                return plan;
            }
            file.replacesExisting = true;
        }
        claimed.insert(file.location);
    }
    return plan;
} catch (...) {
    detail::rethrowAsProcessingError();
}

std::vector<TargetClash> targetClashes(const std::vector<std::filesystem::path>& files, const BatchOptions& options) {
    std::vector<TargetClash> clashes;
    std::map<std::filesystem::path, std::filesystem::path> firstSourceOf;
    std::vector<BatchPlan::File> named;
    try {
        named = namedFiles(files, options);
    } catch (const ProcessingError&) {
        return {};
    }
    for (const BatchPlan::File& file : named) {
        const auto [earlier, first] = firstSourceOf.emplace(file.location, file.source);
        if (!first) clashes.push_back(TargetClash{earlier->second, file.source, file.location});
    }
    return clashes;
}

std::vector<std::filesystem::path> filesLeftByFailure(std::span<const FileOutcome> files) {
    const auto failed =
        std::find_if(files.begin(), files.end(), [](const FileOutcome& file) { return file.status == Status::failed; });
    std::vector<std::filesystem::path> left;
    if (failed == files.end()) return left;
    for (auto file = std::next(failed); file != files.end(); ++file) {
        if (file->status == Status::notProcessed) left.push_back(file->source);
    }
    return left;
}

std::size_t BatchResult::count(FileOutcome::Status status) const {
    return static_cast<std::size_t>(
        std::count_if(files.begin(), files.end(), [status](const FileOutcome& file) { return file.status == status; }));
}

const FileOutcome* BatchResult::endingFailure() const {
    if (end != End::failed) return nullptr;
    const auto failed =
        std::find_if(files.begin(), files.end(), [](const FileOutcome& file) { return file.status == Status::failed; });
    return failed == files.end() ? nullptr : &*failed;
}

BatchResult runBatch(const BatchPlan& plan, const BatchOptions& options, const VariableLengthSpeechEnhancer& enhancer,
                     const BatchCallbacks& callbacks) try {
    return BatchRun(plan, options, enhancer, callbacks).run();
} catch (...) {
    detail::rethrowAsProcessingError();
}

BatchResult runBatch(const std::vector<std::filesystem::path>& files, const BatchOptions& options,
                     const VariableLengthSpeechEnhancer& enhancer, const BatchCallbacks& callbacks) try {
    const BatchPlan plan = planBatch(files, options, callbacks.askAboutExistingFile);
    if (callbacks.fileOutcome) {
        for (const BatchPlan::File& file : plan.files) {
            if (file.decided) callbacks.fileOutcome(*file.decided);
        }
    }
    return runBatch(plan, options, enhancer, callbacks);
} catch (...) {
    detail::rethrowAsProcessingError();
}

}  // namespace vesh
