#include "app/Brain.h"

#include <QFile>
#include <QLoggingCategory>
#include <QMetaObject>
#include <QSettings>
#include <QThreadPool>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <map>
#include <set>
#include <span>
#include <system_error>

#include "AudioIO/AudioError.h"
#include "Engine/Engine.h"
#include "FullBandSpeechEnhancer/ResourceBundle.h"
#include "FullBandSpeechEnhancer/VariableLengthSpeechEnhancer.h"
#include "app/ApplicationId.h"

namespace vesh {

namespace {

Q_LOGGING_CATEGORY(modelLog, modelLogCategory, QtInfoMsg)

namespace key {
constexpr char wetDryMix[] = "wetDryMix";
constexpr char filenamePrefix[] = "filenamePrefix";
constexpr char filenameSuffix[] = "filenameSuffix";
constexpr char outputFormatMatchesInput[] = "outputFormatMatchesInput";
constexpr char outputBitDepth[] = "outputBitDepth";
constexpr char outputSampleRate[] = "outputSampleRate";
constexpr char outputFileFormat[] = "outputFileFormat";
}  // namespace key

constexpr double defaultWetDryMix = 1.0;
constexpr bool defaultOutputFormatMatchesInput = false;
constexpr qint64 defaultOutputBitDepth = 24;
constexpr qint64 defaultOutputSampleRate = 48000;
constexpr char defaultOutputFileFormat[] = "wav";

// Reads the persisted settings from the settings store (or, without one,
// the values held in memory); a value that was never written, or cannot be
// read as its type, reads as its default.
class StoredSettings {
public:
    StoredSettings(const QSettings* store, const QVariantMap& memory) : store_(store), memory_(memory) {}

    double wetDryMix() const {
        bool ok = false;
        const double mix = value(key::wetDryMix).toDouble(&ok);
        return ok ? mix : defaultWetDryMix;
    }
    QString filenamePrefix() const { return value(key::filenamePrefix).toString(); }
    QString filenameSuffix() const { return value(key::filenameSuffix).toString(); }
    bool outputFormatMatchesInput() const {
        const QVariant stored = value(key::outputFormatMatchesInput);
        return stored.isValid() ? stored.toBool() : defaultOutputFormatMatchesInput;
    }
    qint64 outputBitDepth() const { return integer(key::outputBitDepth, defaultOutputBitDepth); }
    qint64 outputSampleRate() const { return integer(key::outputSampleRate, defaultOutputSampleRate); }
    QString outputFileFormat() const {
        const QVariant stored = value(key::outputFileFormat);
        return stored.isValid() ? stored.toString() : QString::fromLatin1(defaultOutputFileFormat);
    }
    // 24-bit, 48000, WAV wherever the store holds something unlisted.
    AudioFormat outputFormat() const {
        AudioFormat format;
        if (const auto bitDepth = bitDepthFromRawValue(outputBitDepth())) format.bitDepth = *bitDepth;
        if (const auto rate = sampleRateFromRawValue(outputSampleRate())) format.sampleRate = *rate;
        if (const auto fileFormat = audioFileFormatFromRawValue(outputFileFormat().toStdString())) {
            format.fileFormat = *fileFormat;
        }
        return format;
    }

private:
    qint64 integer(const char* key, qint64 defaultValue) const {
        bool ok = false;
        const qint64 stored = value(key).toLongLong(&ok);
        return ok ? stored : defaultValue;
    }

    QVariant value(const char* key) const {
        return store_ ? store_->value(QLatin1String(key)) : memory_.value(QLatin1String(key));
    }

    const QSettings* store_;
    const QVariantMap& memory_;
};

QString displayName(const std::filesystem::path& path) {
    return QFile::decodeName(QByteArray::fromStdString(path.filename().native()));
}

QString displayPath(const std::filesystem::path& path) {
    return QFile::decodeName(QByteArray::fromStdString(path.native()));
}

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

// How the settings of one batch name its outputs.
struct Naming {
    std::filesystem::path folder;
    std::string prefix;
    std::string suffix;
    bool matchesInput = false;
    AudioFileFormat fileFormat = AudioFileFormat::wav;

