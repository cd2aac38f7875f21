#include "AudioIO/CommonAudioFileFormat.h"

#include "Support/FatalError.h"

namespace vesh {

std::optional<CommonAudioFileFormat::BitDepth> CommonAudioFileFormat::bitDepthFromRawValue(std::int64_t rawValue) {
    switch (rawValue) {
    case 16: return BitDepth::sixteen;
    case 24: return BitDepth::twentyFour;
    case 32: return BitDepth::thirtyTwo;
    default: return std::nullopt;
    }
}

std::string CommonAudioFileFormat::pathExtension() const { return pathExtension(fileType); }

std::string CommonAudioFileFormat::pathExtension(FileType fileType) {
    switch (fileType) {
    case FileType::wav: return "wav";
    case FileType::aiff: return "aif";
    case FileType::flac: return "flac";
    }
    fatalError("unknown audio file type");
}

}  // namespace vesh
