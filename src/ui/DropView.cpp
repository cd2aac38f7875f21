#include "ui/DropView.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGraphicsOpacityEffect>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <numeric>

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

std::size_t indexOf(DropView::State state) { return static_cast<std::size_t>(state); }

TextView* makeStatusText(const QString& text, QWidget* parent) {
    auto* view = new TextView(LabelLevel::secondary, Qt::AlignHCenter, parent);
    view->setLineSpacing(DropView::lineSpacing);
    view->setText(text);
    return view;
}

}  // namespace

DropView::DropView(Brain& brain, QWidget* parent) : QWidget(parent), brain_(brain), state_(stateOfBrain()) {
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
    const std::array<TextView*, stateCount> texts{
        makeStatusText(QStringLiteral("Loading model…"), this),
        makeStatusText(QStringLiteral("Select a destination for the processed audio\n"
                                      "by clicking “Choose a folder” in the sidebar."),
                       this),
        makeStatusText(QStringLiteral("Drag and drop audio files here\nto remove noise."), this),
        nullptr,
        makeStatusText(QStringLiteral("Cancelling…"), this),
    };
    const std::array<QWidget*, stateCount> widgets{
        makeSpinnerDisplay(texts[0]),
        makeSymbolDisplay(QStringLiteral("folder.circle.fill"), texts[1], filesWaiting),
        makeSymbolDisplay(QStringLiteral("waveform.circle.fill"), texts[2]),
        makeProcessingDisplay(),
        makeSpinnerDisplay(texts[4]),
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
    connect(&brain_, &Brain::progressChanged, this, &DropView::updateProgress);
    connect(&brain_, &Brain::nameOfFileBeingProcessedChanged, this, &DropView::updateFileName);
    // A finished file's full bar does not stay under the next file's name,
    // even when that name is the same.
    connect(&brain_, &Brain::fileFinished, this, [this] { progressBar_->setValue(0.0); });

    updateProgress();
    updateFileName();
    cancelButton_->setEnabled(state_ == State::processing);
    showDisplay(state_, false);
}

DropView::State DropView::state(bool modelIsLoading, bool modelIsProcessing, bool hasOutputFolder,
                                bool shouldCancelProcessing) {
    if (modelIsLoading) {
        return State::loadingModel;
    }
    if (!modelIsProcessing) {
        return hasOutputFolder ? State::dragAndDropAudio : State::chooseDestination;
    }
    return shouldCancelProcessing ? State::cancelling : State::processing;
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

QString DropView::statusText() const {
    QString text = displays_[indexOf(state_)].text->accessibleName();
    if (state_ == State::chooseDestination && filesWaiting_ > 0) {
        text += QLatin1Char(' ') + filesWaitingText_->text();
    }
    return text;
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

DropView::State DropView::stateOfBrain() const {
    return state(brain_.modelIsLoading(), brain_.modelIsProcessing(), brain_.outputFolder().has_value(),
                 brain_.shouldCancelProcessing());
}

void DropView::updateState() {
    const State newState = stateOfBrain();
    if (newState == state_) {
        return;
    }
    state_ = newState;
    cancelButton_->setEnabled(state_ == State::processing);
    showDisplay(state_, isVisible());
    updateStatus();
    emit stateChanged(state_);
}

void DropView::updateProgress() { progressBar_->setValue(progressValue(brain_.progress().channels)); }

void DropView::updateFileName() {
    processingText_->setText(QStringLiteral("Denoising “") + brain_.nameOfFileBeingProcessedText() +
                             QStringLiteral("”…"));
    // A new file starts with an empty bar until it reports progress.
    progressBar_->setValue(0.0);
    updateStatus();
}

void DropView::updateStatus() {
    // Only the ready drop area is clicked to choose files.
    if (state_ == State::dragAndDropAudio) {
        setCursor(Qt::PointingHandCursor);
    } else {
        unsetCursor();
    }
    setAccessibleDescription(statusText());
}

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

    auto* blockLayout = new QVBoxLayout(block);
    blockLayout->setContentsMargins(0, 0, 0, 0);
    blockLayout->setSpacing(10);
    blockLayout->addWidget(progressBar_);
    blockLayout->addLayout(row);

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

void DropView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), detailBackgroundColor(palette()));
}

void DropView::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && state_ == State::dragAndDropAudio) {
        event->accept();
        return;
    }
    QWidget::mousePressEvent(event);
}

void DropView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && state_ == State::dragAndDropAudio &&
        rect().contains(event->position().toPoint())) {
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
