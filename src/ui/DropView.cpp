#include "ui/DropView.h"

#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGraphicsOpacityEffect>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QLocale>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>

#include "app/AppError.h"
#include "app/Brain.h"
#include "ui/Appearance.h"
#include "ui/FilePaths.h"
#include "ui/LinearProgressBar.h"
#include "ui/ProgressSpinner.h"
#include "ui/SymbolView.h"
#include "ui/TextView.h"

namespace vesh {

namespace {

constexpr int fadeMilliseconds = 250;
// Between a written file's name and its Compare button.
constexpr int rowSpacing = 8;

std::size_t indexOf(DropView::State state) { return static_cast<std::size_t>(state); }

// The file manager, through the desktop's handler for folders.
bool openWithDesktop(const std::filesystem::path& folder) {
    return QDesktopServices::openUrl(QUrl::fromLocalFile(toQString(folder)));
}

// A list of rows on the drop area's own background: the names are read, not chosen.
QListWidget* makeFileList(const QString& objectName, const QString& accessibleName, QWidget* parent) {
    auto* list = new QListWidget(parent);
    list->setObjectName(objectName);
    list->setAccessibleName(accessibleName);
    list->setFrameShape(QFrame::NoFrame);
    list->setMaximumWidth(DropView::maximumProcessingWidth);
    list->setTextElideMode(Qt::ElideMiddle);
    list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list->setSelectionMode(QAbstractItemView::NoSelection);
    list->setSpacing(1);
    QPalette listPalette = list->palette();
    listPalette.setColor(QPalette::Base, Qt::transparent);
    list->setPalette(listPalette);
    list->viewport()->setCursor(Qt::ArrowCursor);
    return list;
}

// Shows up to `visibleRows` rows of `list` (rows of one height) before it
// scrolls, and hides it when it has none.
void fitFileList(QListWidget& list, int visibleRows) {
    const int rows = std::min(list.count(), visibleRows);
    const int rowHeight = rows > 0 ? list.itemWidget(list.item(0))->sizeHint().height() : 0;
    list.setFixedHeight(rows * (rowHeight + 2 * list.spacing()) + 2 * list.frameWidth());
    list.setVisible(rows > 0);
}

QString withoutFinalStop(QString text) {
    if (text.endsWith(QLatin1Char('.'))) text.chop(1);
    return text;
}

TextView* makeStatusText(const QString& text, QWidget* parent) {
    auto* view = new TextView(LabelLevel::secondary, Qt::AlignHCenter, parent);
    view->setLineSpacing(DropView::lineSpacing);
    view->setText(text);
    return view;
}

}  // namespace

DropView::DropView(Brain& brain, QWidget* parent)
    : QWidget(parent), brain_(brain), state_(stateOfBrain()), openFolder_(openWithDesktop) {
    setAcceptDrops(true);
    setMinimumSize(minimumDropAreaWidth, minimumDropAreaHeight);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setAccessibleName(QStringLiteral("Drop area"));

    // The waiting line with the space above it, so that both go when it goes.
    auto* filesWaiting = new QWidget(this);
    auto* filesWaitingLayout = new QVBoxLayout(filesWaiting);
    filesWaitingLayout->setContentsMargins(0, spacingBetweenTextAndIcon, 0, 0);
    filesWaitingText_ = new TextView(LabelLevel::primary, Qt::AlignHCenter, filesWaiting);
    filesWaitingText_->setObjectName(QStringLiteral("filesWaiting"));
    filesWaitingLayout->addWidget(filesWaitingText_);
    filesWaiting->hide();
    auto* summary = makeStatusText(QString(), this);
    summary->setObjectName(QStringLiteral("summary"));
    const std::array<TextView*, stateCount> texts{
        makeStatusText(QStringLiteral("Loading model…"), this),
        makeStatusText(QStringLiteral("Select a destination for the processed audio\n"
                                      "by clicking “Choose a folder” in the sidebar."),
                       this),
        makeStatusText(QStringLiteral("Drag and drop audio files here\nto remove noise."), this),
        nullptr,
        makeStatusText(QStringLiteral("Cancelling…"), this),
        summary,
    };
    const std::array<QWidget*, stateCount> widgets{
        makeSpinnerDisplay(texts[0]),
        makeSymbolDisplay(QStringLiteral("folder.circle.fill"), texts[1], filesWaiting),
        makeSymbolDisplay(QStringLiteral("waveform.circle.fill"), texts[2]),
        makeProcessingDisplay(),
        makeSpinnerDisplay(texts[4]),
        makeFinishedDisplay(summary),
    };

    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(0, 0, 0, bottomInset);
    for (std::size_t i = 0; i < stateCount; ++i) {
        Display& display = displays_[i];
        display.widget = widgets[i];
        display.text = texts[i] ? texts[i] : processingText_;
        display.opacity = new QGraphicsOpacityEffect(display.widget);
        display.widget->setGraphicsEffect(display.opacity);
        display.fade = new QPropertyAnimation(display.opacity, "opacity", this);
        display.fade->setDuration(fadeMilliseconds);
        display.fade->setEasingCurve(QEasingCurve::InOutQuad);
        connect(display.fade, &QPropertyAnimation::finished, display.widget, [&display] {
            if (display.opacity->opacity() == 0.0) {
                display.widget->hide();
            }
        });
        layout->addWidget(display.widget, 0, 0);
    }

    connect(&brain_, &Brain::modelIsLoadingChanged, this, &DropView::updateState);
    connect(&brain_, &Brain::modelIsProcessingChanged, this, &DropView::updateState);
    connect(&brain_, &Brain::outputFolderChanged, this, &DropView::updateState);
    connect(&brain_, &Brain::shouldCancelProcessingChanged, this, &DropView::updateState);
    connect(&brain_, &Brain::batchOutcomeChanged, this, &DropView::updateState);
    connect(&brain_, &Brain::progressChanged, this, &DropView::updateProgress);
    connect(&brain_, &Brain::nameOfFileBeingProcessedChanged, this, &DropView::updateFileName);
    connect(&brain_, &Brain::indexOfFileBeingProcessedChanged, this, &DropView::updateFileName);
    connect(&brain_, &Brain::numberOfFilesInBatchChanged, this, &DropView::updateFileName);
    connect(&brain_, &Brain::secondsLeftInBatchChanged, this, &DropView::updateTimeLeft);
    // A finished file's full bar does not stay under the next file's name,
    // even when that name is the same.
    connect(&brain_, &Brain::fileFinished, this, [this] { progressBar_->setValue(0.0); });

    updateProgress();
    updateFileName();
    updateTimeLeft();
    updateFinishedDisplay();
    cancelButton_->setEnabled(state_ == State::processing);
    showDisplay(state_, false);
}

DropView::State DropView::state(bool modelIsLoading, bool modelIsProcessing, bool hasOutputFolder,
                                bool shouldCancelProcessing, bool hasFinishedBatch) {
    if (modelIsLoading) {
        return State::loadingModel;
    }
    if (!modelIsProcessing) {
        if (!hasOutputFolder) {
            return State::chooseDestination;
        }
        return hasFinishedBatch ? State::finished : State::dragAndDropAudio;
    }
    return shouldCancelProcessing ? State::cancelling : State::processing;
}

bool DropView::isWorthReporting(const Brain::BatchOutcome& outcome) {
    using Status = Brain::FileOutcome::Status;
    return outcome.count(Status::written) > 0 || outcome.count(Status::failed) > 0 ||
           outcome.count(Status::cancelled) > 0;
}

QString DropView::summaryText(const Brain::BatchOutcome& outcome) {
    using Status = Brain::FileOutcome::Status;
    const std::size_t written = outcome.count(Status::written);
    const bool cancelled = outcome.count(Status::cancelled) > 0;
    QString text = written == 0 && cancelled ? QStringLiteral("Cancelled · nothing was written")
                   : written == 0            ? QStringLiteral("No files cleaned")
                   : written == 1            ? QStringLiteral("1 file cleaned")
                                             : QStringLiteral("%1 files cleaned").arg(written);
    // The file stopped by Cancel was not processed either, as far as the user is concerned.
    const std::pair<std::size_t, const char*> others[] = {
        {outcome.count(Status::skipped), "skipped"},
        {outcome.count(Status::failed), "failed"},
        {outcome.count(Status::notProcessed) + outcome.count(Status::cancelled), "not processed"},
        {static_cast<std::size_t>(std::count_if(outcome.files.begin(), outcome.files.end(),
                                                [](const Brain::FileOutcome& file) { return file.clipped; })),
         "clipped"},
    };
    for (const auto& [count, what] : others) {
        if (count > 0) {
            text += QStringLiteral(" · %1 %2").arg(count).arg(QLatin1String(what));
        }
    }
    return text;
}

QString DropView::processingLine(const QString& fileName, int index, int fileCount) {
    const QString line = QStringLiteral("Denoising “") + fileName + QStringLiteral("”…");
    if (fileCount < 2) {
        return line;
    }
    return QStringLiteral("File %1 of %2: ").arg(index + 1).arg(fileCount) + line;
}

QString DropView::timeLeftText(const std::optional<double>& seconds) {
    if (!seconds) {
        return {};
    }
    if (*seconds < 60.0) {
        return QStringLiteral("Less than a minute left");
    }
    const long long minutes = std::llround(*seconds / 60.0);
    if (minutes < 60) {
        return QStringLiteral("About %1 min left").arg(minutes);
    }
    const long long hours = minutes / 60;
    return minutes % 60 == 0 ? QStringLiteral("About %1 h left").arg(hours)
                             : QStringLiteral("About %1 h %2 min left").arg(hours).arg(minutes % 60);
}

bool DropView::acceptsDrop(bool modelIsLoading, bool modelIsProcessing, bool hasOutputFolder) {
    return !modelIsLoading && !modelIsProcessing && hasOutputFolder;
}

double DropView::progressValue(const std::vector<double>& channels) {
    if (channels.empty()) {
        return 0.0;
    }
    return std::accumulate(channels.begin(), channels.end(), 0.0) / static_cast<double>(channels.size());
}

std::vector<std::filesystem::path> DropView::droppedFiles(const QMimeData& mimeData) {
    std::vector<std::filesystem::path> files;
    for (const QUrl& url : mimeData.urls()) {
        if (url.isLocalFile()) {
            files.push_back(toPath(url.toLocalFile()));
        }
    }
    return files;
}

QString DropView::unprocessedReason(const Brain::FileOutcome& file, bool outputFormatMatchesInput) {
    using Status = Brain::FileOutcome::Status;
    QString why;
    QString what;
    switch (file.status) {
    case Status::written:
    case Status::skipped: return {};
    case Status::failed:
        what = QStringLiteral("failed");
        if (file.error) {
            why = QString::fromStdString(AppError(*file.error, AppState{outputFormatMatchesInput}).description());
        }
        break;
    case Status::notProcessed:
    case Status::cancelled:
        what = QStringLiteral("not processed");
        why = file.reason.empty() && file.status == Status::cancelled ? QStringLiteral("processing was cancelled")
                                                                      : QString::fromStdString(file.reason);
        break;
    }
    if (why.isEmpty()) return what;
    // The reason continues the sentence; the application's own descriptions start one.
    why[0] = why[0].toLower();
    return what + QStringLiteral(": ") + withoutFinalStop(why);
}

QString DropView::waitingText(std::size_t fileCount) {
    if (fileCount == 0) {
        return {};
    }
    if (fileCount == 1) {
        return QStringLiteral("1 file waiting: choose a destination");
    }
    return QStringLiteral("%1 files waiting: choose a destination").arg(fileCount);
}

double DropView::displayedProgress() const { return progressBar_->value(); }

QString DropView::processingText() const { return processingText_->text(); }

QString DropView::timeLeftLine() const { return timeLeftText_->text(); }

QString DropView::statusText() const {
    QString text = displays_[indexOf(state_)].text->accessibleName();
    if (state_ == State::chooseDestination && filesWaiting_ > 0) {
        text += QLatin1Char(' ') + filesWaitingText_->text();
    }
    if (const QString failure = showInFolderFailureText(); !failure.isEmpty()) {
        text += QLatin1Char(' ') + failure;
    }
    return text;
}

QString DropView::showInFolderFailureText() const {
    return state_ == State::finished && !showInFolderFailure_->isHidden() ? showInFolderFailure_->accessibleName()
                                                                          : QString();
}

void DropView::setFilesWaiting(std::size_t fileCount) {
    filesWaiting_ = fileCount;
    filesWaitingText_->setText(waitingText(fileCount));
    filesWaitingText_->parentWidget()->setVisible(fileCount > 0);
    updateStatus();
}

bool DropView::acceptsDropNow() const {
    return acceptsDrop(brain_.modelIsLoading(), brain_.modelIsProcessing(), brain_.outputFolder().has_value());
}

void DropView::setFolderOpener(FolderOpener opener) { openFolder_ = std::move(opener); }

DropView::State DropView::stateOfBrain() const {
    const auto& outcome = brain_.batchOutcome();
    return state(brain_.modelIsLoading(), brain_.modelIsProcessing(), brain_.outputFolder().has_value(),
                 brain_.shouldCancelProcessing(), outcome && isWorthReporting(*outcome));
}

void DropView::updateState() {
    const State newState = stateOfBrain();
    if (newState == state_) {
        return;
    }
    // The cancelling display's spinner would lie over the progress bar while the two cross-fade.
    const bool cancelled = state_ == State::processing && newState == State::cancelling;
    state_ = newState;
    cancelButton_->setEnabled(state_ == State::processing);
    updateFinishedDisplay();
    showDisplay(state_, isVisible() && !cancelled);
    updateStatus();
    emit stateChanged(state_);
}

void DropView::updateProgress() { progressBar_->setValue(progressValue(brain_.progress().channels)); }

void DropView::updateFileName() {
    processingText_->setText(processingLine(brain_.nameOfFileBeingProcessedText(), brain_.indexOfFileBeingProcessed(),
                                            brain_.numberOfFilesInBatch()));
    // A new file starts with an empty bar until it reports progress.
    progressBar_->setValue(0.0);
    updateStatus();
}

void DropView::updateTimeLeft() {
    // An empty line keeps its room, so that the lines above it do not move.
    timeLeftText_->setText(timeLeftText(brain_.secondsLeftInBatch()));
}

void DropView::updateStatus() {
    if (takesClickForFiles()) {
        setCursor(Qt::PointingHandCursor);
    } else {
        unsetCursor();
    }
    setAccessibleDescription(statusText());
}

void DropView::updateFinishedDisplay() {
    // Filled while shown only: the outcome changes file by file during a batch.
    if (state_ != State::finished) {
        return;
    }
    using Status = Brain::FileOutcome::Status;
    const Brain::BatchOutcome& outcome = *brain_.batchOutcome();
    displays_[indexOf(State::finished)].text->setText(summaryText(outcome));
    // Skipped files and a cancelled rest were the user's choice; a failure was not.
    const bool failed = outcome.count(Status::failed) > 0;
    const bool nothingWritten = !failed && outcome.count(Status::written) == 0;
    successSymbol_->setVisible(!failed && !nothingWritten);
    failureSymbol_->setVisible(failed);
    cancelledSymbol_->setVisible(nothingWritten);
    showInFolderFailure_->hide();

    writtenFiles_->clear();
    unprocessedFiles_->clear();
    for (const Brain::FileOutcome& file : outcome.files) {
        if (file.status == Status::written) addWrittenFile(file);
        if (!unprocessedReason(file, false).isEmpty()) addUnprocessedFile(file);
    }
    fitFileList(*writtenFiles_, visibleWrittenFiles);
    fitFileList(*unprocessedFiles_, visibleUnprocessedFiles);
    showInFolderButton_->setVisible(writtenFiles_->count() > 0);
    processRemainingButton_->setVisible(!outcome.filesLeftByFailure().empty());
}

void DropView::addWrittenFile(const Brain::FileOutcome& file) {
    const std::filesystem::path& source = file.source;
    const std::filesystem::path& target = file.target;
    // The row's name and button are its widget; the item keeps the name for
    // screen readers and the full path as its tooltip.
    auto* item = new QListWidgetItem(writtenFiles_);
    const QString name = toQString(target.filename());
    item->setData(Qt::AccessibleTextRole, name);
    item->setToolTip(toQString(target));

    auto* row = new QWidget;
    auto* compare = new QPushButton(QStringLiteral("Compare"), row);
    compare->setObjectName(QStringLiteral("compare"));
    compare->setAccessibleName(QStringLiteral("Compare %1 with its original").arg(name));
    compare->setToolTip(QStringLiteral("Listen to the original and the written file in turn."));
    compare->setCursor(Qt::ArrowCursor);
    connect(compare, &QPushButton::clicked, this, [this, source, target] { emit compareRequested(source, target); });
    // Under a loudness target the row tells the loudness the file reached.
    QLabel* loudness = nullptr;
    if (file.loudness && !file.loudness->silent) {
        loudness = new QLabel(QLocale().toString(file.loudness->reachedLoudness, 'f', 1) + QStringLiteral(" LUFS"), row);
        loudness->setObjectName(QStringLiteral("reachedLoudness"));
        loudness->setToolTip(file.loudness->limitedByTruePeak
                                 ? QStringLiteral("Kept below the loudness target so that peaks stay below -1 dBTP.")
                                 : QStringLiteral("The loudness the file was brought to."));
        item->setData(Qt::AccessibleTextRole, name + QStringLiteral(", ") + loudness->text());
    }
    auto* label = new QLabel(row);
    label->setTextFormat(Qt::PlainText);
    const int loudnessWidth = loudness ? loudness->sizeHint().width() + rowSpacing : 0;
    const int room = maximumProcessingWidth - compare->sizeHint().width() - loudnessWidth - 3 * rowSpacing;
    label->setText(label->fontMetrics().elidedText(name, Qt::ElideMiddle, room));
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(rowSpacing, 0, rowSpacing, 0);
    layout->setSpacing(rowSpacing);
    layout->addWidget(label, 1);
    if (loudness) layout->addWidget(loudness);
    layout->addWidget(compare);
    item->setSizeHint(row->sizeHint());
    writtenFiles_->setItemWidget(item, row);
}

void DropView::addUnprocessedFile(const Brain::FileOutcome& file) {
    const QString name = toQString(file.source.filename());
    const QString reason = unprocessedReason(file, brain_.outputFormatMatchesInput());
    auto* item = new QListWidgetItem(unprocessedFiles_);
    item->setData(Qt::AccessibleTextRole, name + QStringLiteral(": ") + reason);
    QString toolTip = toQString(file.source);
    if (file.error) {
        // The cause in the system's or the decoder's own words, as the alert gave it.
        const std::string details = AppError(*file.error, AppState{brain_.outputFormatMatchesInput()}).details();
        if (!details.empty()) toolTip += QStringLiteral("\nDetails: ") + QString::fromStdString(details);
    }
    item->setToolTip(toolTip);

    auto* row = new QWidget;
    const int room = maximumProcessingWidth - 2 * rowSpacing;
    auto* nameLabel = new QLabel(row);
    nameLabel->setTextFormat(Qt::PlainText);
    nameLabel->setText(nameLabel->fontMetrics().elidedText(name, Qt::ElideMiddle, room));
    auto* reasonLabel = new QLabel(row);
    reasonLabel->setTextFormat(Qt::PlainText);
    QPalette reasonPalette = reasonLabel->palette();
    // In a list's viewport a label draws with the text role.
    for (const QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text}) {
        reasonPalette.setColor(role, labelColor(reasonPalette, LabelLevel::secondary));
    }
    reasonLabel->setPalette(reasonPalette);
    reasonLabel->setText(reasonLabel->fontMetrics().elidedText(reason, Qt::ElideRight, room));
    auto* layout = new QVBoxLayout(row);
    layout->setContentsMargins(rowSpacing, 2, rowSpacing, 2);
    layout->setSpacing(0);
    layout->addWidget(nameLabel);
    layout->addWidget(reasonLabel);
    item->setSizeHint(row->sizeHint());
    unprocessedFiles_->setItemWidget(item, row);
}