    // The folder plus one name component, or nothing when the name would be
    // anything else (a second guard behind the check of prefix and suffix).
    std::optional<std::filesystem::path> target(const std::filesystem::path& source) const {
        std::string extension = source.extension().string();
        if (!extension.empty()) extension.erase(0, 1);
        if (!matchesInput) extension = fileExtension(fileFormat);
        std::string name = prefix + source.stem().string() + suffix;
        if (!extension.empty()) name += "." + extension;
        if (name.empty() || name == "." || name == ".." ||
            name.find_first_of(std::string("/\0", 2)) != std::string::npos) {
            return std::nullopt;
        }
        return folder / name;
    }
};

// Where a file may be written: its target and, when the write that matches
// the source falls back to the chosen format, the target under the
// fallback's extension.
std::vector<std::filesystem::path> outputLocations(const std::filesystem::path& target, bool matchesInput,
                                                   AudioFileFormat fallbackFormat) {
    std::vector<std::filesystem::path> locations{target};
    if (matchesInput) {
        std::filesystem::path fallback = target;
        fallback.replace_extension(fileExtension(fallbackFormat));
        if (fallback != target) locations.push_back(fallback);
    }
    return locations;
}

// Any file-system item, a dangling link included, counts as existing.
bool itemExists(const std::filesystem::path& path) {
    std::error_code error;
    const auto status = std::filesystem::symlink_status(path, error);
    return status.type() != std::filesystem::file_type::not_found && status.type() != std::filesystem::file_type::none;
}

std::string existingFileQuestion(const std::filesystem::path& location) {
    return "A file named “" + location.filename().string() +
           "” already exists in the output folder. Do you want to skip it, replace it, or stop processing "
           "altogether?";
}

bool isUserCancellation(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const ProcessingError& processingError) {
        return processingError.code() == ProcessingError::Code::cancelled;
    } catch (const VariableLengthSpeechEnhancer::Error& cancellation) {
        return cancellation.code() == VariableLengthSpeechEnhancer::Error::Code::userCancelledProcessing;
    } catch (const AudioError& audioError) {
        if (!audioError.base()) return false;
        try {
            std::rethrow_exception(audioError.base());
        } catch (const VariableLengthSpeechEnhancer::Error& cancellation) {
            return cancellation.code() == VariableLengthSpeechEnhancer::Error::Code::userCancelledProcessing;
        } catch (...) {
            return false;
        }
    } catch (...) {
        return false;
    }
}

bool isStopAtExistingFile(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const ProcessingError& processingError) {
        return processingError.code() == ProcessingError::Code::stoppedAtExistingFile;
    } catch (...) {
        return false;
    }
}

// What the user sees of a failed file: the enhancer's own failure is
// reported as the failure to enhance.
std::exception_ptr userFacing(std::exception_ptr error) {
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

}  // namespace

// The processing side of one batch. It runs on a worker of the Brain's pool
// with the settings taken when the batch started, reads the cancel flag
// directly, and posts every change of published state to the main thread.
struct Brain::Batch {
    using Clock = std::chrono::steady_clock;

    Brain& brain;
    ProcessingOptions options;
    // Every source of the drop, those left out included: none is ever replaced.
    std::set<FileIdentity> sources;
    bool continuesAfterFailure = false;

