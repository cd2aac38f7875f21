#include "ui/WindowInteraction.h"

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

#include "ui/FilePaths.h"

namespace vesh {

UserInteraction::ExistingFileAnswer WindowInteraction::askAboutExistingFile(const std::string& informativeText) {
    QMessageBox box(window_);
    box.setObjectName(QStringLiteral("existingFileQuestion"));
    box.setIcon(QMessageBox::Critical);
    box.setWindowTitle(QStringLiteral("Vesh"));
    box.setText(QString());
    box.setInformativeText(QString::fromStdString(informativeText));
    // One role for all three keeps them in the order they are added.
    QPushButton* skip = box.addButton(QStringLiteral("Skip"), QMessageBox::ActionRole);
    QPushButton* replace = box.addButton(QStringLiteral("Replace"), QMessageBox::ActionRole);
    QPushButton* stop = box.addButton(QStringLiteral("Stop"), QMessageBox::ActionRole);
    box.setDefaultButton(skip);
    box.setEscapeButton(stop);
    box.exec();
    if (box.clickedButton() == skip) {
        return ExistingFileAnswer::skip;
    }
    if (box.clickedButton() == replace) {
        return ExistingFileAnswer::replace;
    }
    return ExistingFileAnswer::stop;
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
