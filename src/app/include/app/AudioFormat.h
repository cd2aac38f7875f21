#pragma once

#include <QJsonObject>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "AudioIO/CommonAudioFileFormat.h"

namespace vesh {

// The output choices the user makes in the window, whose raw values are what
// the settings store holds. They are the writer's own vocabulary, read from
// its one table of names, extensions and labels (CommonAudioFileFormat.h,
// which also gives bitDepthFromRawValue, sampleRateFromRawValue and label).

using BitDepth = CommonAudioFileFormat::BitDepth;
using SampleRate = OutputSampleRate;
using AudioFileFormat = CommonAudioFileFormat::FileType;

// Exactly "wav", "aiff" and "flac" convert; anything else gives nothing.
std::optional<AudioFileFormat> audioFileFormatFromRawValue(std::string_view rawValue);

std::int64_t rawValue(BitDepth bitDepth);
std::int64_t rawValue(SampleRate sampleRate);
std::string rawValue(AudioFileFormat fileFormat);  // "wav", "aiff", "flac"

std::string fileExtension(AudioFileFormat fileFormat);  // "wav", "aif", "flac"

struct AudioFormat {
    BitDepth bitDepth = BitDepth::twentyFour;
    SampleRate sampleRate = SampleRate::fortyEight;
    AudioFileFormat fileFormat = AudioFileFormat::wav;

    friend bool operator==(const AudioFormat&, const AudioFormat&) = default;
};

// The keyed record form of an AudioFormat: "bitDepth", "sampleRate" and
// "fileFormat", each holding the case's raw value.
QJsonObject encodedAudioFormat(const AudioFormat& format);

// Why a keyed record did not decode into an AudioFormat.
class AudioFormatDecodingError : public std::runtime_error {
public:
    enum class Code {
        keyNotFound,    // a key is missing
        typeMismatch,   // a key holds a value of the wrong kind
        dataCorrupted,  // a raw value outside the listed sets
    };
    AudioFormatDecodingError(Code code, std::string key, const std::string& message);
    Code code() const noexcept { return code_; }
    const std::string& key() const noexcept { return key_; }

private:
    Code code_;
    std::string key_;
};

// Throws AudioFormatDecodingError.
AudioFormat decodedAudioFormat(const QJsonObject& record);

// The writer's format for stored raw values: 16 and 32 keep their width, any
// other depth is 24-bit; "aiff" and "flac" keep their type, any other text is WAV.
CommonAudioFileFormat commonAudioFileFormat(std::int64_t storedBitDepth, std::string_view storedFileFormat);

}  // namespace vesh