    void run(const std::vector<Operation>& operations) {
        const std::scoped_lock enhancerInUse(brain.enhancerInUse_);
        bool cancelled = false;
        for (auto operation = operations.begin(); operation != operations.end(); ++operation) {
            brain.post([index = static_cast<int>(operation - operations.begin()),
                        name = displayName(operation->source)](Brain& b) {
                b.setIndexOfFileBeingProcessed(index);
                b.setNameOfFileBeingProcessed(name);
            });
            FileOutcome outcome{.source = operation->source, .target = operation->target};
            const Clock::time_point start = Clock::now();
            const auto secondsSince = [](Clock::time_point time) {
                return std::chrono::duration<double>(Clock::now() - time).count();
            };
            try {
                // The folder is tried once, before the work: an unwritable one
                // fails the first file, and the rest are not processed.
                if (operation == operations.begin()) prepareOutputFolder(operation->target.parent_path());
                const ProcessingResult result = processOperation(*operation);
                outcome.duration = result.duration;
                outcome.seconds = secondsSince(start);
                if (result.writtenTo.empty()) {
                    outcome.status = FileOutcome::Status::skipped;
                    outcome.reason = "a file of its name appeared in the output folder";
                    brain.post([outcome = std::move(outcome)](Brain& b) {
                        emit b.fileSkipped(displayPath(outcome.source), QString::fromStdString(outcome.reason));
                        emit b.fileOutcome(outcome);
                    });
                    continue;
                }
                outcome.target = result.writtenTo;
                outcome.status = FileOutcome::Status::written;
                outcome.warnings = result.warnings();
                outcome.clipped = result.clipping.has_value();
                brain.post([outcome = std::move(outcome)](Brain& b) {
                    if (!outcome.warnings.empty()) {
                        QStringList warnings;
                        for (const std::string& warning : outcome.warnings) {
                            warnings.append(QString::fromStdString(warning));
                        }
                        emit b.fileWarned(displayPath(outcome.source), warnings, outcome.clipped);
                    }
                    emit b.fileFinished(displayPath(outcome.source), displayPath(outcome.target));
                    emit b.fileOutcome(outcome);
                });
            } catch (...) {
                const std::exception_ptr error = std::current_exception();
                outcome.seconds = secondsSince(start);
                cancelled = isUserCancellation(error);
                if (cancelled) {
                    outcome.status = FileOutcome::Status::cancelled;
                    brain.post([outcome = std::move(outcome)](Brain& b) { emit b.fileOutcome(outcome); });
                    reportNotProcessed(std::next(operation), operations.end(), "processing was cancelled");
                    break;
                }
                // "Stop" at an output that appeared meanwhile ends the batch
                // as quietly as at the question before it.
                if (isStopAtExistingFile(error)) {
                    outcome.status = FileOutcome::Status::notProcessed;
                    outcome.reason = "a file of its name appeared in the output folder";
                    brain.post([outcome = std::move(outcome)](Brain& b) { emit b.fileOutcome(outcome); });
                    reportNotProcessed(std::next(operation), operations.end(), "the run stopped at an existing file");
                    break;
                }
                outcome.status = FileOutcome::Status::failed;
                BatchFailure failure{displayName(operation->source).toStdString(), {}};
                if (continuesAfterFailure) {
                    brain.post([error = userFacing(error), failure = std::move(failure),
                                outcome = std::move(outcome)](Brain& b) mutable {
                        outcome.error = AppError(error, AppState{b.outputFormatMatchesInput()}, std::move(failure));
                        emit b.fileOutcome(outcome);
                    });
                    continue;
                }
                // A failure ends the batch; the report says what was left undone.
                for (auto rest = std::next(operation); rest != operations.end(); ++rest) {
                    failure.notProcessed.push_back(displayName(rest->source).toStdString());
                }
                brain.post([error = userFacing(error), failure = std::move(failure),
                            outcome = std::move(outcome)](Brain& b) mutable {
                    b.raiseAlert(error, failure);
                    outcome.error = b.error_;
                    emit b.fileOutcome(outcome);
                });
                reportNotProcessed(std::next(operation), operations.end(), "an earlier file failed");
                break;
            }
        }
        brain.post([cancelled](Brain& b) {
            b.setModelIsProcessing(false);
            b.setShouldCancelProcessing(false);
            b.setProgress(Progress{});
            emit b.batchFinished(cancelled);
        });
    }

    void reportNotProcessed(std::vector<Operation>::const_iterator first, std::vector<Operation>::const_iterator last,
                            const std::string& reason) {
        for (auto operation = first; operation != last; ++operation) {
            brain.post([outcome = FileOutcome{.source = operation->source,
                                              .target = operation->target,
                                              .status = FileOutcome::Status::notProcessed,
                                              .reason = reason}](Brain& b) { emit b.fileOutcome(outcome); });
        }
    }

