#include <QAction>
#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QListWidget>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>
#include <QUrl>

#include <fstream>
#include <sstream>

#include "UiTestSupport.h"
#include "ui/LinearProgressBar.h"

using namespace vesh;
using State = DropView::State;

namespace {

std::unique_ptr<QMimeData> fileDrag(const std::vector<std::filesystem::path>& files) {
    auto mimeData = std::make_unique<QMimeData>();
    QList<QUrl> urls;
    for (const auto& file : files) {
        urls.append(QUrl::fromLocalFile(QString::fromStdString(file.string())));
    }
    mimeData->setUrls(urls);
    return mimeData;
}

bool dragEnterIsAccepted(DropView& view, const QMimeData& mimeData) {
    QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction | Qt::MoveAction, &mimeData, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&view, &enter);
    return enter.isAccepted();
}

bool dropIsAccepted(DropView& view, const QMimeData& mimeData) {
    QDropEvent drop(QPointF(20, 20), Qt::CopyAction | Qt::MoveAction, &mimeData, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&view, &drop);
    return drop.isAccepted() && drop.dropAction() == Qt::CopyAction;
}

}  // namespace

class DropViewTests : public QObject {
    Q_OBJECT

private slots:
    void processingAndFinishedTextsCountTheFiles() {
        QCOMPARE(DropView::progressValue({0.5, 1.0}), 0.75);
        QCOMPARE(DropView::progressValue({}), 0.0);
        QCOMPARE(DropView::processingLine(QStringLiteral("b.wav"), 1, 5),
                 QStringLiteral("File 2 of 5: Denoising “b.wav”…"));
        QCOMPARE(DropView::processingLine(QStringLiteral("a.wav"), 0, 1), QStringLiteral("Denoising “a.wav”…"));
        QCOMPARE(DropView::waitingText(1), QStringLiteral("1 file waiting: choose a destination"));
        QCOMPARE(DropView::timeLeftText(std::nullopt), QString());
        QCOMPARE(DropView::timeLeftText(59.0), QStringLiteral("Less than a minute left"));
        QCOMPARE(DropView::timeLeftText(170.0), QStringLiteral("About 3 min left"));
        QCOMPARE(DropView::timeLeftText(3600.0), QStringLiteral("About 1 h left"));
        QCOMPARE(DropView::timeLeftText(4790.0), QStringLiteral("About 1 h 20 min left"));

        // The summary says what became of the files.
        using Status = Brain::FileOutcome::Status;
        const auto outcome = [](std::initializer_list<Status> statuses) {
            Brain::BatchOutcome batch{"/out", {}};
            for (const Status status : statuses) {
                batch.files.push_back({.source = "/in/x.wav", .status = status});
            }
            return batch;
        };
        QCOMPARE(DropView::summaryText(outcome({Status::failed, Status::notProcessed, Status::notProcessed})),
                 QStringLiteral("No files cleaned · 1 failed · 2 not processed"));
        QCOMPARE(DropView::summaryText(outcome({Status::written, Status::cancelled, Status::notProcessed})),
                 QStringLiteral("1 file cleaned · 2 not processed"));
        Brain::BatchOutcome clipped = outcome({Status::written, Status::written});
        clipped.files[1].clipped = true;
        QCOMPARE(DropView::summaryText(clipped), QStringLiteral("2 files cleaned · 1 clipped"));

        // A batch cancelled before it wrote anything says that nothing was written.
        QCOMPARE(DropView::summaryText(outcome({Status::skipped, Status::cancelled, Status::notProcessed})),
                 QStringLiteral("Cancelled · nothing was written · 1 skipped · 2 not processed"));
        QVERIFY(DropView::isWorthReporting(outcome({Status::skipped, Status::cancelled, Status::notProcessed})));
        QVERIFY(DropView::isWorthReporting(outcome({Status::cancelled, Status::failed})));
        // Skipped files and Stop at the question leave nothing to report.
        QVERIFY(!DropView::isWorthReporting(outcome({Status::skipped, Status::notProcessed})));
    }

