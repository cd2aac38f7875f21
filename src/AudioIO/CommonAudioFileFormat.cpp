#include "AudioIO/CommonAudioFileFormat.h"

#include "Support/FatalError.h"

namespace vesh {

namespace {

using BitDepth = CommonAudioFileFormat::BitDepth;
using FileType = CommonAudioFileFormat::FileType;
using SampleEncoding = CommonAudioFileFormat::SampleEncoding;

// The one table of the output vocabulary: each value's raw value or stored
// name, its path extension or encoding, and the label shown for it.
struct FileTypeEntry {
    FileType fileType;
    std::string_view name;
    std::string_view extension;
};
constexpr FileTypeEntry fileTypes[] = {
    {FileType::wav, "wav", "wav"},
    {FileType::aiff, "aiff", "aif"},
    {FileType::flac, "flac", "flac"},
};

struct BitDepthEntry {
    BitDepth bitDepth;
    SampleEncoding encoding;
    std::string_view label;
};
constexpr BitDepthEntry bitDepths[] = {
    {BitDepth::sixteen, SampleEncoding::integer, "16-bit"},
    {BitDepth::twentyFour, SampleEncoding::integer, "24-bit"},
    {BitDepth::thirtyTwo, SampleEncoding::floatingPoint, "32-bit"},
};

struct SampleRateEntry {
    OutputSampleRate sampleRate;
    std::string_view label;
};
constexpr SampleRateEntry sampleRates[] = {
    {OutputSampleRate::fortyFourPointOne, "44.1 kHz"},
    {OutputSampleRate::fortyEight, "48 kHz"},
    {OutputSampleRate::ninetySix, "96 kHz"},
    {OutputSampleRate::oneHundredNinetyTwo, "192 kHz"},
};

// The entry whose `key` member equals `value`; every enumeration case has one.
template <typename Entry, std::size_t count, typename Value>
const Entry& entryFor(const Entry (&table)[count], Value Entry::*key, Value value) {
    for (const Entry& candidate : table) {
        if (candidate.*key == value) return candidate;
    }
    fatalError("output format value missing from its table");
}

template <typename Entry, std::size_t count, typename Value>
std::optional<Value> fromRawValue(const Entry (&table)[count], Value Entry::*key, std::int64_t rawValue) {
    for (const Entry& candidate : table) {
        if (static_cast<std::int64_t>(candidate.*key) == rawValue) return candidate.*key;
    }
    return std::nullopt;
}

}  // namespace

std::string_view CommonAudioFileFormat::name(FileType fileType) {
    return entryFor(fileTypes, &FileTypeEntry::fileType, fileType).name;
}

std::optional<FileType> CommonAudioFileFormat::fileTypeFromName(std::string_view name) {
    for (const FileTypeEntry& candidate : fileTypes) {
        if (candidate.name == name) return candidate.fileType;
    }
    return std::nullopt;
}

std::string CommonAudioFileFormat::pathExtension(FileType fileType) {
    return std::string(entryFor(fileTypes, &FileTypeEntry::fileType, fileType).extension);
}

SampleEncoding CommonAudioFileFormat::sampleEncoding(BitDepth bitDepth) {
    return entryFor(bitDepths, &BitDepthEntry::bitDepth, bitDepth).encoding;
}

std::string CommonAudioFileFormat::pathExtension() const { return pathExtension(fileType); }

std::optional<BitDepth> bitDepthFromRawValue(std::int64_t rawValue) {
    return fromRawValue(bitDepths, &BitDepthEntry::bitDepth, rawValue);
}

std::optional<OutputSampleRate> sampleRateFromRawValue(std::int64_t rawValue) {
    return fromRawValue(sampleRates, &SampleRateEntry::sampleRate, rawValue);
}

std::string label(BitDepth bitDepth) {
    return std::string(entryFor(bitDepths, &BitDepthEntry::bitDepth, bitDepth).label);
}

std::string label(OutputSampleRate sampleRate) {
    return std::string(entryFor(sampleRates, &SampleRateEntry::sampleRate, sampleRate).label);
}

}  // namespace vesh