    // Where the file was written (the target, or the writer's fallback
    // location when it could not match the source's format), its length and
    // its warnings.
    ProcessingResult processOperation(const Operation& operation) {
        for (const auto& location :
             outputLocations(operation.target, options.matchSourceFormat, operation.outputFormat.fileFormat)) {
            if (isOneOf(location, sources)) throw AppError::Base(AppError::Base::Code::outputWouldReplaceSource);
        }
        ProcessingOptions fileOptions = options;
        fileOptions.handleProgress = [this](std::span<const double> entries) {
            if (!entries.empty()) {
                brain.post([progress = Progress{std::vector<double>(entries.begin(), entries.end())}](Brain& b) {
                    b.setProgress(progress);
                });
            }
            return brain.shouldCancelProcessing_.load() ? ProcessingOptions::Response::stopProcessing
                                                        : ProcessingOptions::Response::continueProcessing;
        };
        fileOptions.handleExistingFile = [this, &operation](const std::filesystem::path& location) {
            using Response = ProcessingOptions::ExistingFileResponse;
            if (std::find(operation.agreedReplacements.begin(), operation.agreedReplacements.end(), location) !=
                operation.agreedReplacements.end()) {
                return Response::replace;
            }
            switch (askOnMainThread(location)) {
            case UserInteraction::ExistingFileAnswer::replace: return Response::replace;
            case UserInteraction::ExistingFileAnswer::skip: return Response::skip;
            case UserInteraction::ExistingFileAnswer::stop: break;
            }
            return Response::stop;
        };
        return processFile(operation.source, operation.target, std::move(fileOptions));
    }

    // The existing-file question for an item that appeared at `location`,
    // asked on the main thread while this one waits. A cancel request (the
    // Brain going away included) ends the wait as a cancellation.
    UserInteraction::ExistingFileAnswer askOnMainThread(const std::filesystem::path& location) {
        using Answer = UserInteraction::ExistingFileAnswer;
        const auto answer = std::make_shared<std::promise<Answer>>();
        std::future<Answer> answered = answer->get_future();
        brain.post([answer, location](Brain& b) {
            answer->set_value(b.interaction_.askAboutExistingTarget(location, existingFileQuestion(location)));
        });
        while (answered.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready &&
               !brain.shouldCancelProcessing_.load()) {
        }
        if (brain.shouldCancelProcessing_.load()) throw ProcessingError(ProcessingError::Code::cancelled);
        return answered.get();
    }
};

Brain::Brain(std::unique_ptr<QSettings> settings, UserInteraction& interaction, QObject* parent)
    : QObject(parent), settings_(std::move(settings)), interaction_(interaction),
      pool_(std::make_unique<QThreadPool>()) {
    connect(this, &Brain::fileOutcome, this, &Brain::recordFileOutcome);
    loadModel();
}

Brain::~Brain() {
    // A running batch stops at its next progress report; the pool's tasks use
    // this object until they end.
    shouldCancelProcessing_.store(true);
    pool_->waitForDone();
}

template <typename Change>
void Brain::post(Change&& change) {
    QMetaObject::invokeMethod(
        this,
        [self = QPointer<Brain>(this), change = std::forward<Change>(change)]() mutable {
            if (self) change(*self);
        },
        Qt::QueuedConnection);
}

void Brain::loadModel() {
    if (speechEnhancer_) return;
    setModelIsLoading(true);
    const ModelParameters parameters = VariableLengthSpeechEnhancer::productParameters(computeUnits_);
    pool_->start([this, parameters] {
        const std::filesystem::path model = modelLocation();
        try {
            auto enhancer = std::make_shared<VariableLengthSpeechEnhancer>(parameters, model);
            qCInfo(modelLog, "Speech enhancer model version: %s", enhancer->metadata().version.c_str());
            post([enhancer = std::move(enhancer)](Brain& b) {
                b.speechEnhancer_ = enhancer;
                b.setModelIsLoading(false);
            });
        } catch (...) {
            // A failed load is shown: without a model nothing can be processed.
            post([error = std::make_exception_ptr(ModelLoadError(model, std::current_exception()))](Brain& b) {
                b.raiseAlert(error);
                b.setModelIsLoading(false);
            });
        }
    });
}

