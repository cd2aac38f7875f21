#include "ui/WindowInteraction.h"

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>

#include <algorithm>

#include "ui/FilePaths.h"

namespace vesh {

namespace {

// The width the existing-file question's text needs to show the quoted file
// name on its first line, in one piece, as far as the screen allows.
int questionTextWidth(const QLabel& label, int screenWidth) {
    const QString& text = label.text();
    const QFontMetrics metrics = label.fontMetrics();
    const int firstLine = metrics.horizontalAdvance(text.left(text.lastIndexOf(QStringLiteral("”")) + 1));
    const int wanted = std::max(label.minimumSizeHint().width(), firstLine + 2 * metrics.averageCharWidth());
    // The message box's own rule: wider than this, it breaks words anywhere.
    // Its icon column and margins take about 120 pixels of that width.
    const int widestBox = screenWidth <= 1024 ? screenWidth : std::min(screenWidth - 480, 1000);
    return std::min(wanted, widestBox - 120);
}

}  // namespace

UserInteraction::ExistingFileReply WindowInteraction::askAboutExistingFile(const std::string& informativeText,
                                                                           bool offersApplyToAll) {
    QMessageBox box(window_);
    box.setObjectName(QStringLiteral("existingFileQuestion"));
    box.setIcon(QMessageBox::Question);
    box.setWindowTitle(QStringLiteral("Vesh"));
    box.setText(QString());
    box.setInformativeText(QString::fromStdString(informativeText));
    // By itself the message box is as narrow as its buttons and breaks a file
    // name between its words, or anywhere when a word is wider than the box
    // may be: the text is given room for the name on its first line.
    const QScreen* screen = window_ ? window_->screen() : QGuiApplication::primaryScreen();
    for (QLabel* label : box.findChildren<QLabel*>()) {
        if (label->text() == box.informativeText()) {
            label->setMinimumWidth(questionTextWidth(*label, screen->availableGeometry().width()));
        }
    }
    // One role for all three keeps them in the order they are added.
    QPushButton* skip = box.addButton(QStringLiteral("Skip"), QMessageBox::ActionRole);
    QPushButton* replace = box.addButton(QStringLiteral("Replace"), QMessageBox::ActionRole);
    QPushButton* stop = box.addButton(QStringLiteral("Stop"), QMessageBox::ActionRole);
    box.setDefaultButton(skip);
    box.setEscapeButton(stop);
    if (offersApplyToAll) {
        // The box owns its check box.
        box.setCheckBox(new QCheckBox(QStringLiteral("Apply to all"), &box));
        box.checkBox()->setToolTip(QStringLiteral("Give the same answer for every other file of this batch."));
    }
    box.exec();
    const bool appliesToAll = box.checkBox() && box.checkBox()->isChecked();
    if (box.clickedButton() == skip) {
        return {ExistingFileAnswer::skip, appliesToAll};
    }
    if (box.clickedButton() == replace) {
        return {ExistingFileAnswer::replace, appliesToAll};
    }
    return {ExistingFileAnswer::stop, false};
}

std::optional<std::filesystem::path> WindowInteraction::chooseOutputFolder() {
    const QString start = lastFolder_.isEmpty() ? QDir::homePath() : lastFolder_;
    const QString folder =
        QFileDialog::getExistingDirectory(window_, QStringLiteral("Choose a folder"), start, QFileDialog::ShowDirsOnly);
    if (folder.isEmpty()) {
        return std::nullopt;
    }
    lastFolder_ = folder;
    return toPath(folder);
}

}  // namespace vesh
