#include "ui/AudioFileDialog.h"

#include <QFileDialog>
#include <QMimeDatabase>

#include "ui/FilePaths.h"

namespace vesh {

QString audioAndVideoNameFilter() {
    QStringList patterns;
    for (const QMimeType& type : QMimeDatabase().allMimeTypes()) {
        if (type.name().startsWith(QLatin1String("audio/")) || type.name().startsWith(QLatin1String("video/"))) {
            patterns += type.globPatterns();
        }
    }
    patterns.sort();
    patterns.removeDuplicates();
    return QStringLiteral("Audio and video files (%1);;All files (*)").arg(patterns.join(QLatin1Char(' ')));
}

std::vector<std::filesystem::path> chooseAudioFiles(QWidget* parent, FileSelection selection) {
    // An empty start folder lets the dialog open where it was last used.
    QStringList names;
    if (selection == FileSelection::several) {
        names = QFileDialog::getOpenFileNames(parent, QStringLiteral("Add Files"), QString(), audioAndVideoNameFilter(),
                                              nullptr, QFileDialog::HideNameFilterDetails);
    } else if (const QString name =
                   QFileDialog::getOpenFileName(parent, QStringLiteral("Preview a File"), QString(),
                                                audioAndVideoNameFilter(), nullptr, QFileDialog::HideNameFilterDetails);
               !name.isEmpty()) {
        names.append(name);
    }
    std::vector<std::filesystem::path> files;
    files.reserve(static_cast<std::size_t>(names.size()));
    for (const QString& name : names) {
        files.push_back(toPath(name));
    }
    return files;
}

}  // namespace vesh
