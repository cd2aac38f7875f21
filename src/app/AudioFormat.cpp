#include "app/AudioFormat.h"

#include <QJsonValue>

#include <cmath>

namespace vesh {

namespace {

constexpr char bitDepthKey[] = "bitDepth";
constexpr char sampleRateKey[] = "sampleRate";
constexpr char fileFormatKey[] = "fileFormat";

QJsonValue requiredValue(const QJsonObject& record, const char* key) {
    const QJsonValue value = record.value(QLatin1String(key));
    if (value.isUndefined()) {
        throw AudioFormatDecodingError(AudioFormatDecodingError::Code::keyNotFound, key,
                                       std::string("No value for the key \"") + key + "\".");
    }
    return value;
}

// Integer raw values must be whole numbers; JSON holds every number as a double.
std::int64_t integerValue(const QJsonObject& record, const char* key) {
    const QJsonValue value = requiredValue(record, key);
    const double number = value.toDouble();
    if (!value.isDouble() || !(std::fabs(number) < 9.0e18) || number != std::trunc(number)) {
        throw AudioFormatDecodingError(AudioFormatDecodingError::Code::typeMismatch, key,
                                       std::string("The value for the key \"") + key + "\" is not an integer.");
    }
    return static_cast<std::int64_t>(number);
}

[[noreturn]] void throwCorrupted(const char* key, const std::string& value) {
    throw AudioFormatDecodingError(AudioFormatDecodingError::Code::dataCorrupted, key,
                                   std::string("Cannot initialize ") + key + " from invalid value " + value + ".");
}

}  // namespace

AudioFormatDecodingError::AudioFormatDecodingError(Code code, std::string key, const std::string& message)
    : std::runtime_error(message), code_(code), key_(std::move(key)) {}

QJsonObject encodedAudioFormat(const AudioFormat& format) {
    QJsonObject record;
    record.insert(QLatin1String(bitDepthKey), static_cast<qint64>(rawValue(format.bitDepth)));
    record.insert(QLatin1String(sampleRateKey), static_cast<qint64>(rawValue(format.sampleRate)));
    record.insert(QLatin1String(fileFormatKey), QString::fromStdString(rawValue(format.fileFormat)));
    return record;
}

AudioFormat decodedAudioFormat(const QJsonObject& record) {
    const std::int64_t storedBitDepth = integerValue(record, bitDepthKey);
    const auto bitDepth = bitDepthFromRawValue(storedBitDepth);
    if (!bitDepth) throwCorrupted(bitDepthKey, std::to_string(storedBitDepth));

    const std::int64_t storedSampleRate = integerValue(record, sampleRateKey);
    const auto sampleRate = sampleRateFromRawValue(storedSampleRate);
    if (!sampleRate) throwCorrupted(sampleRateKey, std::to_string(storedSampleRate));

    const QJsonValue storedFileFormat = requiredValue(record, fileFormatKey);
    if (!storedFileFormat.isString()) {
        throw AudioFormatDecodingError(AudioFormatDecodingError::Code::typeMismatch, fileFormatKey,
                                       "The value for the key \"fileFormat\" is not a text.");
    }
    const std::string fileFormatText = storedFileFormat.toString().toStdString();
    const auto fileFormat = audioFileFormatFromRawValue(fileFormatText);
    if (!fileFormat) throwCorrupted(fileFormatKey, "\"" + fileFormatText + "\"");

    return AudioFormat{*bitDepth, *sampleRate, *fileFormat};
}

}  // namespace vesh
