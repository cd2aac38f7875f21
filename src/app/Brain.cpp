#include "app/Brain.h"

#include <QFile>
#include <QLoggingCategory>
#include <QMetaObject>
#include <QSettings>
#include <QThreadPool>

#include <algorithm>
#include <chrono>
#include <future>
#include <iterator>
#include <span>

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
constexpr char loudnessTarget[] = "loudnessTarget";
}  // namespace key

constexpr double defaultWetDryMix = 1.0;
constexpr bool defaultOutputFormatMatchesInput = false;

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
    LoudnessTarget loudnessTarget() const {
        return LoudnessTarget::fromName(value(key::loudnessTarget).toString().toStdString()).value_or(LoudnessTarget{});
    }
    bool outputFormatMatchesInput() const {
        const QVariant stored = value(key::outputFormatMatchesInput);
        return stored.isValid() ? stored.toBool() : defaultOutputFormatMatchesInput;
    }
    // The defaults where nothing is stored or a stored depth or file format
    // is unlisted; a stored rate is taken as it is.
    AudioFormat outputFormat() const {
        AudioFormat format;
        if (const auto stored = integer(key::outputBitDepth)) {
            format.bitDepth = bitDepthFromRawValue(*stored).value_or(format.bitDepth);
        }
        if (const auto stored = integer(key::outputSampleRate)) format.sampleRate = static_cast<SampleRate>(*stored);
        const std::string fileFormat = value(key::outputFileFormat).toString().toStdString();
        format.fileFormat = audioFileFormatFromRawValue(fileFormat).value_or(format.fileFormat);
        return format;
    }

private:
    std::optional<qint64> integer(const char* key) const {
        bool ok = false;
        const qint64 stored = value(key).toLongLong(&ok);
        return ok ? std::optional(stored) : std::nullopt;
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

}  // namespace

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
            std::shared_ptr<const VariableLengthSpeechEnhancer> enhancer =
                std::make_shared<VariableLengthSpeechEnhancer>(parameters, model);
            qCInfo(modelLog, "Speech enhancer model version: %s", enhancer->metadata().version.c_str());
            post([enhancer = std::move(enhancer)](Brain& b) {
                b.speechEnhancer_ = enhancer;
                b.setModelIsLoading(false);
            });
        } catch (...) {
            // A failed load is shown: without a model nothing can be processed.
            post([error = ModelLoadError{model, std::current_exception()}](Brain& b) {
                b.raiseAlert(error);
                b.setModelIsLoading(false);
            });
        }
    });
}

void Brain::raiseAlert(AppError::Caught error, BatchFailure failure) {
    setError(AppError(std::move(error), AppState{outputFormatMatchesInput()}, std::move(failure)));
    setAlertIsDisplayed(true);
}

void Brain::processDroppedFiles(const std::vector<std::filesystem::path>& urls) {
    // One batch at a time: the window follows one.
    if (modelIsProcessing_) return;
    // The last batch's outcome goes with the next drop, whatever becomes of
    // it, and so does an answer given for all of its questions.
    setBatchOutcome(std::nullopt);
    answerForAll_.reset();

    // One snapshot of the settings serves the whole batch (the sidebar is
    // locked while it runs).
    const BatchOptions options = batchOptions();
    if (!outputFolder_) {
        raiseAlert(AppError::Base::missingOutputFolder);
        return;
    }
    if (urls.empty()) return;
    // Without a model nothing is processed; the user is not asked about
    // existing files first.
    if (!speechEnhancer_) {
        raiseAlert(AppError::Base::failedToEnhanceAudio);
        return;
    }
    const bool severalFiles = urls.size() > 1;
    BatchPlan plan;
    try {
        plan = planBatch(urls, options, [this, severalFiles](const std::filesystem::path& location) {
            return answerAboutExistingFile(location, severalFiles);
        });
    } catch (const ProcessingError& error) {
        raiseAlert(error);
        return;
    }
    for (const BatchPlan::File& file : plan.files) {
        if (file.decided) tellOutcome(*file.decided);
    }
    if (plan.stoppedAt || plan.processedCount() == 0) return;

    // Every file of the drop, each once: those decided already keep their outcome.
    BatchOutcome outcome{*outputFolder_, {}};
    for (const BatchPlan::File& file : plan.files) {
        outcome.files.push_back(file.decided.value_or(FileOutcome{.source = file.source, .target = file.location}));
    }
    setBatchOutcome(std::move(outcome));
    setIndexOfFileBeingProcessed(0);
    setNumberOfFilesInBatch(static_cast<int>(plan.processedCount()));
    currentFileStart_ = std::chrono::steady_clock::now();
    doneSeconds_ = 0.0;
    doneFiles_ = 0;
    setModelIsProcessing(true);
    startBatch(std::move(plan), options);
}

