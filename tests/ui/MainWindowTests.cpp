// The window shell: layout, sidebar button, error alert, the existing-file
// question, files given at launch, the open dialog, and the preview and
// comparison, which write nothing and say so plainly when there is no audio
// output (as under the offscreen platform).

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QSplitter>
#include <QTest>
#include <QTimer>

#include <algorithm>

#include "UiTestSupport.h"
#include "ui/MixSlider.h"
#include "ui/PreviewDialog.h"
#include "ui/Sidebar.h"
#include "ui/SpectrogramView.h"
#include "ui/TextView.h"
#include "ui/VeshApp.h"
#include "ui/WindowInteraction.h"

using namespace vesh;
using test::entries;

namespace {

QMessageBox* openMessageBox(const QString& objectName) {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (box && box->isVisible() && box->objectName() == objectName) {
            return box;
        }
    }
    return nullptr;
}

}  // namespace

class MainWindowTests : public QObject {
    Q_OBJECT

private slots:
    void windowIsTitledVeshAndItsSidebarButtonCollapsesAndRestoresTheSidebar() {
        test::WindowFixture fixture;
        MainWindow& window = fixture.window;
        QCOMPARE(window.windowTitle(), QStringLiteral("Vesh"));
        QCOMPARE(window.contentView()->splitter()->widget(0), window.contentView()->sidebar());
        QCOMPARE(window.contentView()->splitter()->widget(1), &fixture.dropView());
        QCOMPARE(fixture.dropView().state(), DropView::State::loadingModel);
        window.resize(1000, 600);
        fixture.show();
        ContentView& content = *window.contentView();
        QSplitter& splitter = *content.splitter();
        splitter.setSizes({380, 619});
        const int sidebarWidth = splitter.sizes().value(0);
        QVERIFY(sidebarWidth >= Sidebar::minimumSidebarWidth);
        QAction* toggle = window.toggleSidebarAction();

        toggle->trigger();
        QTRY_VERIFY(content.isSidebarCollapsed());
        QCOMPARE(splitter.sizes().value(0), 0);
        QVERIFY(content.dropView()->width() > 900);
        // The collapsed sidebar stays collapsed after the window is laid out again.
        window.resize(1100, 600);
        QTRY_COMPARE(content.dropView()->width(), content.width());
        QCOMPARE(splitter.sizes().value(0), 0);

        toggle->trigger();
        QTRY_VERIFY(!content.isSidebarCollapsed());
        QCOMPARE(splitter.sizes().value(0), sidebarWidth);

        // Showing the sidebar widens a window made as narrow as the drop area.
        // Its minimum width follows the collapse only once the layout has
        // caught up, so a resize made before that is clamped: ask again until it takes.
        toggle->trigger();
        QTRY_VERIFY(content.isSidebarCollapsed());
        QTRY_VERIFY((window.resize(DropView::minimumDropAreaWidth, window.height()),
                     content.dropView()->width() == DropView::minimumDropAreaWidth));
        toggle->trigger();
        QTRY_VERIFY(!content.isSidebarCollapsed());
        QVERIFY(content.sidebar()->width() >= Sidebar::minimumSidebarWidth);
        QVERIFY(content.dropView()->width() >= DropView::minimumDropAreaWidth);
    }

    void errorRaisesTheAlertAndDismissingItClearsTheFlag() {
        test::WindowFixture fixture;
        fixture.show();
        Brain& brain = fixture.brain;
        QVERIFY(test::waitForModel(brain));

        // Files arriving without a destination.
        const auto take = fixture.workspace.path(QStringLiteral("take.wav"));
        brain.processDroppedFiles({take});
        QVERIFY(brain.alertIsDisplayed());
        QMessageBox* box = nullptr;
        QTRY_VERIFY((box = openMessageBox(QStringLiteral("errorAlert"))) != nullptr);
        QCOMPARE(box->text(), QStringLiteral("No output folder selected."));
        QCOMPARE(box->informativeText(),
                 QStringLiteral("Click “Choose a folder” in the Output section to select a destination for the "
                                "denoised audio."));
        QCOMPARE(box->buttons().size(), 1);

        box->buttons().first()->click();
        QTRY_VERIFY(!brain.alertIsDisplayed());
        QTRY_VERIFY(!openMessageBox(QStringLiteral("errorAlert")));

        // A second error opens the alert again; lowering the flag elsewhere closes it.
        brain.processDroppedFiles({take});
        QTRY_VERIFY(openMessageBox(QStringLiteral("errorAlert")) != nullptr);
        brain.setAlertIsDisplayed(false);
        QTRY_VERIFY(!openMessageBox(QStringLiteral("errorAlert")));
    }

