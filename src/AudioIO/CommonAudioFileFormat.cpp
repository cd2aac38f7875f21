#include "AudioIO/CommonAudioFileFormat.h"

#include "Support/FatalError.h"

namespace vesh {

namespace {

// The one table of the file types: stored name and path extension.
struct FileTypeEntry {
    CommonAudioFileFormat::FileType fileType;
    std::string_view name;
    std::string_view extension;
};

constexpr FileTypeEntry fileTypes[] = {
    {CommonAudioFileFormat::FileType::wav, "wav", "wav"},
    {CommonAudioFileFormat::FileType::aiff, "aiff", "aif"},
    {CommonAudioFileFormat::FileType::flac, "flac", "flac"},
};

const FileTypeEntry& entry(CommonAudioFileFormat::FileType fileType) {
    for (const FileTypeEntry& candidate : fileTypes) {
        if (candidate.fileType == fileType) return candidate;
    }
    fatalError("unknown audio file type");
}

}  // namespace

std::optional<CommonAudioFileFormat::BitDepth> CommonAudioFileFormat::bitDepthFromRawValue(std::int64_t rawValue) {
    switch (rawValue) {
    case 16: return BitDepth::sixteen;
    case 24: return BitDepth::twentyFour;
    case 32: return BitDepth::thirtyTwo;
    default: return std::nullopt;
    }
}

std::string CommonAudioFileFormat::pathExtension() const { return pathExtension(fileType); }

std::string CommonAudioFileFormat::pathExtension(FileType fileType) { return std::string(entry(fileType).extension); }

std::string_view CommonAudioFileFormat::name(FileType fileType) { return entry(fileType).name; }

std::optional<CommonAudioFileFormat::FileType> CommonAudioFileFormat::fileTypeFromName(std::string_view name) {
    for (const FileTypeEntry& candidate : fileTypes) {
        if (candidate.name == name) return candidate.fileType;
    }
    return std::nullopt;
}

}  // namespace vesh
