// "Preview…" and a written file's "Compare": when they may be used, and that
// they write nothing and say so plainly when there is no audio output (as
// under the offscreen platform).

#include <QAction>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>

#include "UiTestSupport.h"
#include "ui/ContentView.h"
#include "ui/DropView.h"
#include "ui/PreviewDialog.h"

namespace vesh {

namespace {

std::vector<std::string> entries(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// The window with a file chooser that records how it was asked and hands over `chosen`.
struct Fixture : test::WindowFixture {
    std::vector<std::filesystem::path> chosen;
    std::vector<FileSelection> asked;

    Fixture() {
        window.setFileChooser([this](FileSelection selection) {
            asked.push_back(selection);
            return chosen;
        });
    }
    void pressControlP() { QTest::keySequence(&window, QKeySequence(Qt::CTRL | Qt::Key_P)); }
};

}  // namespace

class PreviewTests : public QObject {
    Q_OBJECT

private slots:
    void previewNeedsTheModelAndNoBatch() {
        Fixture fixture;
        Brain& brain = fixture.brain;
        QAction& preview = *fixture.window.previewAction();
        QVERIFY(brain.modelIsLoading());
        QVERIFY(!preview.isEnabled());
        fixture.show();
        fixture.pressControlP();
        QVERIFY(fixture.asked.empty());

        // No destination is needed: a preview writes nothing.
        QVERIFY(test::waitForModel(brain));
        QVERIFY(preview.isEnabled());
        fixture.pressControlP();
        QCOMPARE(fixture.asked, std::vector<FileSelection>{FileSelection::one});
        QVERIFY(!fixture.window.previewDialog());

        brain.setOutputFolder(fixture.workspace.folder(QStringLiteral("out")));
        const auto input = fixture.workspace.path(QStringLiteral("long.wav"));
        test::writeNoiseWav(input, 2, 120.0);
        QSignalSpy finished(&brain, &Brain::batchFinished);
        brain.processDroppedFiles({input});
        QVERIFY(brain.modelIsProcessing());
        QVERIFY(!preview.isEnabled());
        fixture.pressControlP();
        QCOMPARE(fixture.asked.size(), std::size_t{1});
        brain.setShouldCancelProcessing(true);
        QVERIFY(finished.wait(30000));
        QVERIFY(preview.isEnabled());
    }

    void aPreviewWritesNothingAndSaysWhenNothingCanPlayIt() {
        Fixture fixture;
        fixture.show();
        QVERIFY(test::waitForModel(fixture.brain));
        const auto in = fixture.workspace.folder(QStringLiteral("in"));
        const auto out = fixture.workspace.folder(QStringLiteral("out"));
        fixture.brain.setOutputFolder(out);
        fixture.chosen = {in / "talk.wav"};
        test::writeNoiseWav(fixture.chosen.front(), 2, 14.0);

        fixture.pressControlP();
        PreviewDialog* dialog = fixture.window.previewDialog();
        QVERIFY(dialog);
        QSignalSpy prepared(dialog, &PreviewDialog::preparationFinished);
        QVERIFY(prepared.wait(60000));
        QVERIFY(dialog->isReady());
        QCOMPARE(entries(in), std::vector<std::string>{"talk.wav"});
        QVERIFY(entries(out).empty());

        QCOMPARE(dialog->messageText(),
                 QStringLiteral("No audio output device is available, so the preview cannot be played."));
        QVERIFY(!dialog->playButton()->isEnabled());
        QVERIFY(!dialog->isPlaying());
        // The window goes on as before.
        QVERIFY(fixture.window.addFilesAction()->isEnabled());
        QVERIFY(fixture.window.previewAction()->isEnabled());
    }

    void aWrittenFileIsComparedWithItsOriginal() {
        Fixture fixture;
        fixture.show();
        QVERIFY(test::waitForModel(fixture.brain));
        const auto in = fixture.workspace.folder(QStringLiteral("in"));
        const auto out = fixture.workspace.folder(QStringLiteral("out"));
        fixture.brain.setOutputFolder(out);
        const auto source = in / "talk.wav";
        test::writeNoiseWav(source, 2, 3.0);
        QSignalSpy finished(&fixture.brain, &Brain::batchFinished);
        fixture.brain.processDroppedFiles({source});
        QVERIFY(finished.wait(60000));

        QListWidget* written = fixture.window.contentView()->dropView()->writtenFilesList();
        QTRY_COMPARE(written->count(), 1);
        auto* compare = written->itemWidget(written->item(0))->findChild<QPushButton*>(QStringLiteral("compare"));
        QVERIFY(compare);
        compare->click();
        PreviewDialog* dialog = fixture.window.previewDialog();
        QVERIFY(dialog);
        QVERIFY(dialog->isComparison());
        QSignalSpy prepared(dialog, &PreviewDialog::preparationFinished);
        QVERIFY(prepared.wait(60000));
        QVERIFY(dialog->isReady());
        QCOMPARE(dialog->switchButton()->text(), QStringLiteral("B: Written file"));
        QCOMPARE(dialog->messageText(),
                 QStringLiteral("No audio output device is available, so the preview cannot be played."));
        QCOMPARE(entries(in), std::vector<std::string>{"talk.wav"});
        QCOMPARE(entries(out), std::vector<std::string>{"talk.wav"});
    }
};

}  // namespace vesh

QTEST_MAIN(vesh::PreviewTests)
#include "PreviewTests.moc"
