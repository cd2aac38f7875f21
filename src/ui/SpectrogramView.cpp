#include "ui/SpectrogramView.h"

#include <QFontMetrics>
#include <QLinearGradient>
#include <QPainter>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

#include "Engine/Engine.h"
#include "Engine/Preview.h"
#include "FullBandFrontend/DiscreteFourierTransform.h"
#include "ui/Appearance.h"

namespace vesh {

namespace {

constexpr std::size_t frameLength = 2048;
constexpr std::size_t hopLength = 512;
// Below any level a 32-bit float signal can reach, so that log10 stays finite.
constexpr float floorDecibels = -200.0f;

// Dark to light through purple and orange: louder reads brighter in either palette.
struct ColourStop {
    double at;
    int red, green, blue;
};
constexpr std::array<ColourStop, 6> colourStops{{
    {0.0, 0, 0, 4},
    {0.25, 59, 15, 112},
    {0.5, 140, 41, 129},
    {0.75, 222, 73, 104},
    {0.9, 254, 159, 109},
    {1.0, 252, 253, 191},
}};

QRgb colourAt(double t) {
    t = std::clamp(t, 0.0, 1.0);
    std::size_t upper = 1;
    while (upper + 1 < colourStops.size() && colourStops[upper].at < t) ++upper;
    const ColourStop& a = colourStops[upper - 1];
    const ColourStop& b = colourStops[upper];
    const double f = (t - a.at) / (b.at - a.at);
    const auto blend = [f](int x, int y) { return static_cast<int>(std::lround(x + (y - x) * f)); };
    return qRgb(blend(a.red, b.red), blend(a.green, b.green), blend(a.blue, b.blue));
}

const std::array<QRgb, 256>& colourMap() {
    static const std::array<QRgb, 256> map = [] {
        std::array<QRgb, 256> colours{};
        for (std::size_t i = 0; i < colours.size(); ++i) colours[i] = colourAt(static_cast<double>(i) / 255.0);
        return colours;
    }();
    return map;
}

// The mean of the channels. The mix is linear, so mixing the means equals
// the mean of the mixed channels.
std::vector<float> mono(const std::vector<std::vector<float>>& channels) {
    std::vector<float> mean(channels.empty() ? 0 : channels.front().size(), 0.0f);
    for (const std::vector<float>& channel : channels) {
        for (std::size_t k = 0; k < mean.size(); ++k) mean[k] += channel[k];
    }
    if (channels.size() > 1) {
        const float scale = 1.0f / static_cast<float>(channels.size());
        for (float& sample : mean) sample *= scale;
    }
    return mean;
}

Spectrogram mixedSpectrogram(const std::vector<float>& wet, const std::vector<float>& dry, double wetDryMix,
                             std::int64_t sampleRate) {
    std::vector<float> mixed = wet;
    mixWetDry(mixed, dry, wetDryMix);
    return computeSpectrogram(mixed, sampleRate);
}

QString timeText(double seconds) {
    const auto whole = static_cast<long long>(std::lround(seconds));
    return QStringLiteral("%1:%2").arg(whole / 60).arg(whole % 60, 2, 10, QLatin1Char('0'));
}

QString frequencyText(double hertz) {
    return hertz >= 1000.0 ? QStringLiteral("%1 kHz").arg(hertz / 1000.0) : QStringLiteral("%1 Hz").arg(hertz);
}

}  // namespace

float Spectrogram::loudest() const {
    return levels.empty() ? floorDecibels : *std::max_element(levels.begin(), levels.end());
}

double Spectrogram::frequency(std::size_t row) const {
    return lowestFrequency *
           std::pow(highestFrequency / lowestFrequency, (static_cast<double>(row) + 0.5) / static_cast<double>(rows));
}

Spectrogram computeSpectrogram(std::span<const float> signal, std::int64_t sampleRate, std::size_t rows) {
    Spectrogram result;
    if (sampleRate <= 0 || rows == 0 || signal.empty()) return result;
    result.rows = rows;
    result.highestFrequency = static_cast<double>(sampleRate) / 2.0;
    result.columns = signal.size() <= frameLength ? 1 : (signal.size() - frameLength) / hopLength + 1;
    result.levels.assign(result.rows * result.columns, floorDecibels);

    // Each row's bins, [first, last]; a band narrower than a bin takes the nearest one.
    const std::size_t half = frameLength / 2;
    const double binWidth = static_cast<double>(sampleRate) / static_cast<double>(frameLength);
    const double ratio = result.highestFrequency / Spectrogram::lowestFrequency;
    std::vector<std::pair<std::size_t, std::size_t>> bins(rows);
    for (std::size_t row = 0; row < rows; ++row) {
        const double low = Spectrogram::lowestFrequency * std::pow(ratio, static_cast<double>(row) / rows);
        const double high = Spectrogram::lowestFrequency * std::pow(ratio, static_cast<double>(row + 1) / rows);
        const auto first = static_cast<std::size_t>(std::ceil(low / binWidth));
        const auto last = std::min(half, static_cast<std::size_t>(std::floor(high / binWidth)));
        if (first <= last) {
            bins[row] = {first, last};
        } else {
            const auto nearest =
                std::min(half, static_cast<std::size_t>(std::lround(result.frequency(row) / binWidth)));
            bins[row] = {nearest, nearest};
        }
    }

    std::vector<float> window(frameLength);
    for (std::size_t j = 0; j < frameLength; ++j) {
        window[j] = static_cast<float>(
            0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(j) / static_cast<double>(frameLength)));
    }
    // A sine of amplitude A gives |X| = A * sum(window) / 2 = A * N / 4 at its bin.
    const double amplitudeScale = 4.0 / static_cast<double>(frameLength);

