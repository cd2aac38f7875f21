#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "Engine/Batch.h"
#include "Engine/Preview.h"
#include "FullBandSpeechEnhancer/ModelParameters.h"
#include "FullBandSpeechEnhancer/VariableLengthSpeechEnhancer.h"
#include "app/AppError.h"
#include "app/AudioFormat.h"
#include "app/UserInteraction.h"

class QSettings;
class QThreadPool;

namespace vesh {

// The window's controller: loads the speech enhancer, holds the state the
// views render and the user's settings, and runs dropped files as one
// background batch (the batch runner's rules, asked on the main thread) with
// progress, cancellation and error reporting. Lives on the main thread;
// background work posts every change of published state back to it, in order.
class Brain : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool modelIsLoading READ modelIsLoading NOTIFY modelIsLoadingChanged)
    Q_PROPERTY(bool modelIsProcessing READ modelIsProcessing NOTIFY modelIsProcessingChanged)
    Q_PROPERTY(QList<double> progressChannels READ progressChannels NOTIFY progressChanged)
    Q_PROPERTY(bool alertIsDisplayed READ alertIsDisplayed WRITE setAlertIsDisplayed NOTIFY alertIsDisplayedChanged)
    Q_PROPERTY(
        QString nameOfFileBeingProcessed READ nameOfFileBeingProcessedText NOTIFY nameOfFileBeingProcessedChanged)
    Q_PROPERTY(int indexOfFileBeingProcessed READ indexOfFileBeingProcessed NOTIFY indexOfFileBeingProcessedChanged)
    Q_PROPERTY(int numberOfFilesInBatch READ numberOfFilesInBatch NOTIFY numberOfFilesInBatchChanged)
    Q_PROPERTY(bool shouldCancelProcessing READ shouldCancelProcessing WRITE setShouldCancelProcessing NOTIFY
                   shouldCancelProcessingChanged)
    Q_PROPERTY(double wetDryMix READ wetDryMix WRITE setWetDryMix NOTIFY wetDryMixChanged)
    Q_PROPERTY(QString filenamePrefix READ filenamePrefix WRITE setFilenamePrefix NOTIFY filenamePrefixChanged)
    Q_PROPERTY(QString filenameSuffix READ filenameSuffix WRITE setFilenameSuffix NOTIFY filenameSuffixChanged)
    Q_PROPERTY(bool outputFormatMatchesInput READ outputFormatMatchesInput WRITE setOutputFormatMatchesInput NOTIFY
                   outputFormatMatchesInputChanged)