void Brain::raiseAlert(std::exception_ptr error, BatchFailure failure) {
    setError(AppError(std::move(error), AppState{outputFormatMatchesInput()}, std::move(failure)));
    setAlertIsDisplayed(true);
}

void Brain::processDroppedFiles(const std::vector<std::filesystem::path>& urls) {
    // One batch at a time: the enhancer serves one call at a time.
    if (modelIsProcessing_) return;
    // The last batch's outcome goes with the next drop, whatever becomes of it.
    setBatchOutcome(std::nullopt);

    std::vector<Operation> operations;
    try {
        // Without a model nothing is processed; the user is not asked about
        // existing files first.
        if (outputFolder_ && !urls.empty() && !speechEnhancer_) {
            throw AppError::Base(AppError::Base::Code::failedToEnhanceAudio);
        }
        operations = makeOperations(urls);
    } catch (...) {
        raiseAlert(std::current_exception());
        return;
    }
    if (operations.empty()) return;

    // One snapshot of the settings serves the whole batch (the sidebar is
    // locked while it runs).
    ProcessingOptions options;
    options.matchSourceFormat = outputFormatMatchesInput();
    // The rate is taken as stored: one outside the listed ones is used as it is.
    options.outputFormat = {commonAudioFileFormat(outputBitDepth(), outputFileFormat().toStdString()),
                            outputSampleRate()};
    options.wetDryMix = wetDryMix();
    options.enhancer = speechEnhancer_.get();

    // Every file of the drop, each once: those without an operation were skipped.
    BatchOutcome outcome{*outputFolder_, {}};
    std::set<std::filesystem::path> processed;
    for (const Operation& operation : operations) processed.insert(operation.source);
    for (const std::filesystem::path& source : distinctFiles(urls)) {
        outcome.files.push_back(FileOutcome{
            .source = source,
            .status = processed.contains(source) ? FileOutcome::Status::notProcessed : FileOutcome::Status::skipped});
    }
    setBatchOutcome(std::move(outcome));
    setIndexOfFileBeingProcessed(0);
    setNumberOfFilesInBatch(static_cast<int>(operations.size()));

    setModelIsProcessing(true);
    pool_->start([this, enhancer = speechEnhancer_, operations = std::move(operations), options,
                  sources = identitiesOf(urls), continues = continuesAfterFailure_] {
        Batch{*this, options, sources, continues}.run(operations);
    });
}

bool Brain::preparePreview(const std::filesystem::path& source, QObject* receiver,
                           std::shared_ptr<const std::atomic<bool>> cancel, std::function<void(double)> progress,
                           std::function<void(PreviewResult)> finished) {
    if (!canPreview()) return false;
    prepareOnPool(receiver, std::move(cancel), std::move(progress), std::move(finished),
                  [this, source, enhancer = speechEnhancer_](ProcessingOptions::ProgressHandler handleProgress) {
                      const std::scoped_lock enhancerInUse(enhancerInUse_);
                      return vesh::preparePreview(source, PreviewOptions{enhancer.get(), std::move(handleProgress)});
                  });
    return true;
}

void Brain::prepareComparison(const std::filesystem::path& source, const std::filesystem::path& written,
                              QObject* receiver, std::shared_ptr<const std::atomic<bool>> cancel,
                              std::function<void(double)> progress, std::function<void(PreviewResult)> finished) {
    prepareOnPool(receiver, std::move(cancel), std::move(progress), std::move(finished),
                  [source, written](ProcessingOptions::ProgressHandler handleProgress) {
                      return vesh::prepareComparison(source, written, std::move(handleProgress));
                  });
}

