#include <QAction>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include "UiTestSupport.h"
#include "ui/AudioFileDialog.h"
#include "ui/ContentView.h"
#include "ui/DropView.h"
#include "ui/MainWindow.h"

using namespace vesh;

namespace {

// The window with a file chooser in place of the dialog that counts how often
// it was asked and hands over `chosen`.
struct Fixture : test::WindowFixture {
    std::vector<std::filesystem::path> chosen;
    int dialogsOpened = 0;

    Fixture() {
        window.setFileChooser([this](FileSelection) {
            ++dialogsOpened;
            return chosen;
        });
    }
    void pressControlO() { QTest::keySequence(&window, QKeySequence::Open); }
    // A corner: the middle of the finished display holds its own controls.
    void clickDropArea() { QTest::mouseClick(&dropView(), Qt::LeftButton, {}, QPoint(10, 10)); }
};

}  // namespace

class AddFilesTests : public QObject {
    Q_OBJECT

private slots:
    void chosenFilesAreProcessedInTheirOrderLikeADrop() {
        Fixture fixture;
        fixture.show();
        QVERIFY(test::waitForModel(fixture.brain));
        const auto output = fixture.workspace.folder(QStringLiteral("out"));
        fixture.brain.setOutputFolder(output);
        for (const char* name : {"c-first.wav", "a-second.wav"}) {
            fixture.chosen.push_back(fixture.workspace.path(QString::fromLatin1(name)));
            test::writeNoiseWav(fixture.chosen.back(), 1, 0.5);
        }
        QStringList names;
        connect(&fixture.brain, &Brain::nameOfFileBeingProcessedChanged, this,
                [&] { names.append(fixture.brain.nameOfFileBeingProcessedText()); });
        QSignalSpy finished(&fixture.brain, &Brain::batchFinished);

        fixture.pressControlO();
        QCOMPARE(fixture.dialogsOpened, 1);
        QVERIFY(finished.wait(30000));
        QCOMPARE(names, (QStringList{"c-first.wav", "a-second.wav"}));
        QVERIFY(std::filesystem::exists(output / "c-first.wav"));
        QVERIFY(std::filesystem::exists(output / "a-second.wav"));

        QCOMPARE(fixture.dropView().state(), DropView::State::finished);
        QCOMPARE(fixture.dropView().statusText(), QStringLiteral("2 files cleaned"));

        // The toolbar button and the finished drop area open the same dialog;
        // a cancelled dialog starts nothing and keeps the report.
        fixture.chosen.clear();
        QTest::mouseClick(fixture.window.addFilesButton(), Qt::LeftButton);
        fixture.clickDropArea();
        QCOMPARE(fixture.dialogsOpened, 3);
        QTest::qWait(50);
        QCOMPARE(finished.count(), 1);
        QVERIFY(!fixture.brain.alertIsDisplayed());
        QCOMPARE(fixture.dropView().state(), DropView::State::finished);

        // Files added next end the report, even when they start no batch.
        fixture.interaction.answer = UserInteraction::ExistingFileAnswer::skip;
        fixture.chosen = {fixture.workspace.path(QStringLiteral("a-second.wav"))};
        fixture.pressControlO();
        QCOMPARE(fixture.dropView().state(), DropView::State::dragAndDropAudio);
        QCOMPARE(finished.count(), 1);
    }

    void filesCanBeAddedExactlyWhenTheyCouldBeDropped() {
        Fixture fixture;
        Brain& brain = fixture.brain;
        QAction& addFiles = *fixture.window.addFilesAction();
        const auto tryEveryWay = [&] {
            fixture.pressControlO();
            QTest::mouseClick(fixture.window.addFilesButton(), Qt::LeftButton);
            fixture.clickDropArea();
        };

        // Loading, even with a folder.
        brain.setOutputFolder(fixture.workspace.folder(QStringLiteral("out")));
        QVERIFY(brain.modelIsLoading());
        QVERIFY(!addFiles.isEnabled());
        fixture.show();
        QVERIFY(test::waitForModel(brain));
        QVERIFY(addFiles.isEnabled());

        brain.setOutputFolder(std::nullopt);
        QVERIFY(!addFiles.isEnabled());
        tryEveryWay();
        QCOMPARE(fixture.dialogsOpened, 0);

        brain.setOutputFolder(fixture.workspace.folder(QStringLiteral("out")));
        const auto input = fixture.workspace.path(QStringLiteral("long.wav"));
        test::writeNoiseWav(input, 2, 120.0);
        QSignalSpy finished(&brain, &Brain::batchFinished);
        brain.processDroppedFiles({input});
        QVERIFY(!addFiles.isEnabled());
        tryEveryWay();
        QVERIFY(brain.modelIsProcessing());
        QCOMPARE(fixture.dialogsOpened, 0);
        brain.setShouldCancelProcessing(true);
        QVERIFY(finished.wait(30000));
        QVERIFY(addFiles.isEnabled());
    }

    void aNewFileStartsWithAnEmptyBar() {
        Fixture fixture;
        fixture.show();
        Brain& brain = fixture.brain;
        QVERIFY(test::waitForModel(brain));
        brain.setOutputFolder(fixture.workspace.folder(QStringLiteral("out")));
        const auto first = fixture.workspace.path(QStringLiteral("first.wav"));
        const auto second = fixture.workspace.path(QStringLiteral("second.wav"));
        test::writeNoiseWav(first, 1, 5.0);
        test::writeNoiseWav(second, 1, 5.0);

        bool firstFinishedFull = false;
        double barUnderSecondName = -1.0;
        connect(&brain, &Brain::progressChanged, this, [&] {
            firstFinishedFull = firstFinishedFull || (brain.nameOfFileBeingProcessedText() == "first.wav" &&
                                                      fixture.dropView().displayedProgress() == 1.0);
        });
        connect(&brain, &Brain::nameOfFileBeingProcessedChanged, this, [&] {
            if (brain.nameOfFileBeingProcessedText() == "second.wav") {
                barUnderSecondName = fixture.dropView().displayedProgress();
            }
        });
        QSignalSpy finished(&brain, &Brain::batchFinished);
        brain.processDroppedFiles({first, second});
        QVERIFY(finished.wait(60000));
        QVERIFY(firstFinishedFull);
        QCOMPARE(barUnderSecondName, 0.0);
    }

    void theDialogOffersAudioAndVideoFiles() {
        const QStringList filters = audioAndVideoNameFilter().split(QStringLiteral(";;"));
        QCOMPARE(filters.size(), 2);
        QVERIFY(filters[0].startsWith(QStringLiteral("Audio and video files (")));
        const QStringList patterns = filters[0].section(QLatin1Char('('), 1).chopped(1).split(QLatin1Char(' '));
        for (const char* pattern :
             {"*.wav", "*.aiff", "*.flac", "*.mp3", "*.m4a", "*.ogg", "*.opus", "*.mp4", "*.mov", "*.mkv", "*.webm"}) {
            QVERIFY2(patterns.contains(QLatin1String(pattern)), pattern);
        }
        QCOMPARE(filters[1], QStringLiteral("All files (*)"));
    }
};

QTEST_MAIN(AddFilesTests)
#include "AddFilesTests.moc"
