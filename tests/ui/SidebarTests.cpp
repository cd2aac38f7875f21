#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>

#include <algorithm>
#include <cstdlib>

#include "UiTestSupport.h"
#include "ui/ContentView.h"
#include "ui/DropView.h"
#include "ui/OutputSection.h"
#include "ui/ParameterSection.h"
#include "ui/Sidebar.h"
#include "ui/TextView.h"
#include "ui/ToggleSwitch.h"

using namespace vesh;

namespace {

template <typename Widget>
Widget* child(QWidget& parent, const char* name) {
    auto* widget = parent.findChild<Widget*>(QString::fromLatin1(name));
    if (!widget) {
        qFatal("no child named %s", name);
    }
    return widget;
}

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

// The window's content with its own brain, settings and interaction.
struct Fixture {
    test::Workspace workspace;
    test::ScriptedInteraction interaction;
    Brain brain{workspace.settings(), interaction};
    ContentView content{brain};

    Fixture() {
        content.resize(900, 640);
        content.show();
    }
    QWidget& sidebar() { return *content.sidebar(); }
};

}  // namespace

class SidebarTests : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

    void exampleNameUsesPrefixSuffixAndTheExtensionOfTheChosenFormat() {
        QCOMPARE(OutputSection::exampleFileName("a_", "_b", AudioFileFormat::flac),
                 QStringLiteral("a_Example_b.flac "));
        QCOMPARE(OutputSection::exampleFileName("", "", AudioFileFormat::aiff), QStringLiteral("Example.aif "));
        QCOMPARE(OutputSection::exampleFileName("", "", AudioFileFormat::wav), QStringLiteral("Example.wav "));

        Fixture fixture;
        auto* prefix = child<QLineEdit>(fixture.sidebar(), "prefix");
        auto* suffix = child<QLineEdit>(fixture.sidebar(), "suffix");
        auto* example = child<TextView>(fixture.sidebar(), "example");
        QCOMPARE(example->text(), QStringLiteral("Example.wav "));

        // A path separator is not accepted: the output stays in the chosen folder.
        QTest::keyClicks(prefix, "a/_");
        QTest::keyClicks(suffix, "_/b");
        QCOMPARE(fixture.brain.filenamePrefix(), QStringLiteral("a_"));
        QCOMPARE(fixture.brain.filenameSuffix(), QStringLiteral("_b"));
        fixture.brain.setOutputFileFormat(QStringLiteral("flac"));
        QCOMPARE(example->text(), QStringLiteral("a_Example_b.flac "));

        fixture.brain.setOutputFileFormat(QStringLiteral("aiff"));
        QCOMPARE(example->text(), QStringLiteral("a_Example_b.aif "));
        QCOMPARE(child<QComboBox>(fixture.sidebar(), "Encoding format")->currentText(), QStringLiteral("aiff"));

        // The extension is the chosen format's, whether or not the output follows the original.
        fixture.brain.setOutputFormatMatchesInput(true);
        QCOMPARE(example->text(), QStringLiteral("a_Example_b.aif "));

        // Changes made elsewhere show in the fields.
        fixture.brain.setFilenamePrefix(QStringLiteral("clean_"));
        QCOMPARE(prefix->text(), QStringLiteral("clean_"));
        QCOMPARE(example->text(), QStringLiteral("clean_Example_b.aif "));
    }

    void mixSliderWritesTheMixAndShowsItAsAPercentage() {
        QCOMPARE(ParameterSection::percentText(0.5, QLocale(QLocale::English)), QStringLiteral("50%"));
        QCOMPARE(ParameterSection::percentText(1.0, QLocale(QLocale::English)), QStringLiteral("100%"));
        QCOMPARE(ParameterSection::percentText(0.0, QLocale(QLocale::English)), QStringLiteral("0%"));

        Fixture fixture;
        auto* slider = child<QSlider>(fixture.sidebar(), "mix");
        auto* value = child<QLabel>(fixture.sidebar(), "mixValue");
        QCOMPARE(slider->value(), ParameterSection::sliderSteps);
        QCOMPARE(value->text(), QStringLiteral("100%"));
        const int labelWidth = value->width();

        slider->setFocus();
        QTest::keyClick(slider, Qt::Key_PageDown);
        QCOMPARE(fixture.brain.wetDryMix(), 0.9);
        QCOMPARE(value->text(), QStringLiteral("90%"));
        QTest::keyClick(slider, Qt::Key_Home);
        QCOMPARE(fixture.brain.wetDryMix(), 0.0);
        QCOMPARE(value->text(), QStringLiteral("0%"));
        QCOMPARE(value->width(), labelWidth);

        fixture.brain.setWetDryMix(0.25);
        QCOMPARE(slider->value(), 250);
        QCOMPARE(value->text(), QStringLiteral("25%"));
    }

    void pickersAreDisabledButKeptWhileTheOutputMatchesTheOriginal() {
        Fixture fixture;
        Brain& brain = fixture.brain;
        brain.setOutputFormat({BitDepth::sixteen, SampleRate::fortyFourPointOne, AudioFileFormat::flac});
        auto* sampleRate = child<QComboBox>(fixture.sidebar(), "Sample rate");
        auto* bitDepth = child<QComboBox>(fixture.sidebar(), "Bit depth");
        auto* encoding = child<QComboBox>(fixture.sidebar(), "Encoding format");
        auto* sameAsOriginal = child<ToggleSwitch>(fixture.sidebar(), "sameAsOriginalFile");
        QCOMPARE(sampleRate->currentText(), QStringLiteral("44.1 kHz"));
        QCOMPARE(bitDepth->currentText(), QStringLiteral("16-bit"));
        QCOMPARE(encoding->currentText(), QStringLiteral("flac"));

        QTest::mouseClick(sameAsOriginal, Qt::LeftButton);
        QVERIFY(brain.outputFormatMatchesInput());
        for (QComboBox* picker : {sampleRate, bitDepth, encoding}) {
            QVERIFY(!picker->isEnabled());
            QTest::keyClick(picker, Qt::Key_Down);
        }
        QCOMPARE(sampleRate->currentText(), QStringLiteral("44.1 kHz"));
        QCOMPARE(bitDepth->currentText(), QStringLiteral("16-bit"));
        QCOMPARE(encoding->currentText(), QStringLiteral("flac"));
        QCOMPARE(brain.outputFormat(),
                 (AudioFormat{BitDepth::sixteen, SampleRate::fortyFourPointOne, AudioFileFormat::flac}));

        QTest::mouseClick(sameAsOriginal, Qt::LeftButton);
        QVERIFY(!brain.outputFormatMatchesInput());
        for (QComboBox* picker : {sampleRate, bitDepth, encoding}) {
            QVERIFY(picker->isEnabled());
        }
        encoding->setFocus();
        QTest::keyClick(encoding, Qt::Key_Up);
        QTest::keyClick(bitDepth, Qt::Key_Down);
        QTest::keyClick(sampleRate, Qt::Key_End);
        QCOMPARE(brain.outputFileFormat(), QStringLiteral("aiff"));
        QCOMPARE(brain.outputBitDepth(), qint64{24});
        QCOMPARE(brain.outputSampleRate(), qint64{192000});
        QCOMPARE(child<TextView>(fixture.sidebar(), "example")->text(), QStringLiteral("Example.aif "));
    }

    void clearingTheFolderAsksForADestinationAgain() {
        Fixture fixture;
        QVERIFY(test::waitForModel(fixture.brain));
        const auto folder = fixture.workspace.folder(QStringLiteral("Cleaned audio"));
        fixture.interaction.folder = folder;
        auto* choose = child<QPushButton>(fixture.sidebar(), "chooseFolder");
        auto* clear = child<QAbstractButton>(fixture.sidebar(), "clearFolder");
        auto* path = child<TextView>(fixture.sidebar(), "folderPath");
        QCOMPARE(fixture.content.dropView()->state(), DropView::State::chooseDestination);
        QVERIFY(choose->isVisible());
        QVERIFY(!clear->isVisible());

        QTest::mouseClick(choose, Qt::LeftButton);
        QCOMPARE(fixture.brain.outputFolder(), std::optional(folder));
        QCOMPARE(fixture.content.dropView()->state(), DropView::State::dragAndDropAudio);
        QVERIFY(!choose->isVisible());
        QVERIFY(clear->isVisible());
        QCOMPARE(path->text(), QString::fromStdString(folder.string()));

        // A cancelled chooser keeps the folder.
        fixture.interaction.folder.reset();
        fixture.brain.chooseOutputFolder();
        QCOMPARE(fixture.brain.outputFolder(), std::optional(folder));

        QTest::mouseClick(clear, Qt::LeftButton);
        QVERIFY(!fixture.brain.outputFolder());
        QCOMPARE(fixture.content.dropView()->state(), DropView::State::chooseDestination);
        QVERIFY(choose->isVisible());
        QVERIFY(choose->isEnabled());
    }

    void everyControlIgnoresInputWhileABatchRuns() {
        Fixture fixture;
        Brain& brain = fixture.brain;
        QVERIFY(test::waitForModel(brain));
        const auto folder = fixture.workspace.folder(QStringLiteral("out"));
        brain.setOutputFolder(folder);
        const auto input = fixture.workspace.path(QStringLiteral("long.wav"));
        test::writeNoiseWav(input, 2, 30.0);

        QWidget& sidebar = fixture.sidebar();
        auto* prefix = child<QLineEdit>(sidebar, "prefix");
        auto* suffix = child<QLineEdit>(sidebar, "suffix");
        auto* slider = child<QSlider>(sidebar, "mix");
        auto* sameAsOriginal = child<ToggleSwitch>(sidebar, "sameAsOriginalFile");
        auto* sampleRate = child<QComboBox>(sidebar, "Sample rate");
        auto* clear = child<QAbstractButton>(sidebar, "clearFolder");
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
        auto* path = child<TextView>(sidebar, "folderPath");
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
