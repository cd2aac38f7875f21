#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vesh {

// One of the file formats the writer offers: a container with its codec and
// a sample width. Its vocabulary (stored names, path extensions, sample
// encodings, labels) is one table, which the functions below read.
struct CommonAudioFileFormat {
    enum class BitDepth : std::int64_t {
        sixteen = 16,     // 16-bit integer samples
        twentyFour = 24,  // 24-bit integer samples
        thirtyTwo = 32,   // 32-bit float samples
    };
    enum class FileType { wav, aiff, flac };
    enum class SampleEncoding { integer, floatingPoint };

    // Integer for 16 and 24 bits, floating point for 32.
    static SampleEncoding sampleEncoding(BitDepth bitDepth);

    BitDepth bitDepth;
    FileType fileType;

    // "wav", "aif" or "flac".
    std::string pathExtension() const;

    friend bool operator==(const CommonAudioFileFormat&, const CommonAudioFileFormat&) = default;
};

using BitDepth = CommonAudioFileFormat::BitDepth;
using AudioFileFormat = CommonAudioFileFormat::FileType;

// The output rates offered, in frames per second. A rate read from an
// edited settings store may lie outside these cases; the output is then
// written at that rate.
enum class SampleRate : std::int64_t {
    fortyFourPointOne = 44100,
    fortyEight = 48000,
    ninetySix = 96000,
    oneHundredNinetyTwo = 192000,
};

// How an output file is written: sample width, rate and file format. The
// one value that goes from the settings or the command line to the writer.
struct AudioFormat {
    BitDepth bitDepth = BitDepth::twentyFour;
    SampleRate sampleRate = SampleRate::fortyEight;
    AudioFileFormat fileFormat = AudioFileFormat::wav;

    // The writer's part of it: container and sample width.
    CommonAudioFileFormat commonAudioFileFormat() const { return {bitDepth, fileFormat}; }
    std::int64_t framesPerSecond() const { return static_cast<std::int64_t>(sampleRate); }

    friend bool operator==(const AudioFormat&, const AudioFormat&) = default;
};

// Every case, in the order the window lists them.
std::vector<BitDepth> allBitDepths();
std::vector<SampleRate> allSampleRates();
std::vector<AudioFileFormat> allAudioFileFormats();

// The raw values the settings store holds and the command line takes: 16,
// 24, 32; 44100, 48000, 96000, 192000; "wav", "aiff", "flac". Exactly these
// convert back; any other value gives nothing.
std::int64_t rawValue(BitDepth bitDepth);
std::int64_t rawValue(SampleRate sampleRate);
std::string rawValue(AudioFileFormat fileFormat);
std::optional<BitDepth> bitDepthFromRawValue(std::int64_t rawValue);
std::optional<SampleRate> sampleRateFromRawValue(std::int64_t rawValue);
std::optional<AudioFileFormat> audioFileFormatFromRawValue(std::string_view rawValue);

std::string fileExtension(AudioFileFormat fileFormat);  // "wav", "aif", "flac"

// What the window shows for each listed case.
std::string label(BitDepth bitDepth);           // "16-bit", "24-bit", "32-bit"
std::string label(SampleRate sampleRate);       // "44.1 kHz", "48 kHz", "96 kHz", "192 kHz"
std::string label(AudioFileFormat fileFormat);  // "wav", "aiff", "flac"

}  // namespace vesh
