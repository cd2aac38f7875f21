#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vesh {

// One of the output formats the application offers: a container with its
// codec and a sample width. Its vocabulary (stored names, path extensions,
// raw values, sample encodings, labels) is one table, which the functions
// below and the application's own format types read.
struct CommonAudioFileFormat {
    enum class BitDepth : std::int64_t {
        sixteen = 16,     // 16-bit integer samples
        twentyFour = 24,  // 24-bit integer samples
        thirtyTwo = 32,   // 32-bit float samples
    };
    enum class FileType { wav, aiff, flac };
    enum class SampleEncoding { integer, floatingPoint };

    // The name a file type is stored and typed under: "wav", "aiff", "flac".
    static std::string_view name(FileType fileType);
    // Exactly the three names convert; anything else gives nothing.
    static std::optional<FileType> fileTypeFromName(std::string_view name);
    // "wav", "aif" or "flac".
    static std::string pathExtension(FileType fileType);
    // Integer for 16 and 24 bits, floating point for 32.
    static SampleEncoding sampleEncoding(BitDepth bitDepth);

    BitDepth bitDepth;
    FileType fileType;

    std::string pathExtension() const;

    friend bool operator==(const CommonAudioFileFormat&, const CommonAudioFileFormat&) = default;
};

// The output rates the application offers, in frames per second.
enum class OutputSampleRate : std::int64_t {
    fortyFourPointOne = 44100,
    fortyEight = 48000,
    ninetySix = 96000,
    oneHundredNinetyTwo = 192000,
};

// Everything that decides how a file is written: container and codec, sample
// width and encoding, and rate. The rate is taken as given, so a stored rate
// outside OutputSampleRate's cases still writes at that rate.
struct OutputFormat {
    CommonAudioFileFormat fileFormat{CommonAudioFileFormat::BitDepth::twentyFour, CommonAudioFileFormat::FileType::wav};
    std::int64_t sampleRate = static_cast<std::int64_t>(OutputSampleRate::fortyEight);

    friend bool operator==(const OutputFormat&, const OutputFormat&) = default;
};

// 16, 24 and 32 give their case; any other number gives nothing.
std::optional<CommonAudioFileFormat::BitDepth> bitDepthFromRawValue(std::int64_t rawValue);
// 44100, 48000, 96000 and 192000 give their case; any other number gives nothing.
std::optional<OutputSampleRate> sampleRateFromRawValue(std::int64_t rawValue);

std::string label(CommonAudioFileFormat::BitDepth bitDepth);  // "16-bit", "24-bit", "32-bit"
std::string label(OutputSampleRate sampleRate);               // "44.1 kHz", "48 kHz", "96 kHz", "192 kHz"

}  // namespace vesh
