#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QListWidget>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QUrl>

#include <fstream>

#include "UiTestSupport.h"
#include "ui/DropView.h"

using namespace vesh;
using State = DropView::State;

namespace {

QMimeData* fileDrag(const std::vector<std::filesystem::path>& files) {
    auto* mimeData = new QMimeData;
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
    void selectsTheDisplayByTheFirstMatchingRule() {
        // Arguments: loading, processing, folder, cancel, finished batch.
        QCOMPARE(DropView::state(true, true, true, true, true), State::loadingModel);
        QCOMPARE(DropView::state(false, false, false, true, true), State::chooseDestination);
        QCOMPARE(DropView::state(false, false, true, false, true), State::finished);
        QCOMPARE(DropView::state(false, false, true, true, false), State::dragAndDropAudio);
        QCOMPARE(DropView::state(false, true, false, false, true), State::processing);
        QCOMPARE(DropView::state(false, true, true, true, true), State::cancelling);
    }

    void progressIsTheMeanOfTheChannels() {
        QCOMPARE(DropView::progressValue({0.5, 1.0}), 0.75);
        QCOMPARE(DropView::progressValue({}), 0.0);
    }

    void summarySaysWhatBecameOfTheFiles() {
        using Status = Brain::FileOutcome::Status;
        const auto outcome = [](std::initializer_list<Status> statuses) {
            Brain::BatchOutcome batch{"/out", {}};
            for (const Status status : statuses) {
                batch.files.push_back({.source = "/in/x.wav", .status = status});
            }
            return batch;
        };
        QCOMPARE(DropView::summaryText(outcome({Status::written})), QStringLiteral("1 file cleaned"));
        QCOMPARE(DropView::summaryText(
                     outcome({Status::written, Status::skipped, Status::written, Status::failed, Status::written})),
                 QStringLiteral("3 files cleaned · 1 skipped · 1 failed"));
        QCOMPARE(DropView::summaryText(outcome({Status::failed, Status::notProcessed, Status::notProcessed})),
                 QStringLiteral("No files cleaned · 1 failed · 2 not processed"));
        QCOMPARE(DropView::summaryText(outcome({Status::written, Status::cancelled, Status::notProcessed})),
                 QStringLiteral("1 file cleaned · 2 not processed"));
        Brain::BatchOutcome clipped = outcome({Status::written, Status::written});
        clipped.files[1].clipped = true;
        QCOMPARE(DropView::summaryText(clipped), QStringLiteral("2 files cleaned · 1 clipped"));

        // A batch cancelled before it wrote or failed anything leaves nothing to report.
        QVERIFY(!DropView::isWorthReporting(outcome({Status::skipped, Status::cancelled, Status::notProcessed})));
        QVERIFY(DropView::isWorthReporting(outcome({Status::cancelled, Status::failed})));
    }

    void processingLineCountsTheFilesOfABatchOfSeveral() {
        QCOMPARE(DropView::processingLine(QStringLiteral("b.wav"), 1, 5),
                 QStringLiteral("File 2 of 5: Denoising “b.wav”…"));
        QCOMPARE(DropView::processingLine(QStringLiteral("a.wav"), 0, 1), QStringLiteral("Denoising “a.wav”…"));
    }

    void collectsLocalFilesInDropOrderAndSkipsOtherItems() {
        QMimeData mimeData;
        mimeData.setUrls({QUrl::fromLocalFile(QStringLiteral("/tmp/z last.wav")),
                          QUrl(QStringLiteral("https://example.org/remote.wav")),
                          QUrl::fromLocalFile(QStringLiteral("/tmp/a first.flac")),
                          QUrl::fromLocalFile(QStringLiteral("/tmp/Ünïcode.m4a"))});
        const auto files = DropView::droppedFiles(mimeData);
        QCOMPARE(files.size(), std::size_t{3});
        QCOMPARE(QString::fromStdString(files[0].string()), QStringLiteral("/tmp/z last.wav"));
        QCOMPARE(QString::fromStdString(files[1].string()), QStringLiteral("/tmp/a first.flac"));
        QCOMPARE(QString::fromStdString(files[2].string()), QStringLiteral("/tmp/Ünïcode.m4a"));

        QMimeData text;
        text.setText(QStringLiteral("not a file"));
        QVERIFY(DropView::droppedFiles(text).empty());
    }

    void refusesDropsWhileLoadingWithoutAFolderAndWhileProcessing() {
        test::Workspace workspace;
        test::ScriptedInteraction interaction;
        Brain brain(workspace.settings(), interaction);
        DropView view(brain);
        const auto input = workspace.path(QStringLiteral("long.wav"));
        test::writeNoiseWav(input, 2, 30.0);
        const std::unique_ptr<QMimeData> drag(fileDrag({input}));

        // Loading refuses even with a folder.
        brain.setOutputFolder(workspace.folder(QStringLiteral("out")));
        QCOMPARE(view.state(), State::loadingModel);
        QVERIFY(!dragEnterIsAccepted(view, *drag));
        QVERIFY(!dropIsAccepted(view, *drag));

        QVERIFY(test::waitForModel(brain));
        QCOMPARE(view.state(), State::dragAndDropAudio);
        QVERIFY(dragEnterIsAccepted(view, *drag));

        brain.setOutputFolder(std::nullopt);
        QCOMPARE(view.state(), State::chooseDestination);
        QVERIFY(!dragEnterIsAccepted(view, *drag));
        QVERIFY(!dropIsAccepted(view, *drag));

        brain.setOutputFolder(workspace.folder(QStringLiteral("out")));
        QSignalSpy finished(&brain, &Brain::batchFinished);
        brain.processDroppedFiles({input});
        QCOMPARE(view.state(), State::processing);
        QVERIFY(!dragEnterIsAccepted(view, *drag));
        QVERIFY(!dropIsAccepted(view, *drag));
        brain.setShouldCancelProcessing(true);
        QVERIFY(finished.wait(30000));

        // Nothing refused above was handed on: only the one batch ran.
        QTest::qWait(50);
        QCOMPARE(finished.count(), 1);
        QVERIFY(!brain.modelIsProcessing());
    }

    void droppedFilesReachBrainInDropOrder() {
        test::Workspace workspace;
        test::ScriptedInteraction interaction;
        Brain brain(workspace.settings(), interaction);
        DropView view(brain);
        QVERIFY(test::waitForModel(brain));
        const auto output = workspace.folder(QStringLiteral("out"));
        brain.setOutputFolder(output);

        const std::vector<std::filesystem::path> inputs{workspace.path(QStringLiteral("c-first.wav")),
                                                        workspace.path(QStringLiteral("a-second.wav")),
                                                        workspace.path(QStringLiteral("b-third.wav"))};
        for (const auto& input : inputs) {
            test::writeNoiseWav(input, 1, 0.5);
        }
        QStringList names;
        connect(&brain, &Brain::nameOfFileBeingProcessedChanged, this,
                [&] { names.append(brain.nameOfFileBeingProcessedText()); });
        QSignalSpy finished(&brain, &Brain::batchFinished);

        const std::unique_ptr<QMimeData> drag(fileDrag(inputs));
        QVERIFY(dragEnterIsAccepted(view, *drag));
        QVERIFY(dropIsAccepted(view, *drag));
        QVERIFY(finished.wait(30000));

        QCOMPARE(names, (QStringList{"c-first.wav", "a-second.wav", "b-third.wav"}));
        for (const char* name : {"c-first.wav", "a-second.wav", "b-third.wav"}) {
            QVERIFY2(std::filesystem::exists(output / name), name);
        }
        QVERIFY(!brain.alertIsDisplayed());
    }

    void cancelShowsCancellingUntilTheBatchHasEnded_data() {
        QTest::addColumn<double>("seconds");
        // Cancelling acts wherever the file is, even in a file shorter than one segment.
        QTest::newRow("long file") << 30.0;
        QTest::newRow("file shorter than one segment") << 1.0;
    }

    void cancelShowsCancellingUntilTheBatchHasEnded() {
        QFETCH(double, seconds);
        test::Workspace workspace;
        test::ScriptedInteraction interaction;
        Brain brain(workspace.settings(), interaction);
        DropView view(brain);
        view.show();
        QVERIFY(test::waitForModel(brain));
        const auto output = workspace.folder(QStringLiteral("out"));
        brain.setOutputFolder(output);
        const auto input = workspace.path(QStringLiteral("take.wav"));
        test::writeNoiseWav(input, 2, seconds);

        brain.processDroppedFiles({input});
        QCOMPARE(view.state(), State::processing);
        auto* cancel = view.findChild<QPushButton*>(QStringLiteral("cancel"));
        QVERIFY(cancel);
        QVERIFY(cancel->isEnabled());
        QList<State> later;
        connect(&view, &DropView::stateChanged, this, [&](State state) { later.append(state); });

        QTest::mouseClick(cancel, Qt::LeftButton);
        QCOMPARE(view.state(), State::cancelling);
        QVERIFY(brain.shouldCancelProcessing());
        QVERIFY(brain.modelIsProcessing());
        QVERIFY(!cancel->isEnabled());

        QVERIFY(QTest::qWaitFor([&] { return !brain.modelIsProcessing(); }, 30000));
        QCOMPARE(later, (QList<State>{State::cancelling, State::dragAndDropAudio}));
        QVERIFY(!brain.shouldCancelProcessing());
        QVERIFY(!std::filesystem::exists(output / "take.wav"));
        QVERIFY(!brain.alertIsDisplayed());
    }

    void progressBarShowsTheMeanOfTheChannelsWhileProcessing() {
        test::Workspace workspace;
        test::ScriptedInteraction interaction;
        Brain brain(workspace.settings(), interaction);
        DropView view(brain);
        QVERIFY(test::waitForModel(brain));
        brain.setOutputFolder(workspace.folder(QStringLiteral("out")));
        const auto input = workspace.path(QStringLiteral("stereo.wav"));
        test::writeNoiseWav(input, 2, 12.0);

        std::size_t mostChannels = 0;
        bool sawPartWay = false;
        bool barFollowed = true;
        connect(&brain, &Brain::progressChanged, this, [&] {
            const auto& channels = brain.progress().channels;
            double sum = 0.0;
            for (const double fraction : channels) {
                sum += fraction;
            }
            const double mean = channels.empty() ? 0.0 : sum / static_cast<double>(channels.size());
            barFollowed = barFollowed && qFuzzyCompare(1.0 + view.displayedProgress(), 1.0 + mean);
            mostChannels = std::max(mostChannels, channels.size());
            sawPartWay = sawPartWay || (channels.size() == 2 && mean > 0.0 && mean < 1.0);
        });
        QSignalSpy finished(&brain, &Brain::batchFinished);
        brain.processDroppedFiles({input});
        QVERIFY(finished.wait(60000));
        QCOMPARE(view.processingText(), QStringLiteral("Denoising “stereo.wav”…"));

        QVERIFY(barFollowed);
        QCOMPARE(mostChannels, std::size_t{2});
        QVERIFY(sawPartWay);
        QCOMPARE(view.displayedProgress(), 0.0);
    }

    void aFinishedBatchIsReportedUntilTheNextDrop() {
        test::Workspace workspace;
        test::ScriptedInteraction interaction;
        interaction.answer = UserInteraction::ExistingFileAnswer::skip;
        Brain brain(workspace.settings(), interaction);
        DropView view(brain);
        view.show();
        std::vector<std::filesystem::path> opened;
        view.setFolderOpener([&](const std::filesystem::path& folder) { opened.push_back(folder); });
        QVERIFY(test::waitForModel(brain));
        const auto output = workspace.folder(QStringLiteral("out"));
        brain.setOutputFolder(output);

        // Written, skipped (its output exists), failed (not audio), not processed.
        const std::vector<std::filesystem::path> inputs{
            workspace.path(QStringLiteral("a.wav")), workspace.path(QStringLiteral("b.wav")),
            workspace.path(QStringLiteral("notes.wav")), workspace.path(QStringLiteral("d.wav"))};
        test::writeNoiseWav(inputs[0], 1, 0.5);
        test::writeNoiseWav(inputs[1], 1, 0.5);
        std::ofstream(inputs[2]) << "not audio";
        test::writeNoiseWav(inputs[3], 1, 0.5);
        std::ofstream(output / "b.wav") << "keep me";
        QStringList lines;
        connect(&brain, &Brain::nameOfFileBeingProcessedChanged, this, [&] { lines.append(view.processingText()); });
        QSignalSpy finished(&brain, &Brain::batchFinished);

        const std::unique_ptr<QMimeData> drag(fileDrag(inputs));
        QVERIFY(dragEnterIsAccepted(view, *drag));
        QVERIFY(dropIsAccepted(view, *drag));
        QVERIFY(finished.wait(30000));
        QCOMPARE(lines, (QStringList{"File 1 of 3: Denoising “a.wav”…", "File 2 of 3: Denoising “notes.wav”…"}));
        QCOMPARE(view.state(), State::finished);
        QCOMPARE(view.statusText(), QStringLiteral("1 file cleaned · 1 skipped · 1 failed · 1 not processed"));
        QListWidget* written = view.writtenFilesList();
        QCOMPARE(written->count(), 1);
        QCOMPARE(written->item(0)->data(Qt::AccessibleTextRole).toString(), QStringLiteral("a.wav"));
        QVERIFY(written->isVisible());

        QTest::mouseClick(view.showInFolderButton(), Qt::LeftButton);
        QCOMPARE(opened, std::vector<std::filesystem::path>{output});

        // A drop that starts no batch (its one file is skipped) still ends the report.
        const std::unique_ptr<QMimeData> again(fileDrag({inputs[1]}));
        QVERIFY(dragEnterIsAccepted(view, *again));
        QVERIFY(dropIsAccepted(view, *again));
        QTRY_COMPARE(view.state(), State::dragAndDropAudio);
        QVERIFY(!brain.modelIsProcessing());
    }
};

QTEST_MAIN(DropViewTests)
#include "DropViewTests.moc"