void Brain::processRemainingFiles() {
    if (modelIsProcessing_ || !batchOutcome_) return;
    const std::vector<std::filesystem::path> remaining = batchOutcome_->filesLeftByFailure();
    if (!remaining.empty()) processDroppedFiles(remaining);
}

void Brain::startBatch(BatchPlan plan, BatchOptions options) {
    pool_->start([this, enhancer = speechEnhancer_, plan = std::move(plan), options = std::move(options)] {
        BatchCallbacks callbacks;
        callbacks.askAboutExistingFile = [this](const std::filesystem::path& location) {
            return askOnMainThread(location);
        };
        callbacks.fileStarted = [this](std::size_t index, std::size_t, const std::filesystem::path& source) {
            post([index = static_cast<int>(index), name = displayName(source)](Brain& b) {
                b.currentFileStart_ = std::chrono::steady_clock::now();
                b.setIndexOfFileBeingProcessed(index);
                b.setNameOfFileBeingProcessed(name);
                b.updateSecondsLeft();
            });
        };
        callbacks.progress = [this](std::span<const double> entries) {
            post([progress = Progress{std::vector<double>(entries.begin(), entries.end())}](Brain& b) {
                b.setProgress(progress);
            });
        };
        callbacks.isCancelled = [this] { return shouldCancelProcessing_.load(); };
        callbacks.fileOutcome = [this, &plan, &options](const FileOutcome& outcome) {
            if (outcome.status != FileOutcome::Status::failed || options.continuesAfterFailure) {
                post([outcome](Brain& b) { b.tellOutcome(outcome); });
                return;
            }
            // A failure ends the batch; the alert says what was left undone.
            BatchFailure failure{displayName(outcome.source).toStdString(), {}};
            const auto failed = std::find_if(plan.files.begin(), plan.files.end(), [&](const BatchPlan::File& file) {
                return file.source == outcome.source;
            });
            for (auto rest = failed == plan.files.end() ? failed : std::next(failed); rest != plan.files.end();
                 ++rest) {
                if (!rest->decided) failure.notProcessed.push_back(displayName(rest->source).toStdString());
            }
            post([outcome, failure = std::move(failure)](Brain& b) {
                b.raiseAlert(*outcome.error, failure);
                b.tellOutcome(outcome);
            });
        };
        const BatchResult result = runBatch(plan, options, *enhancer, callbacks);
        post([cancelled = result.end == BatchResult::End::cancelled,
              failed = result.end == BatchResult::End::failed](Brain& b) {
            if (failed && b.batchOutcome_) {
                b.batchOutcome_->endedByFailure = true;
                emit b.batchOutcomeChanged();
            }
            b.setModelIsProcessing(false);
            b.setShouldCancelProcessing(false);
            b.setProgress(Progress{});
            b.updateSecondsLeft();
            emit b.batchFinished(cancelled);
        });
    });
}

ExistingFileAnswer Brain::askOnMainThread(const std::filesystem::path& location) {
    const auto answer = std::make_shared<std::promise<ExistingFileAnswer>>();
    std::future<ExistingFileAnswer> answered = answer->get_future();
    post([answer, location](Brain& b) {
        // Only the files after this one may ask again.
        const bool othersMayFollow = b.indexOfFileBeingProcessed_ + 1 < b.numberOfFilesInBatch_;
        answer->set_value(b.answerAboutExistingFile(location, othersMayFollow));
    });
    while (answered.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready &&
           !shouldCancelProcessing_.load()) {
    }
    if (shouldCancelProcessing_.load()) throw ProcessingError(ProcessingError::Kind::cancelled);
    return answered.get();
}

ExistingFileAnswer Brain::answerAboutExistingFile(const std::filesystem::path& location, bool othersMayFollow) {
    if (answerForAll_) return *answerForAll_;
    const UserInteraction::ExistingFileReply reply =
        interaction_.askAboutExistingFile(existingFileQuestion(location), othersMayFollow);
    // Stop ends the batch: there is nothing left for it to answer.
    if (reply.appliesToAll && reply.answer != ExistingFileAnswer::stop) answerForAll_ = reply.answer;
    return reply.answer;
}

void Brain::tellOutcome(const FileOutcome& outcome) {
    using Status = FileOutcome::Status;
    if (outcome.status == Status::skipped) {
        emit fileSkipped(displayPath(outcome.source), QString::fromStdString(outcome.reason));
    }
    if (outcome.status == Status::written) {
        if (!outcome.warnings.empty()) {
            QStringList warnings;
            for (const std::string& warning : outcome.warnings) warnings.append(QString::fromStdString(warning));
            emit fileWarned(displayPath(outcome.source), warnings, outcome.clipped);
        }
        emit fileFinished(displayPath(outcome.source), displayPath(outcome.target));
    }
    emit fileOutcome(outcome);
}