    void collectsLocalFilesInDropOrderAndSkipsOtherItems() {
        QMimeData mimeData;
        mimeData.setUrls({QUrl::fromLocalFile(QStringLiteral("/tmp/z last.wav")),
                          QUrl(QStringLiteral("https://example.org/remote.wav")),
                          QUrl::fromLocalFile(QStringLiteral("/tmp/a first.flac")),
                          QUrl::fromLocalFile(QStringLiteral("/tmp/Ünïcode.m4a"))});
        QCOMPARE(DropView::droppedFiles(mimeData),
                 (std::vector<std::filesystem::path>{"/tmp/z last.wav", "/tmp/a first.flac", "/tmp/Ünïcode.m4a"}));
        QMimeData text;
        text.setText(QStringLiteral("not a file"));
        QVERIFY(DropView::droppedFiles(text).empty());
    }

    // Files are taken by a drop, Ctrl+O, the toolbar or a click on the drop
    // area only when the model is loaded, a destination is chosen and no batch
    // runs; a preview, which writes nothing, needs no destination. A batch
    // cancelled shows it is cancelling until it has ended.
    void filesAreTakenOnlyWhenTheWindowIsReadyForThem() {
        test::WindowFixture fixture;
        Brain& brain = fixture.brain;
        DropView& view = fixture.dropView();
        const QAction& addFiles = *fixture.window.addFilesAction();
        const QAction& preview = *fixture.window.previewAction();
        const auto input = fixture.workspace.path(QStringLiteral("long.wav"));
        test::writeNoiseWav(input, 2, 120.0);
        const auto drag = fileDrag({input});
        // The ways in that took the files: none where files are refused. The
        // drop comes first: it ends a drag that entered while files were
        // taken, so it checks the state again on its own.
        const auto waysIn = [&] {
            QStringList ways;
            if (dropIsAccepted(view, *drag)) ways << "drop";
            if (dragEnterIsAccepted(view, *drag)) ways << "drag";
            if (addFiles.isEnabled()) ways << "Add Files";
            if (fixture.window.isVisible()) {
                QTest::keySequence(&fixture.window, QKeySequence::Open);
                QTest::mouseClick(fixture.window.addFilesButton(), Qt::LeftButton);
                QTest::mouseClick(&view, Qt::LeftButton, {}, QPoint(10, 10));
            }
            if (!fixture.asked.empty()) ways << "dialog";
            return ways;
        };
        const auto pressControlP = [&] { QTest::keySequence(&fixture.window, QKeySequence(Qt::CTRL | Qt::Key_P)); };

        // Loading refuses even with a folder.
        brain.setOutputFolder(fixture.workspace.folder(QStringLiteral("out")));
        QCOMPARE(view.state(), State::loadingModel);
        QCOMPARE(waysIn(), QStringList());
        QVERIFY(!preview.isEnabled());

        fixture.show();
        QVERIFY(test::waitForModel(brain));
        QCOMPARE(view.state(), State::dragAndDropAudio);
        QVERIFY(dragEnterIsAccepted(view, *drag));
        QVERIFY(addFiles.isEnabled());

        brain.setOutputFolder(std::nullopt);
        QCOMPARE(view.state(), State::chooseDestination);
        QCOMPARE(waysIn(), QStringList());
        pressControlP();
        QCOMPARE(fixture.asked, std::vector<FileSelection>{FileSelection::one});
        QVERIFY(!fixture.window.previewDialog());

        brain.setOutputFolder(fixture.workspace.folder(QStringLiteral("out")));
        QVERIFY(dragEnterIsAccepted(view, *drag));
        QSignalSpy finished(&brain, &Brain::batchFinished);
        brain.processDroppedFiles({input});
        QCOMPARE(view.state(), State::processing);
        fixture.asked.clear();
        QCOMPARE(waysIn(), QStringList());
        QVERIFY(!preview.isEnabled());
        pressControlP();
        QVERIFY(fixture.asked.empty());

        QList<State> later;
        connect(&view, &DropView::stateChanged, this, [&](State state) { later.append(state); });
        auto* bar = view.findChild<LinearProgressBar*>();
        QVERIFY(bar && bar->isVisible());
        QTest::mouseClick(view.cancelButton(), Qt::LeftButton);
        QCOMPARE(view.state(), State::cancelling);
        QVERIFY(brain.shouldCancelProcessing() && brain.modelIsProcessing());
        QVERIFY(!view.cancelButton()->isEnabled());
        // The cancelling display's spinner does not fade in over the bar.
        QVERIFY(!bar->isVisible());
        QVERIFY(finished.wait(30000));
        QCOMPARE(later, (QList<State>{State::cancelling, State::finished}));
        // The only file was cancelled: the report says nothing was written, and nothing is left.
        QCOMPARE(view.statusText(), QStringLiteral("Cancelled · nothing was written · 1 not processed"));
        QVERIFY(!view.writtenFilesList()->isVisible());
        QVERIFY(!view.showInFolderButton()->isVisible());
        QVERIFY(!brain.shouldCancelProcessing());
        QVERIFY(std::filesystem::is_empty(fixture.workspace.path(QStringLiteral("out"))));
        QVERIFY(addFiles.isEnabled());
        QVERIFY(preview.isEnabled());

        // Nothing refused above was handed on: only the one batch ran.
        QTest::qWait(50);
        QCOMPARE(finished.count(), 1);
        QVERIFY(!brain.modelIsProcessing());
        QVERIFY(!brain.alertIsDisplayed());
    }