    void existingFileQuestionOffersSkipReplaceStopAndKeepsTheNameWhole_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("answer");
        // Whether the question offers "Apply to all", and whether it is checked before the click.
        QTest::addColumn<bool>("offered");
        QTest::addColumn<bool>("forAll");
        QTest::newRow("Skip, long name in words") << "Interview with Dana and Alex, part 2 of 3.wav"
                                                  << "Skip" << int(ExistingFileAnswer::skip) << false << false;
        QTest::newRow("Replace, long name in one word")
            << "Board_meeting_2026-12-01_recorded_in_the_small_room.wav"
            << "Replace" << int(ExistingFileAnswer::replace) << true << false;
        QTest::newRow("Skip all") << "take.wav"
                                  << "Skip" << int(ExistingFileAnswer::skip) << true << true;
        QTest::newRow("Stop") << "take.wav"
                              << "Stop" << int(ExistingFileAnswer::stop) << true << true;
        QTest::newRow("Escape") << "take.wav" << QString() << int(ExistingFileAnswer::stop) << false << false;
    }

    void existingFileQuestionOffersSkipReplaceStopAndKeepsTheNameWhole() {
        QFETCH(QString, name);
        QFETCH(QString, button);
        QFETCH(int, answer);
        QFETCH(bool, offered);
        QFETCH(bool, forAll);
        QWidget parent;
        parent.show();
        WindowInteraction interaction;
        interaction.setWindow(&parent);
        const QString firstLine = QStringLiteral("A file named “%1”").arg(name);
        const QString question = firstLine + QStringLiteral(
                                                 " already exists in the output folder. Do you want to "
                                                 "skip it, replace it, or stop processing altogether?");

        // What the open question shows, read before it is answered.
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QString text;
        QString informativeText;
        QStringList buttonsLeftToRight;
        QString checkBox;
        int textWidth = -1;
        int firstLineWidth = 0;
        QTimer::singleShot(0, this, [&] {
            QMessageBox* box = openMessageBox(QStringLiteral("existingFileQuestion"));
            if (!box) {
                return;
            }
            icon = box->icon();
            text = box->text();
            informativeText = box->informativeText();
            if (box->checkBox()) {
                checkBox = box->checkBox()->text();
                if (forAll) {
                    QTest::mouseClick(box->checkBox(), Qt::LeftButton);
                }
            }
            QList<QAbstractButton*> buttons = box->buttons();
            std::sort(buttons.begin(), buttons.end(), [](auto* a, auto* b) { return a->x() < b->x(); });
            QAbstractButton* chosen = nullptr;
            for (QAbstractButton* each : buttons) {
                buttonsLeftToRight.append(each->text());
                chosen = each->text() == button ? each : chosen;
            }
            for (const QLabel* label : box->findChildren<QLabel*>()) {
                if (label->text() == question) {
                    textWidth = label->contentsRect().width();
                    firstLineWidth = label->fontMetrics().horizontalAdvance(firstLine);
                }
            }
            if (chosen) {
                chosen->click();
            } else {
                QTest::keyClick(box, Qt::Key_Escape);
            }
        });
        const auto reply = interaction.askAboutExistingFile(question.toStdString(), offered);
        QCOMPARE(int(reply.answer), answer);
        // Stop ends the batch: it is never an answer for all.
        QCOMPARE(reply.appliesToAll, forAll && button != QStringLiteral("Stop"));
        QCOMPARE(checkBox, offered ? QStringLiteral("Apply to all") : QString());
        QCOMPARE(icon, QMessageBox::Question);
        QCOMPARE(text, QString());
        QCOMPARE(informativeText, question);
        QCOMPARE(buttonsLeftToRight, (QStringList{"Skip", "Replace", "Stop"}));
        QVERIFY(firstLineWidth > 0);
        QVERIFY2(textWidth >= firstLineWidth, qPrintable(QStringLiteral("%1 < %2").arg(textWidth).arg(firstLineWidth)));
    }

    void filesGivenAtLaunchWaitForADestinationAndAreProcessedOnce() {
        const QString waiting = QStringLiteral("3 files waiting: choose a destination");
        test::Workspace workspace;
        std::vector<std::filesystem::path> inputs;
        for (int i = 0; i < 3; ++i) {
            inputs.push_back(workspace.path(QStringLiteral("opened %1.wav").arg(i)));
            test::writeNoiseWav(inputs.back(), 1, 0.5);
        }
        VeshApp app(workspace.settings(), inputs);
        app.window().show();
        Brain& brain = app.brain();
        DropView& dropView = *app.window().contentView()->dropView();
        auto* waitingText = dropView.findChild<TextView*>(QStringLiteral("filesWaiting"));
        QVERIFY(waitingText);
        QSignalSpy finished(&brain, &Brain::batchFinished);
        QVERIFY(test::waitForModel(brain));
        QTest::qWait(20);
        QCOMPARE(finished.count(), 0);
        QVERIFY(!brain.alertIsDisplayed());
        QCOMPARE(dropView.state(), DropView::State::chooseDestination);
        QCOMPARE(waitingText->text(), waiting);
        QVERIFY(waitingText->isVisible());
        QVERIFY(dropView.statusText().endsWith(QLatin1String(" ") + waiting));

        const auto output = workspace.folder(QStringLiteral("out"));
        brain.setOutputFolder(output);
        QVERIFY(finished.wait(30000));
        for (const auto& input : inputs) {
            QVERIFY(std::filesystem::exists(output / input.filename()));
        }

        // They are handed over once only, and no longer wait.
        brain.setOutputFolder(std::nullopt);
        QVERIFY(!waitingText->isVisible());
        QVERIFY(!dropView.statusText().contains(QStringLiteral("waiting")));
        brain.setOutputFolder(workspace.folder(QStringLiteral("other")));
        QTest::qWait(50);
        QCOMPARE(finished.count(), 1);
    }

    void theDialogOffersAudioAndVideoFiles() {
        const QString filter = audioAndVideoNameFilter();
        QVERIFY(filter.startsWith(QStringLiteral("Audio and video files (")));
        QVERIFY(filter.endsWith(QStringLiteral(");;All files (*)")));
        for (const char* pattern : {"*.wav ", "*.aiff ", "*.flac ", "*.mp3 ", "*.m4a ", "*.ogg ", "*.opus ", "*.mp4 ",
                                    "*.mov ", "*.mkv ", "*.webm"}) {
            QVERIFY2(filter.contains(QLatin1String(pattern)), pattern);
        }
    }

    // A preview of a chosen file, and a comparison of a written file with
    // its original, write nothing.
    void previewAndComparisonWriteNothingAndSaySoWhenNothingCanPlay() {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        test::WindowFixture fixture;
        const auto out = fixture.showReadyForFiles();
        const auto in = fixture.workspace.folder(QStringLiteral("in"));
        fixture.chosen = {in / "talk.wav"};
        test::writeNoiseWav(fixture.chosen.front(), 2, 14.0);
        // The open dialog once it has prepared its audio; null if it did not.
        const auto preparedDialog = [&]() -> PreviewDialog* {
            PreviewDialog* dialog = fixture.window.previewDialog();
            QSignalSpy prepared(dialog, &PreviewDialog::preparationFinished);
            return dialog && prepared.wait(60000) && dialog->isReady() ? dialog : nullptr;
        };
        const QString noOutput =
            QStringLiteral("No audio output device is available, so the preview cannot be played.");

        QTest::keySequence(&fixture.window, QKeySequence(Qt::CTRL | Qt::Key_P));
        PreviewDialog* preview = preparedDialog();
        QVERIFY(preview);
        QVERIFY(!preview->isComparison());
        QCOMPARE(preview->messageText(), noOutput);
        QVERIFY(!preview->playButton()->isEnabled());
        QVERIFY(!preview->isPlaying());
        // The dialog's Mix is the sidebar's: the dialog may cover the sidebar.
        QVERIFY(preview->mixSlider());
        auto* sidebarMix = fixture.window.contentView()->sidebar()->findChild<QSlider*>(QStringLiteral("mix"));
        QVERIFY(sidebarMix);
        QTest::keyClick(preview, Qt::Key_PageDown);
        QCOMPARE(fixture.brain.wetDryMix(), 0.9);
        QCOMPARE(sidebarMix->value(), 900);
        QCOMPARE(preview->switchButton()->text(), QStringLiteral("B: Cleaned, mix 90%"));
        // The stretch is seen though it cannot be heard, and its cleaned picture follows the mix.
        QVERIFY(preview->spectrogram()->isVisible());
        QVERIFY(preview->spectrogram()->hasStretch());
        QTRY_COMPARE(preview->spectrogram()->shownMix(), 0.9);
        sidebarMix->setValue(500);
        QCOMPARE(preview->mixSlider()->slider()->value(), 500);
        QCOMPARE(entries(in), std::vector<std::string>{"talk.wav"});
        QVERIFY(entries(out).empty());
        // The window goes on as before.
        QVERIFY(fixture.window.addFilesAction()->isEnabled());
        QVERIFY(fixture.window.previewAction()->isEnabled());

        QSignalSpy finished(&fixture.brain, &Brain::batchFinished);
        fixture.brain.processDroppedFiles(fixture.chosen);
        QVERIFY(finished.wait(60000));
        QListWidget* written = fixture.dropView().writtenFilesList();
        QTRY_COMPARE(written->count(), 1);
        auto* compare = written->itemWidget(written->item(0))->findChild<QPushButton*>(QStringLiteral("compare"));
        QVERIFY(compare);
        compare->click();
        const PreviewDialog* comparison = preparedDialog();
        QVERIFY(comparison);
        QVERIFY(comparison->isComparison());
        QVERIFY(!comparison->mixSlider());
        QVERIFY(comparison->spectrogram()->isVisible());
        QCOMPARE(comparison->spectrogram()->shownMix(), 1.0);
        QCOMPARE(comparison->switchButton()->text(), QStringLiteral("B: Written file"));
        QCOMPARE(comparison->messageText(), noOutput);
        QCOMPARE(entries(in), std::vector<std::string>{"talk.wav"});
        QCOMPARE(entries(out), std::vector<std::string>{"talk.wav"});
    }
};

QTEST_MAIN(MainWindowTests)
#include "MainWindowTests.moc"