bool Brain::preparePreview(const std::filesystem::path& source, QObject* receiver,
                           std::shared_ptr<const std::atomic<bool>> cancel, std::function<void(double)> progress,
                           std::function<void(PreviewResult)> finished) {
    if (!canPreview()) return false;
    prepareOnPool(receiver, std::move(cancel), std::move(progress), std::move(finished),
                  [this, source, enhancer = speechEnhancer_](ProcessingOptions::ProgressHandler handleProgress) {
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
        } catch (const ProcessingError& error) {
            result = error;
        }
        toReceiver([finished, result = std::move(result)]() mutable { finished(std::move(result)); });
    });
}

bool Brain::isAllowedInFileName(const QString& text) {
    return vesh::isAllowedInFileName(QFile::encodeName(text).toStdString());
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
    updateSecondsLeft();
}

std::optional<double> Brain::estimateSecondsLeft(const BatchTiming& timing) {
    // Below these the current file's own pace says little yet: the first
    // reports come before the work has settled.
    constexpr double leastFraction = 0.05;
    constexpr double leastSeconds = 2.0;
    const std::optional<double> meanDone =
        timing.doneFiles > 0 ? std::optional(timing.doneSeconds / static_cast<double>(timing.doneFiles)) : std::nullopt;
    std::optional<double> currentTotal;
    if (timing.currentFraction >= leastFraction && timing.currentSeconds >= leastSeconds) {
        currentTotal = timing.currentSeconds / std::min(timing.currentFraction, 1.0);
    } else if (meanDone) {
        currentTotal = std::max(*meanDone, timing.currentSeconds);
    }
    if (!currentTotal) return std::nullopt;
    const double laterFile = meanDone.value_or(*currentTotal);
    return *currentTotal - timing.currentSeconds + static_cast<double>(timing.filesAfter) * laterFile;
}

void Brain::updateSecondsLeft() {
    std::optional<double> left;
    if (modelIsProcessing_) {
        BatchTiming timing;
        timing.doneSeconds = doneSeconds_;
        timing.doneFiles = doneFiles_;
        timing.currentSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - currentFileStart_).count();
        const std::vector<double>& channels = progress_.channels;
        if (!channels.empty()) {
            double sum = 0.0;
            for (const double entry : channels) sum += entry;
            timing.currentFraction = sum / static_cast<double>(channels.size());
        }
        timing.filesAfter =
            static_cast<std::size_t>(std::max(numberOfFilesInBatch_ - indexOfFileBeingProcessed_ - 1, 0));
        left = estimateSecondsLeft(timing);
    }
    if (left == secondsLeftInBatch_) return;
    secondsLeftInBatch_ = left;
    emit secondsLeftInBatchChanged();
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
            if (modelIsProcessing_ && outcome.status == FileOutcome::Status::written) {
                doneSeconds_ += outcome.seconds;
                ++doneFiles_;
            }
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

std::vector<std::filesystem::path> Brain::BatchOutcome::filesLeftByFailure() const {
    return endedByFailure ? vesh::filesLeftByFailure(files) : std::vector<std::filesystem::path>();
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

LoudnessTarget Brain::loudnessTarget() const { return StoredSettings(settings_.get(), memory_).loudnessTarget(); }

void Brain::setLoudnessTarget(const LoudnessTarget& target) {
    const bool changed = loudnessTarget() != target;
    store(key::loudnessTarget, QString::fromStdString(target.name()));
    if (changed) emit loudnessTargetChanged();
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

AudioFormat Brain::outputFormat() const { return StoredSettings(settings_.get(), memory_).outputFormat(); }

void Brain::setOutputFormat(const AudioFormat& format) {
    const bool changed = outputFormat() != format;
    store(key::outputBitDepth, static_cast<qint64>(rawValue(format.bitDepth)));
    store(key::outputSampleRate, static_cast<qint64>(rawValue(format.sampleRate)));
    store(key::outputFileFormat, QString::fromStdString(rawValue(format.fileFormat)));
    if (changed) emit outputFormatChanged();
}

BatchOptions Brain::batchOptions() const {
    BatchOptions options;
    options.outputFolder = outputFolder_.value_or(std::filesystem::path());
    options.filenamePrefix = QFile::encodeName(filenamePrefix()).toStdString();
    options.filenameSuffix = QFile::encodeName(filenameSuffix()).toStdString();
    options.matchSourceFormat = outputFormatMatchesInput();
    options.outputFormat = outputFormat();
    options.wetDryMix = wetDryMix();
    options.loudnessTarget = loudnessTarget();
    options.continuesAfterFailure = continuesAfterFailure_;
    return options;
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