bool DropView::takesClickForFiles() const { return state_ == State::dragAndDropAudio || state_ == State::finished; }

void DropView::showDisplay(State state, bool animated) {
    for (std::size_t i = 0; i < stateCount; ++i) {
        Display& display = displays_[i];
        const bool current = i == indexOf(state);
        const double target = current ? 1.0 : 0.0;
        // Only the display being shown takes the mouse.
        display.widget->setAttribute(Qt::WA_TransparentForMouseEvents, !current);
        display.fade->stop();
        if (current) {
            display.widget->show();
            display.widget->raise();
        }
        if (animated && display.widget->isVisible()) {
            display.fade->setStartValue(display.opacity->opacity());
            display.fade->setEndValue(target);
            display.fade->start();
        } else {
            display.opacity->setOpacity(target);
            display.widget->setVisible(current);
        }
    }
}

QWidget* DropView::makeSymbolDisplay(const QString& symbol, TextView* text, QWidget* below) {
    auto* display = new QWidget(this);
    auto* layout = new QVBoxLayout(display);
    layout->setContentsMargins(16, 0, 16, 0);
    layout->setSpacing(0);
    layout->addStretch();
    layout->addWidget(new SymbolView(symbol, iconSize, LabelLevel::tertiary, iconOpacity, display), 0,
                      Qt::AlignHCenter);
    layout->addSpacing(spacingBetweenTextAndIcon);
    layout->addWidget(text, 0, Qt::AlignHCenter);
    if (below) {
        layout->addWidget(below, 0, Qt::AlignHCenter);
    }
    layout->addStretch();
    return display;
}