void Brain::prepareOnPool(QObject* receiver, std::shared_ptr<const std::atomic<bool>> cancel,
                          std::function<void(double)> progress, std::function<void(PreviewResult)> finished,
                          std::function<PreviewStretch(ProcessingOptions::ProgressHandler)> prepare) {
    pool_->start([this, receiver = QPointer<QObject>(receiver), cancel = std::move(cancel),
                  progress = std::move(progress), finished = std::move(finished), prepare = std::move(prepare)] {
        // Posted to the main thread, where the receiver is looked at.
        const auto toReceiver = [this, &receiver](auto call) {
            post([receiver, call = std::move(call)](Brain&) mutable {
                if (receiver) call();
            });
        };
        const auto handleProgress = [&](std::span<const double> entries) {
            if (!entries.empty()) {
                double sum = 0.0;
                for (const double entry : entries) sum += entry;
                toReceiver([progress, fraction = sum / static_cast<double>(entries.size())] { progress(fraction); });
            }
            // Brain's own end (its destructor sets the flag) stops a preparation too.
            return cancel->load() || shouldCancelProcessing_.load() ? ProcessingOptions::Response::stopProcessing
                                                                    : ProcessingOptions::Response::continueProcessing;
        };
        PreviewResult result;
        try {
            result = prepare(handleProgress);
        } catch (...) {
            result = userFacing(std::current_exception());
        }
        toReceiver([finished, result = std::move(result)]() mutable { finished(std::move(result)); });
    });
}

std::vector<Brain::Operation> Brain::makeOperations(const std::vector<std::filesystem::path>& urls) {
    if (!outputFolder_) throw AppError::Base(AppError::Base::Code::missingOutputFolder);
    if (urls.empty()) return {};
    if (!isAllowedInFileName(filenamePrefix()) || !isAllowedInFileName(filenameSuffix())) {
        throw AppError::Base(AppError::Base::Code::fileNameLeavesOutputFolder);
    }

    const AudioFormat format = outputFormat();
    const Naming naming{*outputFolder_, QFile::encodeName(filenamePrefix()).toStdString(),
                        QFile::encodeName(filenameSuffix()).toStdString(), outputFormatMatchesInput(),
                        format.fileFormat};
    const std::set<FileIdentity> sources = identitiesOf(urls);

    std::vector<Operation> operations;
    // Locations that accepted operations will write: a later source mapping
    // to one of them is treated like an existing file.
    std::set<std::filesystem::path> claimed;

    const std::vector<std::filesystem::path> distinct = distinctFiles(urls);
    for (const std::filesystem::path& source : distinct) {
        const std::optional<std::filesystem::path> target = naming.target(source);
        if (!target) throw AppError::Base(AppError::Base::Code::fileNameLeavesOutputFolder);
        const std::vector<std::filesystem::path> locations =
            outputLocations(*target, naming.matchesInput, format.fileFormat);
        const auto skip = [&](const char* reason) {
            emit fileSkipped(displayPath(source), QString::fromUtf8(reason));
            emit fileOutcome(FileOutcome{
                .source = source, .target = *target, .status = FileOutcome::Status::skipped, .reason = reason});
        };

        // An output that would replace a source of the batch is never
        // written: there is no question, the file is skipped or fails.
        if (std::any_of(locations.begin(), locations.end(),
                        [&](const auto& location) { return isOneOf(location, sources); })) {
            if (interaction_.skipsOutputsThatReplaceSources()) {
                skip("its output would replace the original file");
                continue;
            }
            operations.push_back(Operation{source, *target, format, {}});
            continue;
        }

        bool accepted = true;
        std::vector<std::filesystem::path> agreed;
        for (const std::filesystem::path& location : locations) {
            if (!itemExists(location) && !claimed.contains(location)) continue;
            const auto answer = interaction_.askAboutExistingTarget(location, existingFileQuestion(location));
            if (answer == UserInteraction::ExistingFileAnswer::replace) {
                agreed.push_back(location);
                continue;
            }
            if (answer == UserInteraction::ExistingFileAnswer::skip) {
                accepted = false;
                break;
            }
            // Stop: nothing of the drop is processed.
            for (const std::filesystem::path& dropped : distinct) {
                emit fileOutcome(FileOutcome{.source = dropped,
                                             .target = naming.target(dropped).value_or(std::filesystem::path()),
                                             .status = FileOutcome::Status::notProcessed,
                                             .reason = "processing stopped at an existing output file"});
            }
            return {};
        }
        if (!accepted) {
            skip("the output file exists already");
            continue;
        }

        claimed.insert(locations.begin(), locations.end());
        operations.push_back(Operation{source, *target, format, std::move(agreed)});
    }
    return operations;
}