    // Files come in by a drop or by Add Files (Ctrl+O, the toolbar, a click on
    // the finished drop area) in the order given; the outcome is shown until
    // files come in again, even when they start no batch.
    void aFinishedBatchIsReportedUntilFilesComeInAgain() {
        test::WindowFixture fixture;
        fixture.interaction.answer = ExistingFileAnswer::skip;
        const auto output = fixture.showReadyForFiles();
        Brain& brain = fixture.brain;
        DropView& view = fixture.dropView();
        std::vector<std::filesystem::path> opened;
        bool fileManager = true;
        view.setFolderOpener([&](const std::filesystem::path& folder) {
            opened.push_back(folder);
            return fileManager;
        });
        const auto input = [&](const char* name) { return fixture.workspace.path(QString::fromLatin1(name)); };
        for (const char* name : {"c.wav", "b.wav", "d.wav"}) {
            test::writeNoiseWav(input(name), 1, 0.5);
        }
        test::writeNoiseWav(input("f-first.wav"), 1, 5.0);
        test::writeNoiseWav(input("e-second.wav"), 1, 5.0);
        std::ofstream(input("a-notes.wav")) << "not audio";
        std::ofstream(output / "b.wav") << "keep me";
        QStringList lines;
        connect(&brain, &Brain::nameOfFileBeingProcessedChanged, this, [&] { lines.append(view.processingText()); });
        QSignalSpy finished(&brain, &Brain::batchFinished);
        // Each written file's row names the loudness it was brought to.
        brain.setLoudnessTarget({-30.0});

        // Written, skipped (its output exists), failed (not audio), not processed.
        const auto drag = fileDrag({input("c.wav"), input("b.wav"), input("a-notes.wav"), input("d.wav")});
        QVERIFY(dragEnterIsAccepted(view, *drag));
        QVERIFY(dropIsAccepted(view, *drag));
        QVERIFY(finished.wait(30000));
        QCOMPARE(lines, (QStringList{"File 1 of 3: Denoising “c.wav”…", "File 2 of 3: Denoising “a-notes.wav”…"}));
        QCOMPARE(view.state(), State::finished);
        QCOMPARE(view.statusText(), QStringLiteral("1 file cleaned · 1 skipped · 1 failed · 1 not processed"));
        QVERIFY(std::filesystem::exists(output / "c.wav"));
        const QListWidget* written = view.writtenFilesList();
        QCOMPARE(written->count(), 1);
        QCOMPARE(written->item(0)->data(Qt::AccessibleTextRole).toString(), QStringLiteral("c.wav, -30.0 LUFS"));
        QVERIFY(written->isVisible());

        // The files the failure left are listed with their reasons; the user
        // dismisses the alert, comes back to the window and processes them.
        const QListWidget* unprocessed = view.unprocessedFilesList();
        QStringList rows;
        for (int i = 0; i < unprocessed->count(); ++i) {
            rows.append(unprocessed->item(i)->data(Qt::AccessibleTextRole).toString());
        }
        QCOMPARE(rows, (QStringList{"a-notes.wav: failed: the file is damaged or is not an audio file",
                                    "d.wav: not processed: an earlier file failed"}));
        QVERIFY(unprocessed->item(0)->toolTip().endsWith("Details: Invalid data found when processing input"));
        QVERIFY(unprocessed->isVisible());
        QVERIFY(brain.alertIsDisplayed());
        brain.setAlertIsDisplayed(false);
        fixture.window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&fixture.window));
        QTest::mouseClick(view.processRemainingButton(), Qt::LeftButton);
        QVERIFY(finished.wait(30000));
        QCOMPARE(view.statusText(), QStringLiteral("1 file cleaned"));
        QVERIFY(std::filesystem::exists(output / "d.wav"));
        QVERIFY(!unprocessed->isVisible());
        QVERIFY(!view.processRemainingButton()->isVisible());
        QVERIFY(!brain.alertIsDisplayed());
        QCOMPARE(view.timeLeftLine(), QString());

        QTest::mouseClick(view.showInFolderButton(), Qt::LeftButton);
        QCOMPARE(opened, std::vector<std::filesystem::path>{output});
        QCOMPARE(view.showInFolderFailureText(), QString());
        // Without a file manager the window says where the files are.
        fileManager = false;
        QTest::mouseClick(view.showInFolderButton(), Qt::LeftButton);
        QCOMPARE(opened.size(), 2u);
        const QString failure =
            QStringLiteral("No file manager is available to show the folder. The files are in “%1”.")
                .arg(QString::fromStdString(output.string()));
        QCOMPARE(view.showInFolderFailureText(), failure);
        QVERIFY(view.statusText().endsWith(failure));

        // A cancelled dialog starts nothing and keeps the report; a click on
        // the drop area goes to a corner, as its middle holds its own controls.
        QTest::mouseClick(fixture.window.addFilesButton(), Qt::LeftButton);
        QTest::mouseClick(&view, Qt::LeftButton, {}, QPoint(10, 10));
        QCOMPARE(fixture.asked, (std::vector<FileSelection>{FileSelection::several, FileSelection::several}));
        QTest::qWait(50);
        QCOMPARE(finished.count(), 2);
        QVERIFY(!brain.alertIsDisplayed());
        QCOMPARE(view.state(), State::finished);

        // Each file's bar runs full, and the next file's starts empty.
        bool firstRanFull = false;
        double barUnderSecondName = -1.0;
        connect(&brain, &Brain::progressChanged, this, [&] {
            firstRanFull = firstRanFull ||
                           (brain.nameOfFileBeingProcessedText() == "f-first.wav" && view.displayedProgress() == 1.0);
        });
        connect(&brain, &Brain::nameOfFileBeingProcessedChanged, this, [&] {
            if (brain.nameOfFileBeingProcessedText() == "e-second.wav") {
                barUnderSecondName = view.displayedProgress();
            }
        });
        lines.clear();
        fixture.chosen = {input("f-first.wav"), input("e-second.wav")};
        QTest::keySequence(&fixture.window, QKeySequence::Open);
        QVERIFY(finished.wait(60000));
        QCOMPARE(lines,
                 (QStringList{"File 1 of 2: Denoising “f-first.wav”…", "File 2 of 2: Denoising “e-second.wav”…"}));
        QCOMPARE(view.statusText(), QStringLiteral("2 files cleaned"));
        QVERIFY(firstRanFull);
        QCOMPARE(barUnderSecondName, 0.0);

        const auto again = fileDrag({input("b.wav")});
        QVERIFY(dragEnterIsAccepted(view, *again));
        QVERIFY(dropIsAccepted(view, *again));
        QTRY_COMPARE(view.state(), State::dragAndDropAudio);
        QVERIFY(!brain.modelIsProcessing());
        std::ostringstream kept;
        kept << std::ifstream(output / "b.wav").rdbuf();
        QCOMPARE(kept.str(), std::string("keep me"));
    }
};

QTEST_MAIN(DropViewTests)
#include "DropViewTests.moc"