QWidget* DropView::makeSpinnerDisplay(TextView* text) {
    auto* display = new QWidget(this);
    auto* layout = new QVBoxLayout(display);
    layout->setContentsMargins(16, 0, 16, 0);
    layout->setSpacing(0);
    layout->addStretch();
    auto* spinner = new ProgressSpinner(display);
    spinner->setAccessibleName(text->text());
    layout->addWidget(spinner, 0, Qt::AlignHCenter);
    layout->addSpacing(spacingBetweenTextAndProgressWheel);
    layout->addWidget(text, 0, Qt::AlignHCenter);
    layout->addStretch();
    return display;
}

QWidget* DropView::makeProcessingDisplay() {
    auto* display = new QWidget(this);
    auto* block = new QWidget(display);
    block->setMaximumWidth(maximumProcessingWidth);
    block->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);

    progressBar_ = new LinearProgressBar(block);
    progressBar_->setAccessibleName(QStringLiteral("Progress"));
    processingText_ = new TextView(LabelLevel::secondary, Qt::AlignLeft, block);
    processingText_->setElideMode(Qt::ElideMiddle);
    cancelButton_ = new QPushButton(QStringLiteral("Cancel"), block);
    cancelButton_->setObjectName(QStringLiteral("cancel"));
    connect(cancelButton_, &QPushButton::clicked, this, [this] { brain_.setShouldCancelProcessing(true); });

    auto* row = new QHBoxLayout;
    row->setSpacing(12);
    row->addWidget(processingText_, 1, Qt::AlignVCenter);
    row->addWidget(cancelButton_, 0, Qt::AlignVCenter);

    timeLeftText_ = new TextView(LabelLevel::tertiary, Qt::AlignLeft, block);
    timeLeftText_->setObjectName(QStringLiteral("timeLeft"));

    auto* blockLayout = new QVBoxLayout(block);
    blockLayout->setContentsMargins(0, 0, 0, 0);
    blockLayout->setSpacing(10);
    blockLayout->addWidget(progressBar_);
    blockLayout->addLayout(row);
    blockLayout->addWidget(timeLeftText_);

    // Centred, as wide as the pane allows up to the block's maximum.
    auto* centring = new QHBoxLayout;
    centring->setContentsMargins(32, 0, 32, 0);
    centring->addStretch(1);
    centring->addWidget(block, 1000);
    centring->addStretch(1);

    auto* layout = new QVBoxLayout(display);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addStretch();
    layout->addLayout(centring);
    layout->addStretch();
    return display;
}