public:
    // Progress of the file being enhanced: one completed fraction per channel
    // (a single entry when the channels are identical).
    struct Progress {
        std::vector<double> channels;
        friend bool operator==(const Progress&, const Progress&) = default;
    };

    // `settings` is the store of the persisted settings (the window passes the
    // user's store, tests a store of their own); without one (the command
    // line) the settings are held in memory for the life of the Brain;
    // `interaction` answers the questions. Starts loading the model at once.
    Brain(std::unique_ptr<QSettings> settings, UserInteraction& interaction, QObject* parent = nullptr);
    ~Brain() override;

    static constexpr std::int64_t sampleRate = VariableLengthSpeechEnhancer::productSampleRate;

    // Published state (main thread).
    bool modelIsLoading() const { return modelIsLoading_; }
    bool modelIsProcessing() const { return modelIsProcessing_; }
    const Progress& progress() const { return progress_; }
    QList<double> progressChannels() const;
    const std::optional<AppError>& error() const { return error_; }
    bool alertIsDisplayed() const { return alertIsDisplayed_; }
    void setAlertIsDisplayed(bool displayed);
    const std::optional<QString>& nameOfFileBeingProcessed() const { return nameOfFileBeingProcessed_; }
    QString nameOfFileBeingProcessedText() const { return nameOfFileBeingProcessed_.value_or(QString()); }
    bool shouldCancelProcessing() const { return shouldCancelProcessing_.load(); }
    void setShouldCancelProcessing(bool cancel);
    ComputeUnits computeUnits() const { return computeUnits_; }
    // A different value reloads the model.
    void setComputeUnits(ComputeUnits units);
    // The loaded model's version, empty until loaded.
    QString modelVersion() const;

    // What became of one source of a batch.
    using FileOutcome = vesh::FileOutcome;

    // The files of the latest drop that started a batch, each once, in drop order.
    struct BatchOutcome {
        std::filesystem::path outputFolder;
        std::vector<FileOutcome> files;
        // Set once the batch is over when a failed file ended it.
        bool endedByFailure = false;
        std::size_t count(FileOutcome::Status status) const;
        // The files a failure left unprocessed, in the batch's order; none
        // unless endedByFailure.
        std::vector<std::filesystem::path> filesLeftByFailure() const;
    };

    // Position of the file being processed in its batch (from 0) and the
    // number of files the batch processes (skipped ones not counted). Both
    // keep their values after the batch, like the file's name.
    int indexOfFileBeingProcessed() const { return indexOfFileBeingProcessed_; }
    int numberOfFilesInBatch() const { return numberOfFilesInBatch_; }
    // Set when a batch starts, followed file by file while it runs, kept after
    // it; absent again from the next drop on.
    const std::optional<BatchOutcome>& batchOutcome() const { return batchOutcome_; }

    // What is known of a running batch's pace.
    struct BatchTiming {
        // Seconds spent on the files written so far, and their number.
        double doneSeconds = 0.0;
        std::size_t doneFiles = 0;
        // Seconds since the current file started, and its completed fraction.
        double currentSeconds = 0.0;
        double currentFraction = 0.0;
        // Files of the batch after the current one.
        std::size_t filesAfter = 0;
    };
    // Seconds until the batch is done, or nothing without a basis: a written
    // file, or enough of the current file's own progress. The current file
    // takes what its progress says is left (or, too early for that, the
    // written files' mean time less what it has taken); each later file,
    // whose length is unknown until it is reached, the written files' mean
    // time (their time per second of audio times their mean duration), or the
    // current file's expected time while none is written.
    static std::optional<double> estimateSecondsLeft(const BatchTiming& timing);
    // The running batch's estimate (estimateSecondsLeft), renewed at each
    // progress report and file; nothing outside a batch.
    const std::optional<double>& secondsLeftInBatch() const { return secondsLeftInBatch_; }

    // Persisted settings: read from the store (or the default), written at once.
    double wetDryMix() const;
    void setWetDryMix(double mix);
    QString filenamePrefix() const;
    void setFilenamePrefix(const QString& prefix);
    QString filenameSuffix() const;
    void setFilenameSuffix(const QString& suffix);
    // Stored by its name ("off", "podcast", "broadcast" or the number); a
    // stored text that names no target reads as off.
    LoudnessTarget loudnessTarget() const;
    void setLoudnessTarget(const LoudnessTarget& target);
    bool outputFormatMatchesInput() const;
    void setOutputFormatMatchesInput(bool matches);
    // Stored as three raw values under their own keys. An unlisted stored
    // bit depth or file format reads as 24-bit or WAV; an unlisted rate is
    // read as it is, the rate written.
    AudioFormat outputFormat() const;
    void setOutputFormat(const AudioFormat& format);
    // The settings a batch started now takes (the output folder empty when
    // none is chosen).
    BatchOptions batchOptions() const;

    // Whether a failed file leaves the rest of the batch to run instead of
    // ending it (the failure is then reported by fileOutcome only, without
    // the alert). Held in memory only; off unless set.
    bool continuesAfterFailure() const { return continuesAfterFailure_; }
    void setContinuesAfterFailure(bool continues) { continuesAfterFailure_ = continues; }

    // The output folder: held in memory only.
    const std::optional<std::filesystem::path>& outputFolder() const { return outputFolder_; }
    void setOutputFolder(std::optional<std::filesystem::path> folder);
    // Asks the interaction for a folder; a cancelled chooser keeps the old one.
    void chooseOutputFolder();

    // Whether a preview may be prepared now: a model is loaded and no batch runs.
    bool canPreview() const { return !modelIsLoading_ && !modelIsProcessing_ && speechEnhancer_; }

    // The stretch of a preview, or why there is none.
    using PreviewResult = std::variant<PreviewStretch, ProcessingError>;
    // Prepares a preview of `source` on a worker of the pool with the loaded
    // enhancer (writing nothing). `progress` (the completed fraction) and
    // `finished` run on the main thread, and not at all once `receiver` is
    // gone; a true `cancel` stops the work at its next progress report.
    // False, with nothing started, when canPreview() is false.
    bool preparePreview(const std::filesystem::path& source, QObject* receiver,
                        std::shared_ptr<const std::atomic<bool>> cancel, std::function<void(double)> progress,
                        std::function<void(PreviewResult)> finished);
    // Prepares a comparison of `source` with `written`, the file a batch made
    // from it, on a worker of the pool; the model is not needed. Callbacks and
    // `cancel` as for preparePreview.
    void prepareComparison(const std::filesystem::path& source, const std::filesystem::path& written, QObject* receiver,
                           std::shared_ptr<const std::atomic<bool>> cancel, std::function<void(double)> progress,
                           std::function<void(PreviewResult)> finished);

    // Plans a batch of dropped files (in drop order) with the current
    // settings, asking about existing outputs on this thread, and starts it
    // unless nothing is left to process. Main thread.
    void processDroppedFiles(const std::vector<std::filesystem::path>& urls);

    // Starts a batch of the files the last batch's failure left unprocessed
    // (the window's way to keep going after a failure), as a drop of them
    // would. Nothing when there are none.
    void processRemainingFiles();

    // Whether `text` may be a file-name prefix or suffix (isAllowedInFileName).
    static bool isAllowedInFileName(const QString& text);

