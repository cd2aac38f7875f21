#pragma once

#include <QJsonObject>

#include <stdexcept>
#include <string>

#include "AudioIO/CommonAudioFileFormat.h"

namespace vesh {

// The output format the user chooses (AudioFormat, with BitDepth, SampleRate
// and AudioFileFormat) is the writer's own value, with its one table of raw
// values, extensions and labels (AudioIO/CommonAudioFileFormat.h). Here is
// its keyed record form: "bitDepth", "sampleRate" and "fileFormat", each
// holding the case's raw value.
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

}  // namespace vesh