QWidget* DropView::makeFinishedDisplay(TextView* summary) {
    auto* display = new QWidget(this);
    successSymbol_ =
        new SymbolView(QStringLiteral("checkmark.circle.fill"), iconSize, LabelLevel::tertiary, iconOpacity, display);
    failureSymbol_ = new SymbolView(QStringLiteral("exclamationmark.circle.fill"), iconSize, LabelLevel::tertiary,
                                    iconOpacity, display);
    cancelledSymbol_ =
        new SymbolView(QStringLiteral("xmark.circle.fill"), iconSize, LabelLevel::tertiary, iconOpacity, display);

    writtenFiles_ = makeFileList(QStringLiteral("writtenFiles"), QStringLiteral("Cleaned files"), display);
    unprocessedFiles_ = makeFileList(QStringLiteral("unprocessedFiles"), QStringLiteral("Files not cleaned"), display);

    showInFolderButton_ = new QPushButton(QStringLiteral("Show in Folder"), display);
    showInFolderButton_->setObjectName(QStringLiteral("showInFolder"));
    showInFolderButton_->setCursor(Qt::ArrowCursor);
    processRemainingButton_ = new QPushButton(QStringLiteral("Process the remaining files"), display);
    processRemainingButton_->setObjectName(QStringLiteral("processRemaining"));
    processRemainingButton_->setToolTip(QStringLiteral("Clean the files that the failure left unprocessed."));
    processRemainingButton_->setCursor(Qt::ArrowCursor);
    connect(processRemainingButton_, &QPushButton::clicked, this, [this] { brain_.processRemainingFiles(); });
    showInFolderFailure_ = makeStatusText(QString(), display);
    showInFolderFailure_->setObjectName(QStringLiteral("showInFolderFailure"));
    showInFolderFailure_->hide();
    connect(showInFolderButton_, &QPushButton::clicked, this, [this] {
        const auto& outcome = brain_.batchOutcome();
        if (!outcome || openFolder_(outcome->outputFolder)) return;
        // Without a file manager the click would do nothing visible: the path is shown instead.
        showInFolderFailure_->setText(QStringLiteral("No file manager is available to show the folder.\n"
                                                     "The files are in “%1”.")
                                          .arg(toQString(outcome->outputFolder)));
        showInFolderFailure_->show();
        updateStatus();
    });

    auto* layout = new QVBoxLayout(display);
    layout->setContentsMargins(32, 0, 32, 0);
    layout->setSpacing(0);
    layout->addStretch();
    layout->addWidget(successSymbol_, 0, Qt::AlignHCenter);
    layout->addWidget(failureSymbol_, 0, Qt::AlignHCenter);
    layout->addWidget(cancelledSymbol_, 0, Qt::AlignHCenter);
    layout->addSpacing(spacingBetweenTextAndIcon);
    layout->addWidget(summary, 0, Qt::AlignHCenter);
    layout->addSpacing(spacingBetweenTextAndProgressWheel);
    layout->addWidget(writtenFiles_);
    layout->addWidget(unprocessedFiles_);
    layout->addSpacing(spacingBetweenTextAndProgressWheel);
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(rowSpacing);
    buttons->addStretch();
    buttons->addWidget(showInFolderButton_);
    buttons->addWidget(processRemainingButton_);
    buttons->addStretch();
    layout->addLayout(buttons);
    layout->addSpacing(spacingBetweenTextAndProgressWheel);
    layout->addWidget(showInFolderFailure_, 0, Qt::AlignHCenter);
    layout->addStretch();
    return display;
}

void DropView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), detailBackgroundColor(palette()));
}

void DropView::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && takesClickForFiles()) {
        event->accept();
        return;
    }
    QWidget::mousePressEvent(event);
}

void DropView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && takesClickForFiles() && rect().contains(event->position().toPoint())) {
        emit addFilesRequested();
        return;
    }
    QWidget::mouseReleaseEvent(event);
}

void DropView::dragEnterEvent(QDragEnterEvent* event) {
    if (acceptsDropNow()) {
        event->acceptProposedAction();
    } else {
        event->ignore();
    }
}

void DropView::dragMoveEvent(QDragMoveEvent* event) {
    if (acceptsDropNow()) {
        event->acceptProposedAction();
    } else {
        event->ignore();
    }
}

void DropView::dropEvent(QDropEvent* event) {
    if (!acceptsDropNow()) {
        event->ignore();
        return;
    }
    // The files are read, never taken away from where they were dragged.
    if (event->possibleActions() & Qt::CopyAction) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->acceptProposedAction();
    }
    // The drag ends now; the existing-file question may be asked afterwards.
    QTimer::singleShot(0, this,
                       [this, files = droppedFiles(*event->mimeData())] { brain_.processDroppedFiles(files); });
}

}  // namespace vesh