std::vector<Brain::TargetClash> Brain::targetClashes(const std::vector<std::filesystem::path>& urls) const {
    if (!outputFolder_) return {};
    const Naming naming{*outputFolder_, QFile::encodeName(filenamePrefix()).toStdString(),
                        QFile::encodeName(filenameSuffix()).toStdString(), outputFormatMatchesInput(),
                        outputFormat().fileFormat};
    std::vector<TargetClash> clashes;
    std::map<std::filesystem::path, std::filesystem::path> firstSourceOf;
    for (const std::filesystem::path& source : distinctFiles(urls)) {
        const auto target = naming.target(source);
        if (!target) continue;
        const auto [earlier, first] = firstSourceOf.emplace(*target, source);
        if (!first) clashes.push_back(TargetClash{earlier->second, source, *target});
    }
    return clashes;
}

bool Brain::isAllowedInFileName(const QString& text) {
    return !text.contains(QLatin1Char('/')) && !text.contains(QChar(u'\0'));
}

QList<double> Brain::progressChannels() const {
    return QList<double>(progress_.channels.begin(), progress_.channels.end());
}

void Brain::setAlertIsDisplayed(bool displayed) {
    if (alertIsDisplayed_ == displayed) return;
    alertIsDisplayed_ = displayed;
    emit alertIsDisplayedChanged();
}

void Brain::setShouldCancelProcessing(bool cancel) {
    if (shouldCancelProcessing_.exchange(cancel) == cancel) return;
    emit shouldCancelProcessingChanged();
}

void Brain::setComputeUnits(ComputeUnits units) {
    if (computeUnits_ == units) return;
    computeUnits_ = units;
    loadModel();
}

QString Brain::modelVersion() const {
    return speechEnhancer_ ? QString::fromStdString(speechEnhancer_->metadata().version) : QString();
}

void Brain::setModelIsLoading(bool loading) {
    if (modelIsLoading_ == loading) return;
    modelIsLoading_ = loading;
    emit modelIsLoadingChanged();
}

void Brain::setModelIsProcessing(bool processing) {
    if (modelIsProcessing_ == processing) return;
    modelIsProcessing_ = processing;
    emit modelIsProcessingChanged();
}

void Brain::setProgress(Progress progress) {
    if (progress_ == progress) return;
    progress_ = std::move(progress);
    emit progressChanged();
}

void Brain::setError(AppError error) {
    error_ = std::move(error);
    emit errorChanged();
}

void Brain::setNameOfFileBeingProcessed(QString name) {
    if (nameOfFileBeingProcessed_ == name) return;
    nameOfFileBeingProcessed_ = std::move(name);
    emit nameOfFileBeingProcessedChanged();
}

void Brain::setIndexOfFileBeingProcessed(int index) {
    if (indexOfFileBeingProcessed_ == index) return;
    indexOfFileBeingProcessed_ = index;
    emit indexOfFileBeingProcessedChanged();
}

void Brain::setNumberOfFilesInBatch(int count) {
    if (numberOfFilesInBatch_ == count) return;
    numberOfFilesInBatch_ = count;
    emit numberOfFilesInBatchChanged();
}

void Brain::setBatchOutcome(std::optional<BatchOutcome> outcome) {
    if (!batchOutcome_ && !outcome) return;
    batchOutcome_ = std::move(outcome);
    nextFileOutcome_ = 0;
    emit batchOutcomeChanged();
}

void Brain::recordFileOutcome(const FileOutcome& outcome) {
    if (!batchOutcome_) return;
    // Outcomes mostly arrive in the batch's order: the search starts after
    // the last file found, so that a batch of many files is not followed in
    // quadratic time.
    std::vector<FileOutcome>& files = batchOutcome_->files;
    for (std::size_t step = 0; step < files.size(); ++step) {
        const std::size_t index = (nextFileOutcome_ + step) % files.size();
        if (files[index].source == outcome.source) {
            files[index] = outcome;
            nextFileOutcome_ = index + 1;
            emit batchOutcomeChanged();
            return;
        }
    }
}

