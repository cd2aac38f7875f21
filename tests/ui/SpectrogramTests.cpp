// The preview's spectrograms: where a tone lands in frequency, time and
// level, and the cleaned picture following the mix on the original's scale.

#include <QSignalSpy>
#include <QTest>

#include <cmath>
#include <vector>

#include "Engine/Preview.h"
#include "Signals.h"
#include "ui/SpectrogramView.h"

using namespace vesh;

namespace {

constexpr std::int64_t rate = 48000;

// The row whose band holds the most level, summed over all columns.
std::size_t loudestRow(const Spectrogram& spectrogram) {
    std::size_t best = 0;
    double bestSum = -1e300;
    for (std::size_t row = 0; row < spectrogram.rows; ++row) {
        double sum = 0.0;
        for (std::size_t column = 0; column < spectrogram.columns; ++column) sum += spectrogram.level(column, row);
        if (sum > bestSum) {
            bestSum = sum;
            best = row;
        }
    }
    return best;
}

double meanLevel(const Spectrogram& spectrogram) {
    double sum = 0.0;
    for (const float level : spectrogram.levels) sum += level;
    return sum / static_cast<double>(spectrogram.levels.size());
}

}  // namespace

class SpectrogramTests : public QObject {
    Q_OBJECT

private slots:
    void aToneLandsInItsBandAtItsLevel_data() {
        QTest::addColumn<double>("hertz");
        QTest::addColumn<double>("amplitude");
        QTest::newRow("mains hum") << 50.0 << 0.1;
        QTest::newRow("voice") << 1000.0 << 0.5;
        QTest::newRow("hiss") << 15000.0 << 1.0;
    }

    void aToneLandsInItsBandAtItsLevel() {
        QFETCH(double, hertz);
        QFETCH(double, amplitude);
        const Spectrogram spectrogram = computeSpectrogram(test::sine(hertz, rate, 2 * rate, amplitude), rate);
        QCOMPARE(spectrogram.highestFrequency, 24000.0);
        const std::size_t row = loudestRow(spectrogram);
        // Within a band of the tone (about 3.5 % wide), or a bin (23.4 Hz) where bands are narrower.
        const double found = spectrogram.frequency(row);
        QVERIFY2(std::abs(std::log(found / hertz)) < 0.05 || std::abs(found - hertz) < 23.5,
                 qPrintable(QString::number(found)));
        const double expected = 20.0 * std::log10(amplitude);
        const float level = spectrogram.level(spectrogram.columns / 2, row);
        QVERIFY2(std::abs(level - expected) < 1.5, qPrintable(QString::number(level)));
        // A decade away the tone is far below.
        for (const double other : {hertz / 10.0, hertz * 10.0}) {
            if (other < Spectrogram::lowestFrequency || other > spectrogram.highestFrequency) continue;
            std::size_t far = 0;
            while (far + 1 < spectrogram.rows && spectrogram.frequency(far) < other) ++far;
            QVERIFY(spectrogram.level(spectrogram.columns / 2, far) < expected - 50.0);
        }
    }

    void columnsRunWithTimeAndSilenceReadsAsTheFloor() {
        // Silence for a second, then a tone for a second.
        std::vector<float> samples(rate, 0.0f);
        const std::vector<float> loud = test::sine(1000.0, rate, rate);
        samples.insert(samples.end(), loud.begin(), loud.end());
        const Spectrogram spectrogram = computeSpectrogram(samples, rate);
        const std::size_t row = loudestRow(spectrogram);
        QVERIFY(spectrogram.level(0, row) < -150.0f);
        QVERIFY(spectrogram.level(spectrogram.columns - 1, row) > -10.0f);
        QVERIFY(computeSpectrogram({}, rate).levels.empty());
    }

    void theCleanedPictureFollowsTheMixOnTheOriginalsScale() {
        PreviewStretch stretch;
        stretch.sampleRate = rate;
        stretch.start = 90 * rate;
        const std::vector<float> speech = test::sine(300.0, rate, 10 * rate, 0.3);
        const std::vector<float> hiss = test::noise(static_cast<std::int64_t>(speech.size()), 0.05f);
        for (int channel = 0; channel < 2; ++channel) {
            std::vector<float> noisy(speech.size());
            for (std::size_t k = 0; k < noisy.size(); ++k) noisy[k] = speech[k] + hiss[k];
            stretch.original.push_back(noisy);
            stretch.enhanced.push_back(speech);
        }

        SpectrogramView view;
        view.resize(view.sizeHint());
        view.setStretch(stretch, 1.0, QStringLiteral("A: Original"), QStringLiteral("B: Cleaned, mix 100%"));
        QVERIFY(view.hasStretch());
        const double top = view.topDecibels();
        // The loudest level, the tone's, rounded up to 10 dB.
        QCOMPARE(top, -10.0);
        const double noisy = meanLevel(view.original());
        const double clean = meanLevel(view.cleaned());
        QVERIFY2(clean < noisy - 20.0, qPrintable(QStringLiteral("%1 %2").arg(clean).arg(noisy)));

        // Half the mix: in between, on the same scale; no mix: the original.
        view.setMix(0.5);
        QTRY_COMPARE(view.shownMix(), 0.5);
        QVERIFY(meanLevel(view.cleaned()) > clean + 3.0);
        QVERIFY(meanLevel(view.cleaned()) < noisy);
        QCOMPARE(view.topDecibels(), top);
        // A slider dragged on while the picture is computed: the last mix is the one shown.
        view.setMix(0.2);
        view.setMix(0.0);
        QTRY_COMPARE(view.shownMix(), 0.0);
        QCOMPARE(view.cleaned().levels, view.original().levels);
        QCOMPARE(view.topDecibels(), top);
        // It paints without a fault at its size.
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QVERIFY(!view.grab().isNull());
    }
};

QTEST_MAIN(SpectrogramTests)
#include "SpectrogramTests.moc"