    ForwardDiscreteFourierTransform transform(static_cast<std::int64_t>(frameLength));
    std::vector<float> frame(frameLength);
    std::vector<float> spectrum(frameLength);
    std::vector<float> power(half + 1);
    for (std::size_t column = 0; column < result.columns; ++column) {
        const std::size_t start = column * hopLength;
        const std::size_t count = std::min(frameLength, signal.size() - start);
        for (std::size_t j = 0; j < count; ++j) frame[j] = signal[start + j] * window[j];
        transform.transform(std::span<const float>(frame).first(count), spectrum);
        power[0] = spectrum[0] * spectrum[0];
        power[half] = spectrum[half] * spectrum[half];
        for (std::size_t m = 1; m < half; ++m) {
            power[m] = spectrum[m] * spectrum[m] + spectrum[half + m] * spectrum[half + m];
        }
        for (std::size_t row = 0; row < rows; ++row) {
            const auto [first, last] = bins[row];
            const float loudest = *std::max_element(power.begin() + static_cast<std::ptrdiff_t>(first),
                                                    power.begin() + static_cast<std::ptrdiff_t>(last) + 1);
            const double amplitude = std::sqrt(static_cast<double>(loudest)) * amplitudeScale;
            result.levels[row * result.columns + column] =
                amplitude > 0.0 ? std::max(floorDecibels, static_cast<float>(20.0 * std::log10(amplitude)))
                                : floorDecibels;
        }
    }
    return result;
}

SpectrogramView::SpectrogramView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("spectrogram"));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setAccessibleName(QStringLiteral("Spectrograms of the original and the cleaned sound"));
    connect(&worker_, &QFutureWatcher<Spectrogram>::finished, this, &SpectrogramView::finishCleaned);
}

void SpectrogramView::setStretch(const PreviewStretch& stretch, double wetDryMix, const QString& originalCaption,
                                 const QString& cleanedCaption) {
    // A result for the stretch shown before is not wanted.
    worker_.disconnect(this);
    worker_.waitForFinished();
    connect(&worker_, &QFutureWatcher<Spectrogram>::finished, this, &SpectrogramView::finishCleaned);
    dry_ = std::make_shared<const std::vector<float>>(mono(stretch.original));
    wet_ = std::make_shared<const std::vector<float>>(mono(stretch.enhanced));
    sampleRate_ = stretch.sampleRate;
    start_ = stretch.start;
    shownMix_ = wantedMix_ = wetDryMix;
    originalCaption_ = originalCaption;
    cleanedCaption_ = cleanedCaption;
    original_ = computeSpectrogram(*dry_, sampleRate_);
    cleaned_ = mixedSpectrogram(*wet_, *dry_, wetDryMix, sampleRate_);
    // One scale for both, kept while the mix moves: the original's loudest
    // or the cleaned sound's, whichever is louder.
    topDecibels_ = std::ceil(std::max(original_.loudest(), cleaned_.loudest()) / 10.0) * 10.0;
    originalPicture_ = picture(original_);
    cleanedPicture_ = picture(cleaned_);
    update();
}

void SpectrogramView::setMix(double wetDryMix) {
    wantedMix_ = wetDryMix;
    if (hasStretch() && !worker_.isRunning()) startCleaned();
}

void SpectrogramView::setCleanedCaption(const QString& caption) {
    cleanedCaption_ = caption;
    update();
}

void SpectrogramView::startCleaned() {
    computingMix_ = wantedMix_;
    worker_.setFuture(QtConcurrent::run([wet = wet_, dry = dry_, mix = computingMix_, rate = sampleRate_] {
        return mixedSpectrogram(*wet, *dry, mix, rate);
    }));
}

void SpectrogramView::finishCleaned() {
    cleaned_ = worker_.result();
    shownMix_ = computingMix_;
    cleanedPicture_ = picture(cleaned_);
    update();
    // The slider moved on meanwhile.
    if (wantedMix_ != shownMix_) startCleaned();
}

QImage SpectrogramView::picture(const Spectrogram& spectrogram) const {
    QImage image(static_cast<int>(spectrogram.columns), static_cast<int>(spectrogram.rows), QImage::Format_RGB32);
    const auto& colours = colourMap();
    const double bottom = topDecibels_ - rangeDecibels;
    for (std::size_t row = 0; row < spectrogram.rows; ++row) {
        // The lowest band at the bottom.
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(static_cast<int>(spectrogram.rows - 1 - row)));
        for (std::size_t column = 0; column < spectrogram.columns; ++column) {
            const double t = (spectrogram.level(column, row) - bottom) / rangeDecibels;
            line[column] = colours[static_cast<std::size_t>(std::lround(std::clamp(t, 0.0, 1.0) * 255.0))];
        }
    }
    return image;
}

