#pragma once

#include <QWidget>

#include <array>
#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

#include "app/Brain.h"

class QGraphicsOpacityEffect;
class QListWidget;
class QMimeData;
class QPropertyAnimation;
class QPushButton;

namespace vesh {

class LinearProgressBar;
class SymbolView;
class TextView;

// The drop area: shows one of six status displays chosen from the state of
// `Brain`, cross-fading between them, and hands dropped files to `Brain`.
// After a batch it says what became of the files until the next drop or Add
// Files. Clicking it while it is ready for files asks for files instead of a
// drag.
class DropView : public QWidget {
    Q_OBJECT

public:
    enum class State { loadingModel, chooseDestination, dragAndDropAudio, processing, cancelling, finished };
    Q_ENUM(State)

    // Opens a folder for the user; the desktop's own handler by default.
    // False when nothing could be started to show it.
    using FolderOpener = std::function<bool(const std::filesystem::path& folder)>;

    static constexpr int spacingBetweenTextAndIcon = 16;
    static constexpr int spacingBetweenTextAndProgressWheel = 12;
    static constexpr int lineSpacing = 4;
    static constexpr double iconOpacity = 0.7;
    static constexpr int iconSize = 48;
    static constexpr int bottomInset = 56;
    static constexpr int minimumDropAreaWidth = 512;
    static constexpr int minimumDropAreaHeight = 408;
    static constexpr int maximumProcessingWidth = 512;
    // Rows of written files shown before the list scrolls.
    static constexpr int visibleWrittenFiles = 6;
    // Rows of failed and unprocessed files shown before their list scrolls.
    static constexpr int visibleUnprocessedFiles = 4;

    explicit DropView(Brain& brain, QWidget* parent = nullptr);

    // The display for a state of `Brain`; the first matching rule wins:
    // loading, then idle (without a folder, after a batch worth reporting, or
    // ready), then processing or cancelling.
    static State state(bool modelIsLoading, bool modelIsProcessing, bool hasOutputFolder, bool shouldCancelProcessing,
                       bool hasFinishedBatch);
    // Whether a batch's outcome is reported: one that wrote or failed a file,
    // or was cancelled during a file; one that only skipped files, or was
    // stopped at the existing-file question, goes straight back to the ready
    // display.
    static bool isWorthReporting(const Brain::BatchOutcome& outcome);
    // "3 files cleaned · 1 skipped · 1 failed": the written files, then the
    // others by kind where there are any. A batch cancelled before it wrote
    // anything says so first: "Cancelled · nothing was written".
    static QString summaryText(const Brain::BatchOutcome& outcome);
    // The status line under the progress bar; "File 2 of 5: " leads it when
    // the batch has several files. `index` counts from 0.
    static QString processingLine(const QString& fileName, int index, int fileCount);
    // The line under the status line while a batch runs: "About 3 min left",
    // "Less than a minute left", "About 1 h 20 min left"; empty without an
    // estimate.
    static QString timeLeftText(const std::optional<double>& seconds);
    // Files are accepted only when the model is loaded, nothing is being
    // processed and a destination is chosen.
    static bool acceptsDrop(bool modelIsLoading, bool modelIsProcessing, bool hasOutputFolder);
    // What the progress bar shows: the mean of the channels' fractions, 0 for none.
    static double progressValue(const std::vector<double>& channels);
    // The local files of a drop, in drop order; other items are skipped.
    static std::vector<std::filesystem::path> droppedFiles(const QMimeData& mimeData);
    // Why a file of a finished batch was not written, as its row in the
    // finished display says it: "failed: the file is damaged or is not an
    // audio file", "not processed: an earlier file failed". Empty for a
    // written or skipped file.
    static QString unprocessedReason(const Brain::FileOutcome& file, bool outputFormatMatchesInput);
    // The line under the choose-destination display while files handed over
    // at launch wait for a folder; empty for none.
    static QString waitingText(std::size_t fileCount);

    // The state now shown (or fading in).
    State state() const { return state_; }
    double displayedProgress() const;
    QString processingText() const;
    // The time-left line now shown; empty when there is none.
    QString timeLeftLine() const;
    // Everything the current display says, on one line; also the drop area's
    // accessible description.
    QString statusText() const;
    QPushButton* cancelButton() const { return cancelButton_; }
    QPushButton* showInFolderButton() const { return showInFolderButton_; }
    // What "Show in Folder" said when nothing could show the folder; empty otherwise.
    QString showInFolderFailureText() const;
    // The written files of the finished batch: each row's widget holds the
    // name and a "Compare" button; the item's accessible text is the name.
    QListWidget* writtenFilesList() const { return writtenFiles_; }
    // The failed and unprocessed files of the finished batch, each row its
    // name over its reason; the item's accessible text is "name: reason".
    QListWidget* unprocessedFilesList() const { return unprocessedFiles_; }
    // "Process the remaining files": shown after a batch that a failure
    // ended before its last files.
    QPushButton* processRemainingButton() const { return processRemainingButton_; }

    // Replaces what "Show in Folder" does with the batch's output folder.
    void setFolderOpener(FolderOpener opener);

    // Files handed over at launch that wait for a destination.
    void setFilesWaiting(std::size_t fileCount);

signals:
    void stateChanged(vesh::DropView::State state);
    // The ready drop area was clicked: the user wants to choose files.
    void addFilesRequested();
    // A written file's Compare was clicked: play `written` against `source`.
    void compareRequested(const std::filesystem::path& source, const std::filesystem::path& written);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    static constexpr std::size_t stateCount = 6;

    struct Display {
        QWidget* widget = nullptr;
        TextView* text = nullptr;
        QGraphicsOpacityEffect* opacity = nullptr;
        QPropertyAnimation* fade = nullptr;
    };

    bool acceptsDropNow() const;
    // The ready and the finished drop area are clicked to choose files.
    bool takesClickForFiles() const;
    State stateOfBrain() const;
    void updateState();
    void updateProgress();
    void updateFileName();
    void updateTimeLeft();
    void updateStatus();
    void updateFinishedDisplay();
    void addWrittenFile(const Brain::FileOutcome& file);
    void addUnprocessedFile(const Brain::FileOutcome& file);
    void showDisplay(State state, bool animated);
    QWidget* makeSymbolDisplay(const QString& symbol, TextView* text, QWidget* below = nullptr);
    QWidget* makeSpinnerDisplay(TextView* text);
    QWidget* makeProcessingDisplay();
    QWidget* makeFinishedDisplay(TextView* summary);

    Brain& brain_;
    State state_;
    std::array<Display, stateCount> displays_;
    LinearProgressBar* progressBar_ = nullptr;
    TextView* processingText_ = nullptr;
    TextView* timeLeftText_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    TextView* filesWaitingText_ = nullptr;
    std::size_t filesWaiting_ = 0;
    SymbolView* successSymbol_ = nullptr;
    SymbolView* failureSymbol_ = nullptr;
    SymbolView* cancelledSymbol_ = nullptr;
    QListWidget* writtenFiles_ = nullptr;
    QListWidget* unprocessedFiles_ = nullptr;
    QPushButton* showInFolderButton_ = nullptr;
    QPushButton* processRemainingButton_ = nullptr;
    TextView* showInFolderFailure_ = nullptr;
    FolderOpener openFolder_;
};

}  // namespace vesh
