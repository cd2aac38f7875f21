#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QSplitter>
#include <QTest>
#include <QTimer>

#include "UiTestSupport.h"
#include "ui/ContentView.h"
#include "ui/DropView.h"
#include "ui/ErrorAlert.h"
#include "ui/MainWindow.h"
#include "ui/Sidebar.h"
#include "ui/TextView.h"
#include "ui/VeshApp.h"
#include "ui/WindowInteraction.h"

using namespace vesh;

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

QAbstractButton* buttonWithText(QMessageBox& box, const QString& text) {
    for (QAbstractButton* button : box.buttons()) {
        if (button->text() == text) {
            return button;
        }
    }
    return nullptr;
}

}  // namespace

class MainWindowTests : public QObject {
    Q_OBJECT

private slots:
    void windowIsTitledVeshWithTheSidebarBeforeTheDropArea() {
        test::Workspace workspace;
        test::ScriptedInteraction interaction;
        Brain brain(workspace.settings(), interaction);
        MainWindow window(brain);
        QCOMPARE(window.windowTitle(), QStringLiteral("Vesh"));
        QSplitter* splitter = window.contentView()->splitter();
        QCOMPARE(splitter->widget(0), static_cast<QWidget*>(window.contentView()->sidebar()));
        QCOMPARE(splitter->widget(1), static_cast<QWidget*>(window.contentView()->dropView()));
        QCOMPARE(window.contentView()->dropView()->state(), DropView::State::loadingModel);
    }

    void sidebarButtonCollapsesAndRestoresTheSidebar() {
        test::Workspace workspace;
        test::ScriptedInteraction interaction;
        Brain brain(workspace.settings(), interaction);
        MainWindow window(brain);
        window.resize(1000, 600);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        ContentView& content = *window.contentView();
        QSplitter& splitter = *content.splitter();
        splitter.setSizes({380, 619});
        const int sidebarWidth = splitter.sizes().value(0);
        QVERIFY(sidebarWidth >= Sidebar::minimumSidebarWidth);
        QAction* toggle = window.toggleSidebarAction();
        QCOMPARE(toggle->text(), QStringLiteral("Hide Sidebar"));

        toggle->trigger();
        QTRY_VERIFY(content.isSidebarCollapsed());
        QCOMPARE(splitter.sizes().value(0), 0);
        QVERIFY(content.dropView()->width() > 900);
        QCOMPARE(toggle->text(), QStringLiteral("Show Sidebar"));
        // The collapsed sidebar stays collapsed after the window is laid out again.
        window.resize(1100, 600);
        QTRY_COMPARE(content.dropView()->width(), content.width());
        QCOMPARE(splitter.sizes().value(0), 0);

        toggle->trigger();
        QTRY_VERIFY(!content.isSidebarCollapsed());
        QCOMPARE(splitter.sizes().value(0), sidebarWidth);
        QCOMPARE(toggle->text(), QStringLiteral("Hide Sidebar"));
    }

    void showingTheSidebarWidensANarrowWindow() {
        test::Workspace workspace;
        test::ScriptedInteraction interaction;
        Brain brain(workspace.settings(), interaction);
        MainWindow window(brain);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        ContentView& content = *window.contentView();
        window.toggleSidebarAction()->trigger();
        QTRY_VERIFY(content.isSidebarCollapsed());
        // The window's minimum width follows the collapse only once the layout
        // has caught up, so a resize made before that is clamped: ask again
        // until it takes.
        QTRY_VERIFY((window.resize(DropView::minimumDropAreaWidth, window.height()),
                     content.dropView()->width() == DropView::minimumDropAreaWidth));

        window.toggleSidebarAction()->trigger();
        QTRY_VERIFY(!content.isSidebarCollapsed());
        QVERIFY(content.sidebar()->width() >= Sidebar::minimumSidebarWidth);
        QVERIFY(content.dropView()->width() >= DropView::minimumDropAreaWidth);
    }

    void errorRaisesTheAlertAndDismissingItClearsTheFlag() {
        test::Workspace workspace;
        test::ScriptedInteraction interaction;
        Brain brain(workspace.settings(), interaction);
        MainWindow window(brain);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(test::waitForModel(brain));

        // Files arriving without a destination.
        brain.processDroppedFiles({workspace.path(QStringLiteral("take.wav"))});
        QVERIFY(brain.alertIsDisplayed());
        QMessageBox* box = nullptr;
        QTRY_VERIFY((box = openMessageBox(QStringLiteral("errorAlert"))) != nullptr);
        QCOMPARE(box, window.errorAlert()->messageBox());
        QCOMPARE(box->text(), QStringLiteral("No output folder selected."));
        QCOMPARE(box->informativeText(),
                 QStringLiteral("Click “Choose a folder” in the Output section to select a destination for the "
                                "denoised audio."));
        QCOMPARE(box->buttons().size(), 1);

        box->buttons().first()->click();
        QTRY_VERIFY(!brain.alertIsDisplayed());
        QTRY_VERIFY(!openMessageBox(QStringLiteral("errorAlert")));

        // A second error opens the alert again.
        brain.processDroppedFiles({workspace.path(QStringLiteral("take.wav"))});
        QTRY_VERIFY(openMessageBox(QStringLiteral("errorAlert")) != nullptr);
        // Lowering the flag elsewhere closes it.
        brain.setAlertIsDisplayed(false);
        QTRY_VERIFY(!openMessageBox(QStringLiteral("errorAlert")));
    }