QSize SpectrogramView::sizeHint() const { return {520, 260}; }

QSize SpectrogramView::minimumSizeHint() const { return {360, 200}; }

void SpectrogramView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QFontMetrics metrics = fontMetrics();
    const QColor text = labelColor(palette(), LabelLevel::secondary);
    const QColor lines = labelColor(palette(), LabelLevel::tertiary);
    const int captionHeight = metrics.height() + 2;
    const int axisHeight = metrics.height() + 8;
    const int gap = 8;
    const int left = metrics.horizontalAdvance(QStringLiteral("10 kHz")) + 8;
    // The same room for the scale's labels whatever they say.
    const int right = 12 + 6 + metrics.horizontalAdvance(QStringLiteral("-100 dB")) + 4;
    const int pictureWidth = width() - left - right;
    const int pictureHeight = (height() - 2 * captionHeight - gap - axisHeight) / 2;
    if (pictureWidth < 16 || pictureHeight < 16) return;

    const QRect upper(left, captionHeight, pictureWidth, pictureHeight);
    const QRect lower(left, upper.bottom() + 1 + gap + captionHeight, pictureWidth, pictureHeight);
    if (!hasStretch()) {
        // Where the pictures will be while the stretch is prepared, so that the dialog keeps its size.
        for (const QRect& area : {upper, lower}) painter.fillRect(area, withOpacity(lines, 0.25));
        return;
    }
    const QString topText = QStringLiteral("%1 dB").arg(topDecibels_);
    const QString bottomText = QStringLiteral("%1 dB").arg(topDecibels_ - rangeDecibels);
    painter.setPen(text);
    painter.drawText(QRect(left, 0, pictureWidth, captionHeight), Qt::AlignLeft | Qt::AlignVCenter, originalCaption_);
    painter.drawText(QRect(left, upper.bottom() + 1 + gap, pictureWidth, captionHeight),
                     Qt::AlignLeft | Qt::AlignVCenter, cleanedCaption_);
    painter.drawImage(upper, originalPicture_);
    painter.drawImage(lower, cleanedPicture_);

    // Frequencies on a log axis, the same on both.
    const double ratio = original_.highestFrequency / Spectrogram::lowestFrequency;
    for (const QRect& area : {upper, lower}) {
        for (const double hertz : {100.0, 1000.0, 10000.0}) {
            if (hertz >= original_.highestFrequency) continue;
            const double at = std::log(hertz / Spectrogram::lowestFrequency) / std::log(ratio);
            const int y = area.bottom() - static_cast<int>(std::lround(at * area.height()));
            painter.setPen(lines);
            painter.drawLine(area.left() - 4, y, area.left() - 1, y);
            painter.setPen(text);
            painter.drawText(QRect(0, y - metrics.height() / 2, left - 6, metrics.height()),
                             Qt::AlignRight | Qt::AlignVCenter, frequencyText(hertz));
        }
    }

    // The shared scale beside both pictures.
    const QRect bar(upper.right() + 7, upper.top(), 12, lower.bottom() - upper.top() + 1);
    QLinearGradient gradient(bar.bottomLeft(), bar.topLeft());
    for (const ColourStop& stop : colourStops) gradient.setColorAt(stop.at, QColor(colourAt(stop.at)));
    painter.fillRect(bar, gradient);
    painter.setPen(text);
    const int labelLeft = bar.right() + 5;
    painter.drawText(QRect(labelLeft, bar.top(), width() - labelLeft, metrics.height()), Qt::AlignLeft | Qt::AlignTop,
                     topText);
    painter.drawText(QRect(labelLeft, bar.bottom() - metrics.height(), width() - labelLeft, metrics.height()),
                     Qt::AlignLeft | Qt::AlignBottom, bottomText);

    // Time in the file, with as many labels as fit without touching.
    const double rate = static_cast<double>(sampleRate_);
    const double start = static_cast<double>(start_) / rate;
    const double duration = static_cast<double>(dry_->size()) / rate;
    const int labelWidth = metrics.horizontalAdvance(QStringLiteral("00:00")) + 12;
    double step = 1.0;
    for (const double candidate : {1.0, 2.0, 5.0, 10.0, 30.0, 60.0}) {
        step = candidate;
        if (candidate / duration * pictureWidth >= labelWidth) break;
    }
    const int axisTop = lower.bottom() + 1;
    for (double second = std::ceil(start / step) * step; second <= start + duration + 1e-9; second += step) {
        const int x = lower.left() + static_cast<int>(std::lround((second - start) / duration * pictureWidth));
        painter.setPen(lines);
        painter.drawLine(x, axisTop, x, axisTop + 3);
        painter.setPen(text);
        const QRect label(x - labelWidth / 2, axisTop + 4, labelWidth, metrics.height());
        painter.drawText(label, Qt::AlignHCenter | Qt::AlignTop, timeText(second));
    }
}

}  // namespace vesh
