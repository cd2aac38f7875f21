#pragma once

#include <QFutureWatcher>
#include <QImage>
#include <QString>
#include <QWidget>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace vesh {

struct PreviewStretch;

// The levels of a signal over time and frequency, in dB relative to full
// scale (a full-scale sine reads about 0 dB in its band).
struct Spectrogram {
    // The bands' range; their centres are spaced evenly in log frequency, so
    // that mains hum and the voice's harmonics both get rows.
    static constexpr double lowestFrequency = 40.0;

    std::size_t columns = 0;
    std::size_t rows = 0;
    double highestFrequency = 0.0;
    // Row by row, lowest band first; each row `columns` long.
    std::vector<float> levels;

    float level(std::size_t column, std::size_t row) const { return levels[row * columns + column]; }
    float loudest() const;
    // A row's band centre, in Hz.
    double frequency(std::size_t row) const;
};

// The spectrogram of a mono signal at `sampleRate`: Hann-windowed frames of
// 2048 samples every 512, each band the loudest bin within it (the nearest
// bin where a band is narrower than one).
Spectrogram computeSpectrogram(std::span<const float> signal, std::int64_t sampleRate, std::size_t rows = 192);

// A preview stretch as two spectrograms on one dB scale, the original above
// the cleaned sound below (each the mean of its channels), with a frequency
// axis, the scale and a time axis in the file's own time. The pictures are
// computed when the stretch is set, and the lower one again on a worker
// thread when the mix changes (one computation at a time, the latest mix
// last), never while painting.
class SpectrogramView : public QWidget {
    Q_OBJECT

public:
    // The levels shown, from the loudest (rounded up to 10 dB) down by this much.
    static constexpr double rangeDecibels = 80.0;

    explicit SpectrogramView(QWidget* parent = nullptr);

    // Shows `stretch` (copied as far as needed) with its cleaned sound mixed
    // at `wetDryMix`, under the captions given.
    void setStretch(const PreviewStretch& stretch, double wetDryMix, const QString& originalCaption,
                    const QString& cleanedCaption);
    // Computes the lower picture again for a new mix; the scale stays.
    void setMix(double wetDryMix);
    void setCleanedCaption(const QString& caption);

    bool hasStretch() const { return dry_ != nullptr; }
    // The mix the lower picture shows.
    double shownMix() const { return shownMix_; }
    const Spectrogram& original() const { return original_; }
    const Spectrogram& cleaned() const { return cleaned_; }
    // The top of the shared scale, in dB.
    double topDecibels() const { return topDecibels_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage picture(const Spectrogram& spectrogram) const;
    void startCleaned();
    void finishCleaned();

    // The mean of the channels, untouched and enhanced; shared with the worker.
    std::shared_ptr<const std::vector<float>> dry_;
    std::shared_ptr<const std::vector<float>> wet_;
    std::int64_t sampleRate_ = 0;
    std::int64_t start_ = 0;
    Spectrogram original_;
    Spectrogram cleaned_;
    double topDecibels_ = 0.0;
    double shownMix_ = 1.0;
    double wantedMix_ = 1.0;
    double computingMix_ = 1.0;
    // A computation still running when the view goes keeps its own share of
    // the signals and its result is dropped.
    QFutureWatcher<Spectrogram> worker_;
    QImage originalPicture_;
    QImage cleanedPicture_;
    QString originalCaption_;
    QString cleanedCaption_;
};

}  // namespace vesh
