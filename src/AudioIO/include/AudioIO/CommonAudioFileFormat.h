#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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
    // The name a file type is stored and typed under: "wav", "aiff", "flac".
    static std::string_view name(FileType fileType);
    // Exactly the three names convert; anything else gives nothing.
    static std::optional<FileType> fileTypeFromName(std::string_view name);

    BitDepth bitDepth;
    FileType fileType;

    // "wav", "aif" or "flac".
    std::string pathExtension() const;
    static std::string pathExtension(FileType fileType);

    friend bool operator==(const CommonAudioFileFormat&, const CommonAudioFileFormat&) = default;
};

}  // namespace vesh
