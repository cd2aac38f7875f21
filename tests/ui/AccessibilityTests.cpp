#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolBar>
#include <QToolButton>

#include "UiTestSupport.h"
#include "ui/Accessibility.h"
#include "ui/LinearProgressBar.h"
#include "ui/ProgressSpinner.h"
#include "ui/ToggleSwitch.h"

using namespace vesh;

namespace {

using Fixture = test::WindowFixture;

QAccessibleInterface& describe(QObject* object) {
    QAccessibleInterface* interface = QAccessible::queryAccessibleInterface(object);
    if (!interface) {
        qFatal("no accessible interface for %s", object->metaObject()->className());
    }
    return *interface;
}

QString name(QObject* object) { return describe(object).text(QAccessible::Name); }

// The controls the Tab key visits from `start` until it comes back there.
QStringList tabCycle(QWidget& window, QWidget* start) {
    start->setFocus(Qt::TabFocusReason);
    QStringList names;
    for (int step = 0; step < 20; ++step) {
        QWidget* focus = window.focusWidget();
        names.append(focus->objectName());
        QTest::keyClick(focus, Qt::Key_Tab);
        if (window.focusWidget() == start) {
            return names;
        }
    }
    names.append(QStringLiteral("(no cycle)"));
    return names;
}

}  // namespace

class AccessibilityTests : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { installAccessibleInterfaces(); }

    void tabVisitsAddFilesPreviewDestinationPrefixSuffixLoudnessMixFormatAndCancel() {
        Fixture fixture;
        fixture.show();
        Brain& brain = fixture.brain;
        QVERIFY(test::waitForModel(brain));
        QToolButton* addFiles = fixture.window.addFilesButton();
        const QStringList sidebar{"prefix",      "suffix",    "loudness",       "mix", "sameAsOriginalFile",
                                  "Sample rate", "Bit depth", "Encoding format"};
        // Add Files waits for a destination; Preview, which writes nothing, does not.
        auto* chooseFolder = fixture.window.findChild<QPushButton*>(QStringLiteral("chooseFolder"));
        QCOMPARE(tabCycle(fixture.window, chooseFolder),
                 QStringList{"chooseFolder"} + sidebar + QStringList{"preview"});

        brain.setOutputFolder(fixture.workspace.folder(QStringLiteral("out")));
        QCOMPARE(tabCycle(fixture.window, addFiles), (QStringList{"addFiles", "preview", "clearFolder"} + sidebar));

        // During a batch Cancel is the one control, and it has the focus.
        const auto input = fixture.workspace.path(QStringLiteral("long.wav"));
        test::writeNoiseWav(input, 2, 120.0);
        QSignalSpy finished(&brain, &Brain::batchFinished);
        brain.processDroppedFiles({input});
        QPushButton* cancel = fixture.dropView().cancelButton();
        QCOMPARE(fixture.window.focusWidget(), cancel);
        QCOMPARE(tabCycle(fixture.window, cancel), QStringList{"cancel"});
        QTest::keyClick(cancel, Qt::Key_Space);
        QVERIFY(brain.shouldCancelProcessing());
        QVERIFY(finished.wait(30000));
        QCOMPARE(fixture.window.focusWidget(), addFiles);
    }

    void customControlsHaveANameAndARole() {
        Fixture fixture;
        DropView& dropView = fixture.dropView();
        QAccessibleInterface& dropArea = describe(&dropView);
        QCOMPARE(dropArea.role(), QAccessible::Grouping);
        QCOMPARE(dropArea.text(QAccessible::Name), QStringLiteral("Drop area"));
        QCOMPARE(dropArea.text(QAccessible::Description), QStringLiteral("Loading model…"));
        QStringList spinners;
        for (ProgressSpinner* spinner : dropView.findChildren<ProgressSpinner*>()) {
            QCOMPARE(describe(spinner).role(), QAccessible::ProgressBar);
            QVERIFY(describe(spinner).state().busy);
            spinners.append(name(spinner));
        }
        spinners.sort();
        QCOMPARE(spinners, (QStringList{"Cancelling…", "Loading model…"}));

        fixture.show();
        QVERIFY(test::waitForModel(fixture.brain));
        QCOMPARE(dropArea.text(QAccessible::Description),
                 QStringLiteral("Select a destination for the processed audio by clicking “Choose a folder” in the "
                                "sidebar."));

        auto* progressBar = dropView.findChild<LinearProgressBar*>();
        QAccessibleInterface& progress = describe(progressBar);
        QCOMPARE(progress.role(), QAccessible::ProgressBar);
        QCOMPARE(progress.text(QAccessible::Name), QStringLiteral("Progress"));
        QVERIFY(progress.valueInterface());
        progressBar->setValue(0.25);
        QCOMPARE(progress.valueInterface()->currentValue().toDouble(), 0.25);
        QCOMPARE(progress.valueInterface()->maximumValue().toDouble(), 1.0);

        auto* sameAsOriginal = fixture.window.findChild<ToggleSwitch*>();
        QAccessibleInterface& toggle = describe(sameAsOriginal);
        QCOMPARE(toggle.role(), QAccessible::CheckBox);
        QCOMPARE(toggle.text(QAccessible::Name), QStringLiteral("Same as original file"));
        QVERIFY(!toggle.state().checked);
        QTest::keyClick(sameAsOriginal, Qt::Key_Space);
        QVERIFY(toggle.state().checked);
        QVERIFY(fixture.brain.outputFormatMatchesInput());

        QCOMPARE(name(fixture.window.addFilesButton()), QStringLiteral("Add Files…"));
        auto* clear = fixture.window.findChild<QAbstractButton*>(QStringLiteral("clearFolder"));
        QCOMPARE(name(clear), QStringLiteral("Clear destination"));

        QToolBar* toolBar = fixture.window.findChild<QToolBar*>();
        QWidget* sidebarToggle = toolBar->widgetForAction(fixture.window.toggleSidebarAction());
        QCOMPARE(name(sidebarToggle), QStringLiteral("Hide Sidebar"));
        fixture.window.toggleSidebarAction()->trigger();
        QTRY_COMPARE(name(sidebarToggle), QStringLiteral("Show Sidebar"));
    }
};

QTEST_MAIN(AccessibilityTests)
#include "AccessibilityTests.moc"
