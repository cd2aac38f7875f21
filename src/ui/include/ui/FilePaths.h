#pragma once

#include <QFile>
#include <QString>

#include <filesystem>

namespace vesh {

// File names cross between Qt's text and the core's paths in the local
// 8-bit encoding, so names that are not valid text survive the round trip.
inline std::filesystem::path toPath(const QString& localFile) {
    return std::filesystem::path(QFile::encodeName(localFile).toStdString());
}

inline QString toQString(const std::filesystem::path& path) {
    return QFile::decodeName(QByteArray::fromStdString(path.native()));
}

}  // namespace vesh
