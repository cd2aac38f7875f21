#include "Engine/Batch.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <compare>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

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

// Work handed to the batch's own thread by the threads that process files:
// progress, questions and completions, run there in the order posted.
class Mailbox {
public:
    void post(std::function<void()> task) {
        {
            const std::lock_guard lock(mutex_);
            tasks_.push_back(std::move(task));
        }
        posted_.notify_one();
    }

    // Runs what was posted, waiting up to `wait` for the first task.
    void runPosted(std::chrono::milliseconds wait) {
        std::deque<std::function<void()>> tasks;
        {
            std::unique_lock lock(mutex_);
            posted_.wait_for(lock, wait, [this] { return !tasks_.empty(); });
            tasks.swap(tasks_);
        }
        for (const auto& task : tasks) task();
    }

private:
    std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<std::function<void()>> tasks_;
};

// Runs one plan: up to filesAtOnce files at a time, each on a thread of its
// own, while this thread calls every callback, asks the questions and tells
// the outcomes in the plan's order, as soon as each is decided. A file that
// ends the batch (a failure, a cancellation, a Stop) cancels the files after
// it that are still running; a later file that was complete by then stays
// written and is told so.
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
        for (std::size_t i = 0; i < plan.files.size(); ++i) {
            if (!plan.files[i].decided) order_.push_back(i);
        }
    }

    BatchResult run() {
        if (plan_.stoppedAt) {
            result_.end = BatchResult::End::stoppedBeforeWork;
            result_.stoppedAt = *plan_.stoppedAt;
            return result_;
        }
        if (order_.empty()) return result_;
        // The folder is tried once, before the work: an unwritable one
        // fails the first file.
        try {
            prepareOutputFolder(options_.outputFolder);
        } catch (const ProcessingError& error) {
            folderError_ = error;
        }
        const std::size_t filesAtOnce = std::max<std::size_t>(options_.filesAtOnce, 1);
        std::size_t started = 0;
        while (true) {
            while (running_.size() < filesAtOnce && started < std::min(order_.size(), endsAt_)) {
                start(started++);
            }
            if (running_.empty()) break;
            Job& oldest = *running_.front();
            if (!oldest.announced) {
                oldest.announced = true;
                result_.processedCount = oldest.position + 1;
                if (callbacks_.fileStarted) callbacks_.fileStarted(oldest.position, order_.size(), file(oldest).source);
            }
            if (oldest.done) {
                oldest.thread.join();
                conclude(oldest);
                running_.pop_front();
                continue;
            }
            mailbox_.runPosted(std::chrono::milliseconds(100));
            if (!cancelRequested_ && callbacks_.isCancelled && callbacks_.isCancelled()) {
                cancelRequested_ = true;
                endsAt_ = 0;
                for (const auto& job : running_) job->cancel = true;
            }
        }
        // Files never started after the batch ended.
        for (std::size_t position = started; position < order_.size(); ++position) {
            result_.files[order_[position]].reason = endReason_;
            tell(order_[position]);
        }
        return result_;
    }

