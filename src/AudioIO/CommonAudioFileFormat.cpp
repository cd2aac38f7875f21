#include "AudioIO/CommonAudioFileFormat.h"

#include "Support/FatalError.h"

namespace vesh {

namespace {

using SampleEncoding = CommonAudioFileFormat::SampleEncoding;

// The one table of the output vocabulary, each case in the order the window
// lists it: its stored name (also shown) and path extension, its encoding,
// and the label shown for it. A case's raw value is its enumeration value.
struct FileFormatEntry {
    AudioFileFormat fileFormat;
    std::string_view name;
    std::string_view extension;
};
constexpr FileFormatEntry fileFormats[] = {
    {AudioFileFormat::wav, "wav", "wav"},
    {AudioFileFormat::aiff, "aiff", "aif"},
    {AudioFileFormat::flac, "flac", "flac"},
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
    SampleRate sampleRate;
    std::string_view label;
};
constexpr SampleRateEntry sampleRates[] = {
    {SampleRate::fortyFourPointOne, "44.1 kHz"},
    {SampleRate::fortyEight, "48 kHz"},
    {SampleRate::ninetySix, "96 kHz"},
    {SampleRate::oneHundredNinetyTwo, "192 kHz"},
};

// The entry whose `key` member equals `value`; every listed case has one.
template <typename Entry, std::size_t count, typename Value>
const Entry& entryFor(const Entry (&table)[count], Value Entry::*key, Value value) {
    for (const Entry& candidate : table) {
        if (candidate.*key == value) return candidate;
    }
    fatalError("output format value missing from its table");
}

// The listed case whose enumeration value is `rawValue`.
template <typename Entry, std::size_t count, typename Value>
std::optional<Value> fromRawValue(const Entry (&table)[count], Value Entry::*key, std::int64_t rawValue) {
    for (const Entry& candidate : table) {
        if (static_cast<std::int64_t>(candidate.*key) == rawValue) return candidate.*key;
    }
    return std::nullopt;
}

// Every listed case, in the table's order.
template <typename Entry, std::size_t count, typename Value>
std::vector<Value> allOf(const Entry (&table)[count], Value Entry::*key) {
    std::vector<Value> cases;
    for (const Entry& entry : table) cases.push_back(entry.*key);
    return cases;
}

}  // namespace

SampleEncoding CommonAudioFileFormat::sampleEncoding(BitDepth bitDepth) {
    return entryFor(bitDepths, &BitDepthEntry::bitDepth, bitDepth).encoding;
}

std::string CommonAudioFileFormat::pathExtension() const { return fileExtension(fileType); }

std::vector<BitDepth> allBitDepths() { return allOf(bitDepths, &BitDepthEntry::bitDepth); }

std::vector<SampleRate> allSampleRates() { return allOf(sampleRates, &SampleRateEntry::sampleRate); }

std::vector<AudioFileFormat> allAudioFileFormats() { return allOf(fileFormats, &FileFormatEntry::fileFormat); }

std::int64_t rawValue(BitDepth bitDepth) { return static_cast<std::int64_t>(bitDepth); }

std::int64_t rawValue(SampleRate sampleRate) { return static_cast<std::int64_t>(sampleRate); }

std::string rawValue(AudioFileFormat fileFormat) {
    return std::string(entryFor(fileFormats, &FileFormatEntry::fileFormat, fileFormat).name);
}

std::optional<BitDepth> bitDepthFromRawValue(std::int64_t rawValue) {
    return fromRawValue(bitDepths, &BitDepthEntry::bitDepth, rawValue);
}

std::optional<SampleRate> sampleRateFromRawValue(std::int64_t rawValue) {
    return fromRawValue(sampleRates, &SampleRateEntry::sampleRate, rawValue);
}

std::optional<AudioFileFormat> audioFileFormatFromRawValue(std::string_view rawValue) {
    for (const FileFormatEntry& candidate : fileFormats) {
        if (candidate.name == rawValue) return candidate.fileFormat;
    }
    return std::nullopt;
}

std::string fileExtension(AudioFileFormat fileFormat) {
    return std::string(entryFor(fileFormats, &FileFormatEntry::fileFormat, fileFormat).extension);
}

std::string label(BitDepth bitDepth) {
    return std::string(entryFor(bitDepths, &BitDepthEntry::bitDepth, bitDepth).label);
}

std::string label(SampleRate sampleRate) {
    return std::string(entryFor(sampleRates, &SampleRateEntry::sampleRate, sampleRate).label);
}

std::string label(AudioFileFormat fileFormat) { return rawValue(fileFormat); }

}  // namespace vesh
