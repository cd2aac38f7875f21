#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>

#include <algorithm>
#include <cstdlib>

#include "UiTestSupport.h"
#include "ui/Sidebar.h"
#include "ui/TextView.h"
#include "ui/ToggleSwitch.h"

using namespace vesh;

namespace {

// How strongly a widget's text stands out: the largest difference in grey
// level from its top-left pixel, the background.
int strongestContrast(QWidget& widget) {
    const QImage image = widget.grab().toImage();
    const int background = qGray(image.pixel(0, 0));
    int strongest = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            strongest = std::max(strongest, std::abs(qGray(image.pixel(x, y)) - background));
        }
    }
    return strongest;
}

// The window, shown, with the sidebar's controls found by name.
struct Fixture : test::WindowFixture {
    Fixture() {
        window.resize(1000, 640);
        show();
    }
    template <typename Widget>
    Widget* child(const char* name) {
        auto* widget = window.contentView()->sidebar()->findChild<Widget*>(QString::fromLatin1(name));
        if (!widget) {
            qFatal("no child named %s", name);
        }
        return widget;
    }
};

}  // namespace

class SidebarTests : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

    void exampleNameUsesPrefixSuffixAndTheExtensionOfTheChosenFormatOrTheOriginal() {
        Fixture fixture;
        auto* prefix = fixture.child<QLineEdit>("prefix");
        auto* suffix = fixture.child<QLineEdit>("suffix");
        auto* example = fixture.child<TextView>("example");
        QCOMPARE(example->text(), QStringLiteral("Example.wav "));

        // A path separator is not accepted: the output stays in the chosen folder.
        QTest::keyClicks(prefix, "a/_");
        QTest::keyClicks(suffix, "_/b");
        QCOMPARE(fixture.brain.filenamePrefix(), QStringLiteral("a_"));
        QCOMPARE(fixture.brain.filenameSuffix(), QStringLiteral("_b"));
        fixture.brain.setOutputFormat({BitDepth::twentyFour, SampleRate::fortyEight, AudioFileFormat::flac});
        QCOMPARE(example->text(), QStringLiteral("a_Example_b.flac "));

        fixture.brain.setOutputFormat({BitDepth::twentyFour, SampleRate::fortyEight, AudioFileFormat::aiff});
        QCOMPARE(example->text(), QStringLiteral("a_Example_b.aif "));
        QCOMPARE(fixture.child<QComboBox>("Encoding format")->currentText(), QStringLiteral("aiff"));

        // While the output follows the original, so does the extension.
        fixture.brain.setOutputFormatMatchesInput(true);
        QCOMPARE(example->text(), QStringLiteral("a_Example_b.(original extension) "));

        // Changes made elsewhere show in the fields.
        fixture.brain.setFilenamePrefix(QStringLiteral("clean_"));
        QCOMPARE(prefix->text(), QStringLiteral("clean_"));
        QCOMPARE(example->text(), QStringLiteral("clean_Example_b.(original extension) "));
        fixture.brain.setOutputFormatMatchesInput(false);
        QCOMPARE(example->text(), QStringLiteral("clean_Example_b.aif "));
    }

    void mixSliderWritesTheMixAndShowsItAsAPercentage() {
        Fixture fixture;
        auto* slider = fixture.child<QSlider>("mix");
        auto* value = fixture.child<QLabel>("mixValue");
        QCOMPARE(value->text(), QStringLiteral("100%"));
        const int labelWidth = value->width();

        slider->setFocus();
        QTest::keyClick(slider, Qt::Key_Home);
        QCOMPARE(fixture.brain.wetDryMix(), 0.0);
        QCOMPARE(value->text(), QStringLiteral("0%"));
        QCOMPARE(value->width(), labelWidth);

        fixture.brain.setWetDryMix(0.25);
        QCOMPARE(value->text(), QStringLiteral("25%"));
    }

    void loudnessOffersPresetsAndACustomLevelThatShowsOnlyWhenChosen() {
        Fixture fixture;
        auto* choice = fixture.child<QComboBox>("loudness");
        auto* custom = fixture.child<QDoubleSpinBox>("customLoudness");
        QCOMPARE(choice->currentIndex(), 0);
        QVERIFY(custom->isHidden());

        choice->setCurrentIndex(1);
        emit choice->activated(1);
        QCOMPARE(fixture.brain.loudnessTarget().name(), std::string("podcast"));
        choice->setCurrentIndex(3);
        emit choice->activated(3);
        QVERIFY(!custom->isHidden());
        QCOMPARE(fixture.brain.loudnessTarget(), LoudnessTarget{custom->value()});
        custom->setValue(-20.5);
        QCOMPARE(fixture.brain.loudnessTarget(), LoudnessTarget{-20.5});
        // A custom level at a preset's is that preset.
        custom->setValue(-23.0);
        QCOMPARE(choice->currentIndex(), 2);
        QVERIFY(custom->isHidden());

        fixture.brain.setLoudnessTarget({});
        QCOMPARE(choice->currentIndex(), 0);
    }

    void pickersAreDisabledButKeptWhileTheOutputMatchesTheOriginal() {
        Fixture fixture;
        Brain& brain = fixture.brain;
        brain.setOutputFormat({BitDepth::sixteen, SampleRate::fortyFourPointOne, AudioFileFormat::flac});
        auto* sampleRate = fixture.child<QComboBox>("Sample rate");
        auto* bitDepth = fixture.child<QComboBox>("Bit depth");
        auto* encoding = fixture.child<QComboBox>("Encoding format");
        auto* sameAsOriginal = fixture.child<ToggleSwitch>("sameAsOriginalFile");
        QCOMPARE(sampleRate->currentText(), QStringLiteral("44.1 kHz"));
        QCOMPARE(bitDepth->currentText(), QStringLiteral("16-bit"));
        QCOMPARE(encoding->currentText(), QStringLiteral("flac"));

        QTest::mouseClick(sameAsOriginal, Qt::LeftButton);
        QVERIFY(brain.outputFormatMatchesInput());
        for (QComboBox* picker : {sampleRate, bitDepth, encoding}) {
            QVERIFY(!picker->isEnabled());
            QTest::keyClick(picker, Qt::Key_Down);
        }
        QCOMPARE(brain.outputFormat(),
                 (AudioFormat{BitDepth::sixteen, SampleRate::fortyFourPointOne, AudioFileFormat::flac}));

        QTest::mouseClick(sameAsOriginal, Qt::LeftButton);
        QVERIFY(!brain.outputFormatMatchesInput());
        QVERIFY(sampleRate->isEnabled() && bitDepth->isEnabled() && encoding->isEnabled());
        encoding->setFocus();
        QTest::keyClick(encoding, Qt::Key_Up);
        QTest::keyClick(bitDepth, Qt::Key_Down);
        QTest::keyClick(sampleRate, Qt::Key_End);
        QCOMPARE(brain.outputFormat(),
                 (AudioFormat{BitDepth::twentyFour, SampleRate::oneHundredNinetyTwo, AudioFileFormat::aiff}));
    }

    // Only an edited settings store holds a rate outside the list.
    void aRateOutsideTheListShowsNoChoiceAndIsKept() {
        Fixture fixture;
        Brain& brain = fixture.brain;
        const auto unlisted = static_cast<SampleRate>(12345);
        brain.setOutputFormat({BitDepth::sixteen, unlisted, AudioFileFormat::wav});
        auto* sampleRate = fixture.child<QComboBox>("Sample rate");
        auto* bitDepth = fixture.child<QComboBox>("Bit depth");
        QCOMPARE(sampleRate->currentIndex(), -1);
        bitDepth->setFocus();
        QTest::keyClick(bitDepth, Qt::Key_Down);
        QCOMPARE(brain.outputFormat(), (AudioFormat{BitDepth::twentyFour, unlisted, AudioFileFormat::wav}));
    }

    void clearingTheFolderAsksForADestinationAgain() {
        Fixture fixture;
        QVERIFY(test::waitForModel(fixture.brain));
        const auto folder = fixture.workspace.folder(QStringLiteral("Cleaned audio"));
        fixture.interaction.folder = folder;
        auto* choose = fixture.child<QPushButton>("chooseFolder");
        auto* clear = fixture.child<QAbstractButton>("clearFolder");
        auto* path = fixture.child<TextView>("folderPath");
        QCOMPARE(fixture.dropView().state(), DropView::State::chooseDestination);
        QVERIFY(choose->isVisible());
        QVERIFY(!clear->isVisible());

        QTest::mouseClick(choose, Qt::LeftButton);
        QCOMPARE(fixture.brain.outputFolder(), std::optional(folder));
        QCOMPARE(fixture.dropView().state(), DropView::State::dragAndDropAudio);
        QVERIFY(!choose->isVisible());
        QVERIFY(clear->isVisible());
        QCOMPARE(path->text(), QString::fromStdString(folder.string()));

        QTest::mouseClick(clear, Qt::LeftButton);
        QVERIFY(!fixture.brain.outputFolder());
        QCOMPARE(fixture.dropView().state(), DropView::State::chooseDestination);
        QVERIFY(choose->isVisible());
        QVERIFY(choose->isEnabled());
    }

    void everyControlIgnoresInputWhileABatchRuns() {
        Fixture fixture;
        Brain& brain = fixture.brain;
        const auto folder = fixture.showReadyForFiles();
        const auto input = fixture.workspace.path(QStringLiteral("long.wav"));
        test::writeNoiseWav(input, 2, 30.0);

        auto* prefix = fixture.child<QLineEdit>("prefix");
        auto* suffix = fixture.child<QLineEdit>("suffix");
        auto* slider = fixture.child<QSlider>("mix");
        auto* sameAsOriginal = fixture.child<ToggleSwitch>("sameAsOriginalFile");
        auto* sampleRate = fixture.child<QComboBox>("Sample rate");
        auto* clear = fixture.child<QAbstractButton>("clearFolder");
        const AudioFormat format = brain.outputFormat();

        QSignalSpy finished(&brain, &Brain::batchFinished);
        brain.processDroppedFiles({input});
        QVERIFY(brain.modelIsProcessing());
        QTest::keyClicks(prefix, "x");
        QTest::keyClicks(suffix, "y");
        QTest::keyClick(slider, Qt::Key_PageDown);
        QTest::mouseClick(sameAsOriginal, Qt::LeftButton);
        QTest::keyClick(sampleRate, Qt::Key_Down);
        QTest::mouseClick(clear, Qt::LeftButton);
        QVERIFY(brain.modelIsProcessing());

        QCOMPARE(brain.filenamePrefix(), QString());
        QCOMPARE(brain.filenameSuffix(), QString());
        QCOMPARE(brain.wetDryMix(), 1.0);
        QVERIFY(!brain.outputFormatMatchesInput());
        QCOMPARE(brain.outputFormat(), format);
        QCOMPARE(brain.outputFolder(), std::optional(folder));

        // The empty fields' placeholders fade like the folder's path beside them.
        auto* path = fixture.child<TextView>("folderPath");
        QVERIFY(std::abs(strongestContrast(*prefix) - strongestContrast(*path)) <= 6);
        QVERIFY(std::abs(strongestContrast(*suffix) - strongestContrast(*path)) <= 6);
        const int fadedPlaceholder = strongestContrast(*prefix);

        brain.setShouldCancelProcessing(true);
        QVERIFY(finished.wait(30000));
        QVERIFY(strongestContrast(*prefix) > fadedPlaceholder + 20);

        // Responsive again once the batch has ended.
        QTest::keyClicks(prefix, "x");
        QTest::mouseClick(sameAsOriginal, Qt::LeftButton);
        QCOMPARE(brain.filenamePrefix(), QStringLiteral("x"));
        QVERIFY(brain.outputFormatMatchesInput());
        QTest::mouseClick(clear, Qt::LeftButton);
        QVERIFY(!brain.outputFolder());
    }
};

QTEST_MAIN(SidebarTests)
#include "SidebarTests.moc"