signals:
    void modelIsLoadingChanged();
    void modelIsProcessingChanged();
    void progressChanged();
    void errorChanged();
    void alertIsDisplayedChanged();
    void nameOfFileBeingProcessedChanged();
    void indexOfFileBeingProcessedChanged();
    void numberOfFilesInBatchChanged();
    void batchOutcomeChanged();
    void secondsLeftInBatchChanged();
    void shouldCancelProcessingChanged();
    void wetDryMixChanged();
    void filenamePrefixChanged();
    void filenameSuffixChanged();
    void loudnessTargetChanged();
    void outputFormatMatchesInputChanged();
    void outputFormatChanged();
    void outputFolderChanged();
    // A file of the batch was written (at `target`, or where the writer fell back to).
    void fileFinished(const QString& source, const QString& writtenTo);
    // A file of the batch was written with `warnings` for people (damaged
    // stretches of the source, clipped samples); `clipped` when an integer
    // output had to clip samples. Sent before its fileFinished, and only
    // when there is something to say.
    void fileWarned(const QString& source, const QStringList& warnings, bool clipped);
    // A file was left out without a question, for `reason`.
    void fileSkipped(const QString& source, const QString& reason);
    // Every source of a drop ends in one outcome, as it happens: skipped
    // sources while the operations are made, the others during the batch.
    void fileOutcome(const vesh::Brain::FileOutcome& outcome);
    // The end-of-batch reset ran; `cancelled` when the cancel request stopped
    // the batch before its last file was written.
    void batchFinished(bool cancelled);

private:
    void loadModel();
    // Runs `change` on the main thread after every change posted before it,
    // unless the Brain is gone by then.
    template <typename Change>
    void post(Change&& change);
    void raiseAlert(AppError::Caught error, BatchFailure failure = {});
    // Runs `prepare` on a worker of the pool for preparePreview and prepareComparison.
    void prepareOnPool(QObject* receiver, std::shared_ptr<const std::atomic<bool>> cancel,
                       std::function<void(double)> progress, std::function<void(PreviewResult)> finished,
                       std::function<PreviewStretch(ProcessingOptions::ProgressHandler)> prepare);
    void setModelIsLoading(bool loading);
    void setModelIsProcessing(bool processing);
    void setProgress(Progress progress);
    void setError(AppError error);
    void setNameOfFileBeingProcessed(QString name);
    void setIndexOfFileBeingProcessed(int index);
    void setNumberOfFilesInBatch(int count);
    void setBatchOutcome(std::optional<BatchOutcome> outcome);
    // Renews secondsLeftInBatch from the batch's timing (nothing outside a batch).
    void updateSecondsLeft();
    // Follows one file's outcome in the batch outcome.
    void recordFileOutcome(const FileOutcome& outcome);
    // Tells one outcome (fileSkipped, fileWarned, fileFinished, fileOutcome).
    void tellOutcome(const FileOutcome& outcome);
    // Runs a planned batch on a worker of the pool.
    void startBatch(BatchPlan plan, BatchOptions options);
    // The existing-file question for an output that appeared while its file
    // was processed, asked on the main thread while the worker waits. A
    // cancel request (the Brain going away included) ends the wait as a
    // cancellation.
    ExistingFileAnswer askOnMainThread(const std::filesystem::path& location);
    // The existing-file question about `location`, on the main thread: the
    // batch's answer for all when one was given, else the interaction's
    // answer (offering "Apply to all" when `othersMayFollow`).
    ExistingFileAnswer answerAboutExistingFile(const std::filesystem::path& location, bool othersMayFollow);
    void store(const char* key, const QVariant& value);
    // Writes a persisted setting and signals `changed` when its value differs from `old`.
    template <typename Value>
    void storeSetting(const char* key, const Value& old, const Value& value, void (Brain::*changed)());

    std::unique_ptr<QSettings> settings_;
    // The settings when there is no store.
    QVariantMap memory_;
    UserInteraction& interaction_;
    std::unique_ptr<QThreadPool> pool_;
    // Shared by the batch and previews, which may run at the same time.
    std::shared_ptr<const VariableLengthSpeechEnhancer> speechEnhancer_;
    bool modelIsLoading_ = true;
    bool modelIsProcessing_ = false;
    Progress progress_;
    std::optional<AppError> error_;
    bool alertIsDisplayed_ = false;
    std::optional<QString> nameOfFileBeingProcessed_;
    int indexOfFileBeingProcessed_ = 0;
    int numberOfFilesInBatch_ = 0;
    std::optional<BatchOutcome> batchOutcome_;
    // Where recordFileOutcome starts looking.
    std::size_t nextFileOutcome_ = 0;
    std::atomic<bool> shouldCancelProcessing_ = false;
    ComputeUnits computeUnits_ = ComputeUnits::all;
    std::optional<std::filesystem::path> outputFolder_;
    bool continuesAfterFailure_ = false;
    // The running batch's pace: when its current file started, and the
    // written files' time.
    std::chrono::steady_clock::time_point currentFileStart_;
    double doneSeconds_ = 0.0;
    std::size_t doneFiles_ = 0;
    std::optional<double> secondsLeftInBatch_;
    // The answer given for all of the current batch's existing-file questions.
    std::optional<ExistingFileAnswer> answerForAll_;
};

}  // namespace vesh
