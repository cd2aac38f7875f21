#pragma once

#include <QDialog>

#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>

#include "Engine/Preview.h"
#include "app/Brain.h"

class QAudioSink;
class QLabel;
class QProgressBar;
class QPushButton;

namespace vesh {

class MixSlider;
class PreviewSource;
class SpectrogramView;

// Plays a stretch of one file around its loudest speech, the original (A)
// and the cleaned sound (B), and switches between them while both run on in
// step, so that nothing is lost or repeated at a switch. A preview cleans
// the stretch at the window's mix and has a Mix slider of its own for that
// one setting (the dialog may cover the sidebar's); a comparison plays a
// file a batch wrote as B. Space plays and stops, Tab or the A/B button
// switches, the arrow keys move the mix. Both are also shown as spectrograms.
// The stretch is prepared on Brain's pool when the dialog opens; closing
// the dialog cancels that. Nothing is written.
class PreviewDialog : public QDialog {
    Q_OBJECT

public:
    // Starts preparing at once; a Brain that cannot preview now leaves the
    // dialog with a message saying so.
    PreviewDialog(Brain& brain, std::filesystem::path source, QWidget* parent = nullptr);
    // A comparison of `source` with `written`, the file a batch made from it.
    PreviewDialog(Brain& brain, std::filesystem::path source, std::filesystem::path written,
                  QWidget* parent = nullptr);
    ~PreviewDialog() override;

    bool isComparison() const { return written_.has_value(); }
    bool isReady() const { return stretch_.has_value(); }
    bool isPlaying() const;
    // Whether the cleaned sound (B) is the one heard.
    bool playsCleaned() const { return playsCleaned_; }
    QString messageText() const;
    QPushButton* playButton() const { return playButton_; }
    QPushButton* switchButton() const { return switchButton_; }
    // The preview's Mix slider; null in a comparison.
    MixSlider* mixSlider() const { return mix_; }
    // The stretch's spectrograms, drawn once it is prepared; hidden when it cannot be.
    SpectrogramView* spectrogram() const { return spectrogram_; }

    void togglePlaying();
    void toggleCleaned();

signals:
    // The preparation ended: with the stretch (isReady()) or with a message.
    void preparationFinished();

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    PreviewDialog(Brain& brain, std::filesystem::path source, std::optional<std::filesystem::path> written,
                  QWidget* parent);
    void finishPreparation(Brain::PreviewResult result);
    void showMessage(const QString& text);
    void updateTexts();
    static QString originalText();
    QString cleanedText() const;

    Brain& brain_;
    std::filesystem::path source_;
    std::optional<std::filesystem::path> written_;
    std::shared_ptr<std::atomic<bool>> cancel_;
    std::optional<PreviewStretch> stretch_;
    bool playsCleaned_ = true;
    QLabel* titleLabel_;
    QLabel* stretchLabel_;
    QProgressBar* progressBar_;
    QLabel* messageLabel_;
    SpectrogramView* spectrogram_;
    QPushButton* playButton_;
    QPushButton* switchButton_;
    MixSlider* mix_ = nullptr;
    PreviewSource* sourceDevice_ = nullptr;
    QAudioSink* sink_ = nullptr;
};

}  // namespace vesh
