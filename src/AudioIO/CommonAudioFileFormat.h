#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vesh {

// One of the output formats the application offers: a container with its
// codec and a sample width.
struct CommonAudioFileFormat {
    enum class BitDepth : std::int64_t {
        sixteen = 16,     // 16-bit integer samples
        twentyFour = 24,  // 24-bit integer samples
        thirtyTwo = 32,   // 32-bit float samples
    };
    enum class FileType { wav, aiff, flac };

    // 16, 24 and 32 give their case; any other number gives nothing.
    static std::optional<BitDepth> bitDepthFromRawValue(std::int64_t rawValue);

    BitDepth bitDepth;
    FileType fileType;

    // "wav", "aif" or "flac".
    std::string pathExtension() const;
    static std::string pathExtension(FileType fileType);

    friend bool operator==(const CommonAudioFileFormat&, const CommonAudioFileFormat&) = default;
};

}  // namespace vesh
