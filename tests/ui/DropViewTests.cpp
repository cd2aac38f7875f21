#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QUrl>

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
    void selectsTheDisplayByTheFirstMatchingRule_data() {
        QTest::addColumn<bool>("loading");
        QTest::addColumn<bool>("processing");
        QTest::addColumn<bool>("folder");
        QTest::addColumn<bool>("cancel");
        QTest::addColumn<State>("expected");
        const struct {
            bool loading, processing, folder, cancel;
            State expected;
        } rows[] = {
            {true, false, false, false, State::loadingModel},
            {true, false, false, true, State::loadingModel},
            {true, false, true, false, State::loadingModel},
            {true, false, true, true, State::loadingModel},
            {true, true, false, false, State::loadingModel},
            {true, true, false, true, State::loadingModel},
            {true, true, true, false, State::loadingModel},
            {true, true, true, true, State::loadingModel},
            {false, false, false, false, State::chooseDestination},
            {false, false, false, true, State::chooseDestination},
            {false, false, true, false, State::dragAndDropAudio},
            {false, false, true, true, State::dragAndDropAudio},
            {false, true, false, false, State::processing},
            {false, true, true, false, State::processing},
            {false, true, false, true, State::cancelling},
            {false, true, true, true, State::cancelling},
        };
        for (const auto& row : rows) {
            QTest::addRow("loading=%d processing=%d folder=%d cancel=%d", row.loading, row.processing, row.folder,
                          row.cancel)
                << row.loading << row.processing << row.folder << row.cancel << row.expected;
        }
    }

    void selectsTheDisplayByTheFirstMatchingRule() {
        QFETCH(bool, loading);
        QFETCH(bool, processing);
        QFETCH(bool, folder);
        QFETCH(bool, cancel);
        QFETCH(State, expected);
        QCOMPARE(DropView::state(loading, processing, folder, cancel), expected);
    }

    void progressIsTheMeanOfTheChannels() {
        QCOMPARE(DropView::progressValue({0.5, 1.0}), 0.75);
        QCOMPARE(DropView::progressValue({0.25}), 0.25);
        QCOMPARE(DropView::progressValue({0.0, 0.5, 1.0, 0.5}), 0.5);
        QCOMPARE(DropView::progressValue({}), 0.0);
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
};

QTEST_MAIN(DropViewTests)
#include "DropViewTests.moc"
