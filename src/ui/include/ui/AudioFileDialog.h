#pragma once

#include <QString>

#include <filesystem>
#include <vector>

class QWidget;

namespace vesh {

// The name filter of the open dialog: every audio and video type the MIME
// database knows (the decoder reads both), then all files.
QString audioAndVideoNameFilter();

// How many files the open dialog lets the user choose.
enum class FileSelection { several, one };

// The open dialog for audio and video files, modal to `parent`; starts where
// the last choice was made. Empty when cancelled.
std::vector<std::filesystem::path> chooseAudioFiles(QWidget* parent, FileSelection selection);

}  // namespace vesh
