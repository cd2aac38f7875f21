#pragma once

#include <QString>

#include <filesystem>
#include <vector>

class QWidget;

namespace vesh {

// The name filter of the open dialog: every audio and video type the MIME
// database knows (the decoder reads both), then all files.
QString audioAndVideoNameFilter();

// The open dialog for audio and video files, several at once, modal to
// `parent`; starts where the last choice was made. Empty when cancelled.
std::vector<std::filesystem::path> chooseAudioFiles(QWidget* parent);

}  // namespace vesh
