#include "ui/PreviewDialog.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QIODevice>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QMediaDevices>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QVBoxLayout>

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "app/AppError.h"
#include "ui/FilePaths.h"
#include "ui/MixSlider.h"
#include "ui/SpectrogramView.h"

namespace vesh {

namespace {

// What the sink holds ahead of what is heard: a switch or a new mix is heard
// this much later.
constexpr double bufferSeconds = 0.1;

QString minutesAndSeconds(std::int64_t samples, std::int64_t sampleRate) {
    const std::int64_t seconds = sampleRate > 0 ? samples / sampleRate : 0;
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

}  // namespace

// The stretch as an endless stream of interleaved 32-bit float frames, the
// original or the cleaned sound at the current mix, mixed as it is read. One
// position serves both, so a switch keeps the place.
class PreviewSource : public QIODevice {
public:
    PreviewSource(const PreviewStretch& stretch, QObject* parent) : QIODevice(parent), stretch_(stretch) {}

    void setCleaned(bool cleaned) { cleaned_.store(cleaned); }
    void setMix(double mix) { mix_.store(mix); }

    bool isSequential() const override { return true; }
    // Never runs dry: the stretch repeats.
    qint64 bytesAvailable() const override { return std::numeric_limits<int>::max(); }

protected:
    qint64 readData(char* data, qint64 maxSize) override {
        const std::size_t channels = stretch_.channelCount();
        const std::size_t length = stretch_.length();
        if (channels == 0 || length == 0 || maxSize <= 0) return 0;
        const std::size_t frames = static_cast<std::size_t>(maxSize) / (channels * sizeof(float));
        const bool cleaned = cleaned_.load();
        const double mix = mix_.load();
        interleaved_.resize(frames * channels);
        for (std::size_t done = 0; done < frames;) {
            const std::size_t part = std::min(frames - done, length - position_);
            for (std::size_t channel = 0; channel < channels; ++channel) {
                samples_.resize(part);
                if (cleaned) {
                    stretch_.mix(channel, position_, mix, samples_);
                } else {
                    const auto from = stretch_.original[channel].begin() + static_cast<std::ptrdiff_t>(position_);
                    std::copy(from, from + static_cast<std::ptrdiff_t>(part), samples_.begin());
                }
                for (std::size_t k = 0; k < part; ++k) interleaved_[(done + k) * channels + channel] = samples_[k];
            }
            position_ = (position_ + part) % length;
            done += part;
        }
        const std::size_t bytes = interleaved_.size() * sizeof(float);
        std::memcpy(data, interleaved_.data(), bytes);
        return static_cast<qint64>(bytes);
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    const PreviewStretch& stretch_;
    std::atomic<bool> cleaned_ = true;
    std::atomic<double> mix_ = 1.0;
    std::size_t position_ = 0;
    std::vector<float> samples_;
    std::vector<float> interleaved_;
};

PreviewDialog::PreviewDialog(Brain& brain, std::filesystem::path source, QWidget* parent)
    : PreviewDialog(brain, std::move(source), std::nullopt, parent) {}

PreviewDialog::PreviewDialog(Brain& brain, std::filesystem::path source, std::filesystem::path written,
                             QWidget* parent)
    : PreviewDialog(brain, std::move(source), std::optional(std::move(written)), parent) {}

PreviewDialog::PreviewDialog(Brain& brain, std::filesystem::path source, std::optional<std::filesystem::path> written,
                             QWidget* parent)
    : QDialog(parent), brain_(brain), source_(std::move(source)), written_(std::move(written)),
      cancel_(std::make_shared<std::atomic<bool>>(false)), titleLabel_(new QLabel(this)),
      stretchLabel_(new QLabel(this)), progressBar_(new QProgressBar(this)), messageLabel_(new QLabel(this)),
      spectrogram_(new SpectrogramView(this)), playButton_(new QPushButton(QStringLiteral("Play"), this)),
      switchButton_(new QPushButton(this)) {
    setObjectName(QStringLiteral("preview"));
    setWindowTitle(isComparison() ? QStringLiteral("Compare") : QStringLiteral("Preview"));
    setAttribute(Qt::WA_DeleteOnClose);
    // Not modal: the window stays in reach while it plays.
    setModal(false);

    // A comparison is named after the written file: it often has its original's name.
    titleLabel_->setText(toQString((isComparison() ? *written_ : source_).filename()));
    if (isComparison()) {
        titleLabel_->setToolTip(
            QStringLiteral("Written file: %1\nOriginal: %2").arg(toQString(*written_), toQString(source_)));
    }
    titleLabel_->setTextFormat(Qt::PlainText);
    QFont bold = titleLabel_->font();
    bold.setBold(true);
    titleLabel_->setFont(bold);
    stretchLabel_->setText(QStringLiteral("Preparing a 10-second stretch around the loudest speech…"));
    progressBar_->setRange(0, 1000);
    progressBar_->setTextVisible(false);
    messageLabel_->setObjectName(QStringLiteral("previewMessage"));
    messageLabel_->setWordWrap(true);
    messageLabel_->setTextFormat(Qt::PlainText);
    messageLabel_->hide();

    // Space and Tab belong to the dialog, so that no button takes them.
    playButton_->setObjectName(QStringLiteral("previewPlay"));
    switchButton_->setObjectName(QStringLiteral("previewSwitch"));
    for (QPushButton* button : {playButton_, switchButton_}) {
        button->setFocusPolicy(Qt::NoFocus);
        button->setEnabled(false);
        button->setAutoDefault(false);
    }
    playButton_->setToolTip(QStringLiteral("Play or stop (Space)"));
    switchButton_->setToolTip(isComparison()
                                  ? QStringLiteral("Switch between the original (A) and the written file (B) (Tab)")
                                  : QStringLiteral("Switch between the original (A) and the cleaned sound (B) (Tab)"));
    connect(playButton_, &QPushButton::clicked, this, &PreviewDialog::togglePlaying);
    connect(switchButton_, &QPushButton::clicked, this, &PreviewDialog::toggleCleaned);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->button(QDialogButtonBox::Close)->setFocusPolicy(Qt::NoFocus);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* controls = new QHBoxLayout;
    controls->addWidget(playButton_);
    controls->addWidget(switchButton_, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(titleLabel_);
    layout->addWidget(stretchLabel_);
    layout->addWidget(progressBar_);
    layout->addWidget(spectrogram_, 1);
    layout->addWidget(messageLabel_);
    if (!isComparison()) {
        // The sidebar's setting, in the dialog: the dialog may cover the sidebar.
        mix_ = new MixSlider(brain_, QStringLiteral("previewMix"), this);
        // The dialog keeps the keyboard (see keyPressEvent).
        mix_->slider()->setFocusPolicy(Qt::NoFocus);
        mix_->setToolTip(
            QStringLiteral("How much of the cleaned sound is heard, here and in the files processed "
                           "next (arrow keys)"));
        auto* mixRow = new QHBoxLayout;
        auto* title = new QLabel(QStringLiteral("Mix"), this);
        title->setBuddy(mix_->slider());
        mixRow->addWidget(title);
        mixRow->addWidget(mix_, 1);
        layout->addLayout(mixRow);
        // As in the sidebar, the settings stay as they are while a batch runs.
        const auto followBatch = [this, title] {
            title->setEnabled(!brain_.modelIsProcessing());
            mix_->setEnabled(!brain_.modelIsProcessing());
        };
        connect(&brain_, &Brain::modelIsProcessingChanged, this, followBatch);
        followBatch();
    }
    layout->addLayout(controls);
    layout->addWidget(buttons);
    setMinimumWidth(520);

    updateTexts();
    const auto progress = [this](double fraction) { progressBar_->setValue(static_cast<int>(fraction * 1000)); };
    const auto finished = [this](Brain::PreviewResult result) { finishPreparation(std::move(result)); };
    if (isComparison()) {
        // The written file is heard as it is: the mix does not apply.
        brain_.prepareComparison(source_, *written_, this, cancel_, progress, finished);
        return;
    }
    connect(&brain_, &Brain::wetDryMixChanged, this, [this] {
        if (sourceDevice_) sourceDevice_->setMix(brain_.wetDryMix());
        spectrogram_->setMix(brain_.wetDryMix());
        updateTexts();
    });
    if (!brain_.preparePreview(source_, this, cancel_, progress, finished)) {
        spectrogram_->hide();
        showMessage(QStringLiteral("A preview needs the loaded model and cannot be made while files are processed."));
    }
}

PreviewDialog::~PreviewDialog() {
    // A preparation still running stops at its next progress report.
    cancel_->store(true);
    if (sink_) sink_->stop();
}

bool PreviewDialog::isPlaying() const { return sink_ && sink_->state() != QAudio::StoppedState; }

QString PreviewDialog::messageText() const { return messageLabel_->isHidden() ? QString() : messageLabel_->text(); }

void PreviewDialog::showMessage(const QString& text) {
    progressBar_->hide();
    messageLabel_->setText(text);
    messageLabel_->show();
    // Room for every line of the message.
    adjustSize();
    emit preparationFinished();
}

void PreviewDialog::finishPreparation(Brain::PreviewResult result) {
    if (const auto* error = std::get_if<ProcessingError>(&result)) {
        const AppError shown(*error, AppState{});
        QString text = QString::fromStdString(shown.description());
        if (const std::string details = shown.details(); !details.empty()) {
            text += QLatin1Char(' ') + QString::fromStdString(details);
        }
        stretchLabel_->setText(QStringLiteral("The preview could not be prepared."));
        spectrogram_->hide();
        showMessage(text);
        return;
    }
    stretch_ = std::move(std::get<PreviewStretch>(result));
    stretchLabel_->setText(QStringLiteral("%1 to %2, around the loudest speech")
                               .arg(minutesAndSeconds(stretch_->start, stretch_->sampleRate),
                                    minutesAndSeconds(stretch_->start + static_cast<std::int64_t>(stretch_->length()),
                                                      stretch_->sampleRate)));
    // Seen whether or not it can be heard.
    spectrogram_->setStretch(*stretch_, isComparison() ? 1.0 : brain_.wetDryMix(), originalText(), cleanedText());

    const QAudioDevice device = QMediaDevices::defaultAudioOutput();
    QAudioFormat format;
    format.setSampleRate(static_cast<int>(stretch_->sampleRate));
    format.setChannelCount(static_cast<int>(stretch_->channelCount()));
    format.setSampleFormat(QAudioFormat::Float);
    if (device.isNull()) {
        showMessage(QStringLiteral("No audio output device is available, so the preview cannot be played."));
        return;
    }
    if (!device.isFormatSupported(format)) {
        showMessage(QStringLiteral("The audio output device cannot play this file's channels."));
        return;
    }
    sourceDevice_ = new PreviewSource(*stretch_, this);
    sourceDevice_->setMix(isComparison() ? 1.0 : brain_.wetDryMix());
    sourceDevice_->setCleaned(playsCleaned_);
    sourceDevice_->open(QIODevice::ReadOnly);
    sink_ = new QAudioSink(device, format, this);
    sink_->setBufferSize(static_cast<qsizetype>(bufferSeconds * format.sampleRate()) * format.bytesPerFrame());
    connect(sink_, &QAudioSink::stateChanged, this, &PreviewDialog::updateTexts);
    playButton_->setEnabled(true);
    switchButton_->setEnabled(true);
    showMessage(isComparison()
                    ? QStringLiteral("Space plays and stops; Tab switches between the original (A) and the "
                                     "written file (B).")
                    : QStringLiteral("Space plays and stops; Tab switches between the original (A) and the "
                                     "cleaned sound (B). Mix sets how much is cleaned, here and in the files "
                                     "processed next."));
    updateTexts();
}

void PreviewDialog::togglePlaying() {
    if (!sink_) return;
    if (isPlaying()) {
        sink_->stop();
    } else {
        sink_->start(sourceDevice_);
    }
    updateTexts();
}

void PreviewDialog::toggleCleaned() {
    if (!sink_) return;
    playsCleaned_ = !playsCleaned_;
    sourceDevice_->setCleaned(playsCleaned_);
    updateTexts();
}

QString PreviewDialog::originalText() { return QStringLiteral("A: Original"); }

QString PreviewDialog::cleanedText() const {
    if (isComparison()) return QStringLiteral("B: Written file");
    return QStringLiteral("B: Cleaned, mix %1").arg(MixSlider::percentText(brain_.wetDryMix(), QLocale()));
}

void PreviewDialog::updateTexts() {
    playButton_->setText(isPlaying() ? QStringLiteral("Stop") : QStringLiteral("Play"));
    switchButton_->setText(playsCleaned_ ? cleanedText() : originalText());
    spectrogram_->setCleanedCaption(cleanedText());
}

bool PreviewDialog::event(QEvent* event) {
    // Tab switches A/B here instead of moving the focus.
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) {
            toggleCleaned();
            return true;
        }
    }
    return QDialog::event(event);
}

void PreviewDialog::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Space) {
        togglePlaying();
        return;
    }
    // The slider's own keys move the mix while the dialog keeps Space and Tab.
    switch (event->key()) {
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
    case Qt::Key_Home:
    case Qt::Key_End:
        if (mix_) {
            QCoreApplication::sendEvent(mix_->slider(), event);
            return;
        }
        break;
    default: break;
    }
    QDialog::keyPressEvent(event);
}

}  // namespace vesh