    void existingFileQuestionOffersSkipReplaceStopInOrder_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("answer");
        QTest::newRow("Skip") << "Skip" << int(UserInteraction::ExistingFileAnswer::skip);
        QTest::newRow("Replace") << "Replace" << int(UserInteraction::ExistingFileAnswer::replace);
        QTest::newRow("Stop") << "Stop" << int(UserInteraction::ExistingFileAnswer::stop);
        QTest::newRow("Escape") << QString() << int(UserInteraction::ExistingFileAnswer::stop);
    }

    void existingFileQuestionOffersSkipReplaceStopInOrder() {
        QFETCH(QString, button);
        QFETCH(int, answer);
        QWidget window;
        window.show();
        WindowInteraction interaction;
        interaction.setWindow(&window);
        const std::string question =
            "A file named “take.wav” already exists in the output folder. Do you want to "
            "skip it, replace it, or stop processing altogether?";
        bool checked = false;
        QTimer::singleShot(0, this, [&] {
            QMessageBox* box = openMessageBox(QStringLiteral("existingFileQuestion"));
            if (!box) {
                return;
            }
            QCOMPARE(box->icon(), QMessageBox::Critical);
            QCOMPARE(box->text(), QString());
            QCOMPARE(box->informativeText(), QString::fromStdString(question));
            QCOMPARE(box->buttons().size(), 3);
            auto* skip = buttonWithText(*box, "Skip");
            auto* replace = buttonWithText(*box, "Replace");
            auto* stop = buttonWithText(*box, "Stop");
            QVERIFY(skip && replace && stop);
            QVERIFY(skip->x() < replace->x());
            QVERIFY(replace->x() < stop->x());
            checked = true;
            if (button.isEmpty()) {
                QTest::keyClick(box, Qt::Key_Escape);
            } else {
                buttonWithText(*box, button)->click();
            }
        });
        const auto result = interaction.askAboutExistingFile(question);
        QVERIFY(checked);
        QCOMPARE(int(result), answer);
    }

    void existingFileQuestionKeepsALongFileNameWhole_data() {
        QTest::addColumn<QString>("name");
        QTest::newRow("words") << "Interview with Dana and Alex, part 2 of 3.wav";
        QTest::newRow("one word") << "Board_meeting_2026-12-01_recorded_in_the_small_room.wav";
    }

    void existingFileQuestionKeepsALongFileNameWhole() {
        QFETCH(QString, name);
        QWidget window;
        window.show();
        WindowInteraction interaction;
        interaction.setWindow(&window);
        const QString firstLine = QStringLiteral("A file named “") + name + QStringLiteral("”");
        const QString question = firstLine + QStringLiteral(
                                                 " already exists in the output folder. Do you want to "
                                                 "skip it, replace it, or stop processing altogether?");
        int textWidth = 0;
        int firstLineWidth = 0;
        QTimer::singleShot(0, this, [&] {
            QMessageBox* box = openMessageBox(QStringLiteral("existingFileQuestion"));
            if (!box) {
                return;
            }
            for (QLabel* label : box->findChildren<QLabel*>()) {
                if (label->text() == question) {
                    textWidth = label->contentsRect().width();
                    firstLineWidth = label->fontMetrics().horizontalAdvance(firstLine);
                }
            }
            buttonWithText(*box, "Stop")->click();
        });
        interaction.askAboutExistingFile(question.toStdString());
        QVERIFY(firstLineWidth > 0);
        QVERIFY2(textWidth >= firstLineWidth, qPrintable(QStringLiteral("%1 < %2").arg(textWidth).arg(firstLineWidth)));
    }

    void filesGivenAtLaunchWaitForADestinationAndAreProcessedOnce_data() {
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("waiting");
        QTest::newRow("one") << 1 << "1 file waiting: choose a destination";
        QTest::newRow("three") << 3 << "3 files waiting: choose a destination";
    }

    void filesGivenAtLaunchWaitForADestinationAndAreProcessedOnce() {
        QFETCH(int, count);
        QFETCH(QString, waiting);
        test::Workspace workspace;
        std::vector<std::filesystem::path> inputs;
        for (int i = 0; i < count; ++i) {
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
        for (int i = 0; i < count; ++i) {
            QVERIFY(std::filesystem::exists(output / QStringLiteral("opened %1.wav").arg(i).toStdString()));
        }
        QVERIFY(app.filesToOpen().empty());

        // They are handed over once only, and no longer wait.
        std::filesystem::remove_all(output);
        brain.setOutputFolder(std::nullopt);
        QVERIFY(!waitingText->isVisible());
        QVERIFY(!dropView.statusText().contains(QStringLiteral("waiting")));
        brain.setOutputFolder(workspace.folder(QStringLiteral("other")));
        QTest::qWait(50);
        QCOMPARE(finished.count(), 1);
    }
};

QTEST_MAIN(MainWindowTests)
#include "MainWindowTests.moc"