private:
    using Clock = std::chrono::steady_clock;

    // One file being processed.
    struct Job {
        std::size_t position = 0;  // in the order of the files processed
        std::atomic<bool> cancel = false;
        Clock::time_point startTime;
        double seconds = 0.0;
        std::optional<ProcessingResult> processed;
        std::optional<ProcessingError> error;
        bool announced = false;
        bool done = false;
        std::thread thread;
    };

    const BatchPlan::File& file(const Job& job) const { return plan_.files[order_[job.position]]; }

    void tell(std::size_t i) {
        if (callbacks_.fileOutcome) callbacks_.fileOutcome(result_.files[i]);
    }

    void start(std::size_t position) {
        auto& job = *running_.emplace_back(std::make_unique<Job>());
        job.position = position;
        job.startTime = Clock::now();
        job.thread = std::thread([this, &job] {
            try {
                if (job.position == 0 && folderError_) throw *folderError_;
                const BatchPlan::File& processed = file(job);
                // The writer falls back from the target as the plan found it would.
                job.processed = processFile(processed.source, processed.target, fileOptions(job));
            } catch (const ProcessingError& error) {
                job.error = error;
            } catch (...) {
                job.error = ProcessingError(Kind::unexpected, std::current_exception());
            }
            job.seconds = std::chrono::duration<double>(Clock::now() - job.startTime).count();
            mailbox_.post([&job] { job.done = true; });
        });
    }

    // No file after `position` is processed: those running are cancelled.
    void endAfter(std::size_t position) {
        endsAt_ = std::min(endsAt_, position + 1);
        for (const auto& job : running_) {
            if (job->position > position) job->cancel = true;
        }
    }

    // Tells the outcome of the oldest running file, now complete.
    void conclude(const Job& job) {
        const std::size_t i = order_[job.position];
        FileOutcome& outcome = result_.files[i];
        outcome.seconds = job.seconds;
        if (job.processed) {
            outcome.duration = job.processed->duration;
            if (job.processed->writtenTo.empty()) {
                outcome.status = Status::skipped;
                outcome.reason = "a file of its name appeared in the output folder";
            } else {
                outcome.status = Status::written;
                outcome.target = job.processed->writtenTo;
                outcome.warnings = job.processed->warnings();
                outcome.clipped = job.processed->clipping.has_value();
                outcome.loudness = job.processed->loudness;
            }
            tell(i);
            return;
        }
        // A file after the one that ended the batch, stopped before it was complete.
        if (ended_) {
            outcome.reason = endReason_;
            tell(i);
            return;
        }
        switch (job.error->kind()) {
        case Kind::cancelled:
            outcome.status = Status::cancelled;
            tell(i);
            end(BatchResult::End::cancelled, job.position, "processing was cancelled");
            return;
        // "Stop" at an output that appeared meanwhile ends the batch as
        // quietly as at the question before it.
        case Kind::stoppedAtExistingFile:
            outcome.reason = "a file of its name appeared in the output folder";
            result_.stoppedAt = stoppedAt_[job.position];
            tell(i);
            end(BatchResult::End::stoppedWhileWriting, job.position, "the run stopped at an existing file");
            return;
        default: break;
        }
        outcome.status = Status::failed;
        outcome.error = job.error;
        tell(i);
        if (!options_.continuesAfterFailure) end(BatchResult::End::failed, job.position, "an earlier file failed");
    }

    // Ends the batch at the file at `position`: the files after it are not processed.
    void end(BatchResult::End end, std::size_t position, std::string reason) {
        result_.end = end;
        ended_ = true;
        endReason_ = std::move(reason);
        endAfter(position);
    }

    ProcessingOptions fileOptions(Job& job) {
        const BatchPlan::File& planned = file(job);
        // A location the writer falls back to unplanned (a pipe's format is
        // known only once it is read) is checked by the handler below: it
        // is a source's only if an item is there.
        if (isOneOf(planned.location, sources_)) throw ProcessingError(Kind::outputWouldReplaceSource);
        ProcessingOptions processing;
        processing.matchSourceFormat = options_.matchSourceFormat;
        processing.outputFormat = options_.outputFormat;
        processing.wetDryMix = options_.wetDryMix;
        processing.loudnessTarget = options_.loudnessTarget;
        processing.enhancer = &enhancer_;
        // Progress reaches the callbacks for the file the batch is at (the
        // oldest running); every file hears of a cancellation.
        processing.handleProgress = [this, &job](std::span<const double> entries) {
            if (!entries.empty()) {
                mailbox_.post([this, &job, copy = std::vector<double>(entries.begin(), entries.end())] {
                    if (job.announced && !job.done && callbacks_.progress) callbacks_.progress(copy);
                });
            }
            return job.cancel ? ProcessingOptions::Response::stopProcessing
                              : ProcessingOptions::Response::continueProcessing;
        };
        processing.handleExistingFile = [this, &job, &planned](const std::filesystem::path& location) {
            if (isOneOf(location, sources_)) throw ProcessingError(Kind::outputWouldReplaceSource);
            if (planned.replacesExisting && location == planned.location) return ExistingFileAnswer::replace;
            // Asked on the batch's thread, which runs the callbacks.
            std::promise<ExistingFileAnswer> answered;
            std::future<ExistingFileAnswer> answer = answered.get_future();
            mailbox_.post([this, &job, &location, &answered] {
                try {
                    const ExistingFileAnswer given = callbacks_.askAboutExistingFile
                                                         ? callbacks_.askAboutExistingFile(location)
                                                         : ExistingFileAnswer::stop;
                    if (given == ExistingFileAnswer::stop) {
                        stoppedAt_[job.position] = location;
                        endAfter(job.position);
                    }
                    answered.set_value(given);
                } catch (...) {
                    answered.set_exception(std::current_exception());
                }
            });
            return answer.get();
        };
        return processing;
    }

    const BatchPlan& plan_;
    const BatchOptions& options_;
    const VariableLengthSpeechEnhancer& enhancer_;
    const BatchCallbacks& callbacks_;
    std::set<FileIdentity> sources_;
    // The plan's files left to process, by their index in the plan.
    std::vector<std::size_t> order_;
    BatchResult result_;
    std::optional<ProcessingError> folderError_;
    Mailbox mailbox_;
    std::deque<std::unique_ptr<Job>> running_;
    // Files from this position on are not started.
    std::size_t endsAt_ = std::numeric_limits<std::size_t>::max();
    bool ended_ = false;
    bool cancelRequested_ = false;
    std::string endReason_;
    std::map<std::size_t, std::filesystem::path> stoppedAt_;
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