std::size_t Brain::BatchOutcome::count(FileOutcome::Status status) const {
    return static_cast<std::size_t>(
        std::count_if(files.begin(), files.end(), [status](const FileOutcome& file) { return file.status == status; }));
}

void Brain::store(const char* key, const QVariant& value) {
    if (settings_) {
        settings_->setValue(QLatin1String(key), value);
    } else {
        memory_.insert(QLatin1String(key), value);
    }
}

template <typename Value>
void Brain::storeSetting(const char* key, const Value& old, const Value& value, void (Brain::*changed)()) {
    store(key, QVariant::fromValue(value));
    if (old != value) emit(this->*changed)();
}

double Brain::wetDryMix() const { return StoredSettings(settings_.get(), memory_).wetDryMix(); }

void Brain::setWetDryMix(double mix) { storeSetting(key::wetDryMix, wetDryMix(), mix, &Brain::wetDryMixChanged); }

QString Brain::filenamePrefix() const { return StoredSettings(settings_.get(), memory_).filenamePrefix(); }

void Brain::setFilenamePrefix(const QString& prefix) {
    storeSetting(key::filenamePrefix, filenamePrefix(), prefix, &Brain::filenamePrefixChanged);
}

QString Brain::filenameSuffix() const { return StoredSettings(settings_.get(), memory_).filenameSuffix(); }

void Brain::setFilenameSuffix(const QString& suffix) {
    storeSetting(key::filenameSuffix, filenameSuffix(), suffix, &Brain::filenameSuffixChanged);
}

bool Brain::outputFormatMatchesInput() const {
    return StoredSettings(settings_.get(), memory_).outputFormatMatchesInput();
}

void Brain::setOutputFormatMatchesInput(bool matches) {
    storeSetting(key::outputFormatMatchesInput, outputFormatMatchesInput(), matches,
                 &Brain::outputFormatMatchesInputChanged);
}

qint64 Brain::outputBitDepth() const { return StoredSettings(settings_.get(), memory_).outputBitDepth(); }

void Brain::setOutputBitDepth(qint64 bitDepth) {
    storeSetting(key::outputBitDepth, outputBitDepth(), bitDepth, &Brain::outputFormatChanged);
}

qint64 Brain::outputSampleRate() const { return StoredSettings(settings_.get(), memory_).outputSampleRate(); }

void Brain::setOutputSampleRate(qint64 rate) {
    storeSetting(key::outputSampleRate, outputSampleRate(), rate, &Brain::outputFormatChanged);
}

QString Brain::outputFileFormat() const { return StoredSettings(settings_.get(), memory_).outputFileFormat(); }

void Brain::setOutputFileFormat(const QString& fileFormat) {
    storeSetting(key::outputFileFormat, outputFileFormat(), fileFormat, &Brain::outputFormatChanged);
}

AudioFormat Brain::outputFormat() const { return StoredSettings(settings_.get(), memory_).outputFormat(); }

void Brain::setOutputFormat(const AudioFormat& format) {
    const qint64 bitDepth = rawValue(format.bitDepth);
    const qint64 rate = rawValue(format.sampleRate);
    const QString fileFormat = QString::fromStdString(rawValue(format.fileFormat));
    const bool changed = outputBitDepth() != bitDepth || outputSampleRate() != rate || outputFileFormat() != fileFormat;
    store(key::outputBitDepth, bitDepth);
    store(key::outputSampleRate, rate);
    store(key::outputFileFormat, fileFormat);
    if (changed) emit outputFormatChanged();
}

void Brain::setOutputFolder(std::optional<std::filesystem::path> folder) {
    if (outputFolder_ == folder) return;
    outputFolder_ = std::move(folder);
    emit outputFolderChanged();
}

void Brain::chooseOutputFolder() {
    if (auto folder = interaction_.chooseOutputFolder()) setOutputFolder(std::move(folder));
}

}  // namespace vesh
