// Writing streams with libsndfile, and through an FFmpeg muxer
// (FFmpegMuxing.h) AAC in its source's format and a file with video as a
// copy of it with new audio. Every file is written beside its target
// under a temporary name and renamed into place only when complete
// (ReplacementFile), so a failed write leaves nothing partial behind and
// never damages the file it was to replace.

#include <sndfile.h>
#include <unistd.h>
#include <vorbis/vorbisenc.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <experimental/simd>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <variant>

#include "AacFileWriting.h"
#include "AudioFileState.h"
#include "AudioIO/AudioFileWriter.h"
#include "AudioIO/AudioStream.h"
#include "AudioIO/ChannelLayout.h"
#include "OutputSize.h"
#include "ReplacementFile.h"
#include "Support/FatalError.h"
#include "VideoFileWriting.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace vesh {

namespace stdx = std::experimental;

namespace detail {

SourceBitRate sourceBitRate(const AudioFileState& state) {
    const BitRateStatistics& read = state.bitRate;
    const std::int64_t declared = state.storedFormat.declaredBitRate;
    if (!read.complete || read.decodedFrames <= 0 || read.packetCount == 0) return {declared, true};
    const auto average = static_cast<std::int64_t>(
        std::ceil(static_cast<double>(read.packetBytes) * 8.0 * static_cast<double>(state.storedFormat.sampleRate) /
                  static_cast<double>(read.decodedFrames)));
    // Frames of one bit rate differ by at most a padding byte.
    const bool constant = read.largestPacket - read.smallestPacket <= 1;
    return {constant && declared > 0 ? declared : std::max(declared, average), constant};
}

}  // namespace detail

namespace {

using detail::ChannelLayout;
using detail::SizeDecision;
using detail::SizeLimitKind;
using detail::SourceBitRate;
using detail::StoredAudioFormat;

// Frames interleaved and handed to the encoder per call.
constexpr std::size_t framesPerBlock = 8192;

// A long output is sent on to storage every this many bytes while it is
// written, so that completing it waits for the last stretch alone.
constexpr std::uint64_t writebackInterval = 16 << 20;

struct EncoderRequest {
    int format = 0;               // libsndfile major format | subtype | byte order
    std::vector<int> channelMap;  // speaker position per channel; empty: none written
    // For lossy formats: the encoder's bit-rate mode and compression level
    // (0 best, 1 smallest); unset leaves the encoder's defaults.
    std::optional<int> bitRateMode;
    std::optional<double> compressionLevel;
    // The source whose bit rate a lossy output keeps, chosen at the first
    // write, when the source has been read; it outlives the encoder.
    const detail::AudioFileState* bitRateSource = nullptr;
    // Tags to write, the time reference already at the written rate.
    AudioMetadata metadata;
};

// The encoder's speaker position for a decoder's one; 0 where it has none.
int encoderPosition(std::int32_t position) {
    switch (static_cast<AVChannel>(position)) {
    case AV_CHAN_FRONT_LEFT: return SF_CHANNEL_MAP_FRONT_LEFT;
    case AV_CHAN_FRONT_RIGHT: return SF_CHANNEL_MAP_FRONT_RIGHT;
    case AV_CHAN_FRONT_CENTER: return SF_CHANNEL_MAP_FRONT_CENTER;
    case AV_CHAN_LOW_FREQUENCY: return SF_CHANNEL_MAP_LFE;
    case AV_CHAN_BACK_LEFT: return SF_CHANNEL_MAP_REAR_LEFT;
    case AV_CHAN_BACK_RIGHT: return SF_CHANNEL_MAP_REAR_RIGHT;
    case AV_CHAN_FRONT_LEFT_OF_CENTER: return SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER;
    case AV_CHAN_FRONT_RIGHT_OF_CENTER: return SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER;
    case AV_CHAN_BACK_CENTER: return SF_CHANNEL_MAP_REAR_CENTER;
    case AV_CHAN_SIDE_LEFT: return SF_CHANNEL_MAP_SIDE_LEFT;
    case AV_CHAN_SIDE_RIGHT: return SF_CHANNEL_MAP_SIDE_RIGHT;
    case AV_CHAN_TOP_CENTER: return SF_CHANNEL_MAP_TOP_CENTER;
    case AV_CHAN_TOP_FRONT_LEFT: return SF_CHANNEL_MAP_TOP_FRONT_LEFT;
    case AV_CHAN_TOP_FRONT_CENTER: return SF_CHANNEL_MAP_TOP_FRONT_CENTER;
    case AV_CHAN_TOP_FRONT_RIGHT: return SF_CHANNEL_MAP_TOP_FRONT_RIGHT;
    case AV_CHAN_TOP_BACK_LEFT: return SF_CHANNEL_MAP_TOP_REAR_LEFT;
    case AV_CHAN_TOP_BACK_CENTER: return SF_CHANNEL_MAP_TOP_REAR_CENTER;
    case AV_CHAN_TOP_BACK_RIGHT: return SF_CHANNEL_MAP_TOP_REAR_RIGHT;
    default: return 0;
    }
}

// The layout as the encoder's channel map, or nothing when any position has
// no equivalent or the layout does not describe exactly `channelCount` channels.
std::vector<int> channelMapFor(const ChannelLayout* layout, std::size_t channelCount) {
    if (!layout || layout->positions.size() != channelCount) return {};
    std::vector<int> map;
    for (const std::int32_t position : layout->positions) {
        const int mapped = encoderPosition(position);
        if (mapped == 0) return {};
        map.push_back(mapped);
    }
    return map;
}

EncoderRequest requestFor(CommonAudioFileFormat fileFormat, const ChannelLayout* layout, std::size_t channelCount) {
    EncoderRequest request;
    request.channelMap = channelMapFor(layout, channelCount);
    const bool floatingPoint = CommonAudioFileFormat::sampleEncoding(fileFormat.bitDepth) ==
                               CommonAudioFileFormat::SampleEncoding::floatingPoint;
    const int linearSubtype = floatingPoint                              ? SF_FORMAT_FLOAT
                              : fileFormat.bitDepth == BitDepth::sixteen ? SF_FORMAT_PCM_16
                                                                         : SF_FORMAT_PCM_24;
    switch (fileFormat.fileType) {
    case CommonAudioFileFormat::FileType::wav:
        // The extensible WAV header is the one that stores speaker positions.
        request.format = (request.channelMap.empty() ? SF_FORMAT_WAV : SF_FORMAT_WAVEX) | linearSubtype;
        return request;
    case CommonAudioFileFormat::FileType::aiff: request.format = SF_FORMAT_AIFF | linearSubtype; return request;
    case CommonAudioFileFormat::FileType::flac:
        // FLAC holds integer samples only, 24 bits at the deepest that the
        // encoder writes, so a 32-bit request is written as 24-bit FLAC.
        request.format =
            SF_FORMAT_FLAC | (fileFormat.bitDepth == BitDepth::sixteen ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24);
        return request;
    }
    fatalError("unknown audio file type");
}

int subtypeForPcmCodec(std::string_view codec) {
    struct Entry {
        std::string_view prefix;
        int subtype;
    };
    static constexpr Entry entries[] = {
        {"pcm_u8", SF_FORMAT_PCM_U8},           {"pcm_s8", SF_FORMAT_PCM_S8},     {"pcm_s16", SF_FORMAT_PCM_16},
        {"pcm_s24", SF_FORMAT_PCM_24},          {"pcm_s32", SF_FORMAT_PCM_32},    {"pcm_f32", SF_FORMAT_FLOAT},
        {"pcm_f64", SF_FORMAT_DOUBLE},          {"pcm_mulaw", SF_FORMAT_ULAW},    {"pcm_alaw", SF_FORMAT_ALAW},
        {"adpcm_ima_wav", SF_FORMAT_IMA_ADPCM}, {"adpcm_ms", SF_FORMAT_MS_ADPCM}, {"gsm_ms", SF_FORMAT_GSM610},
    };
    for (const Entry& entry : entries) {
        if (codec.size() >= entry.prefix.size() && codec.substr(0, entry.prefix.size()) == entry.prefix &&
            (codec.size() == entry.prefix.size() || codec.substr(entry.prefix.size()) == "le" ||
             codec.substr(entry.prefix.size()) == "be")) {
            return entry.subtype;
        }
    }
    return 0;
}

// An explicit byte order only where the codec's differs from the
// container's usual one (little-endian AIFF, big-endian WAV).
int byteOrderFor(std::string_view container, std::string_view codec) {
    const bool littleEndianContainer = container == "wav" || container == "w64";
    if (codec.ends_with("le") && !littleEndianContainer) return SF_ENDIAN_LITTLE;
    if (codec.ends_with("be") && littleEndianContainer) return SF_ENDIAN_BIG;
    return SF_ENDIAN_FILE;
}

int losslessSubtypeForBitDepth(int bitDepth, bool alac) {
    switch (bitDepth) {
    case 8: return alac ? 0 : SF_FORMAT_PCM_S8;
    case 16: return alac ? SF_FORMAT_ALAC_16 : SF_FORMAT_PCM_16;
    case 20: return alac ? SF_FORMAT_ALAC_20 : 0;
    case 24: return alac ? SF_FORMAT_ALAC_24 : SF_FORMAT_PCM_24;
    case 32: return alac ? SF_FORMAT_ALAC_32 : 0;
    default: return 0;
    }
}

// The encoder's format code that reproduces a stored format, or 0 when the
// encoder cannot write it.
int encoderFormatMatching(const StoredAudioFormat& stored, bool withChannelMap) {
    const std::string_view container = stored.container;
    const std::string_view codec = stored.codec;
    if (container == "wav" || container == "w64" || container == "aiff" || container == "au" ||
        (container == "caf" && codec.starts_with("pcm_"))) {
        const int subtype = subtypeForPcmCodec(codec);
        if (subtype == 0) return 0;
        const int major = container == "wav"    ? (withChannelMap ? SF_FORMAT_WAVEX : SF_FORMAT_WAV)
                          : container == "w64"  ? SF_FORMAT_W64
                          : container == "aiff" ? SF_FORMAT_AIFF
                          : container == "au"   ? SF_FORMAT_AU
                                                : SF_FORMAT_CAF;
        return major | subtype | byteOrderFor(container, codec);
    }
    if (container == "caf" && codec == "alac") {
        const int subtype = losslessSubtypeForBitDepth(stored.bitDepth, true);
        return subtype == 0 ? 0 : SF_FORMAT_CAF | subtype;
    }
    if (container == "flac" && codec == "flac") {
        const int subtype = losslessSubtypeForBitDepth(stored.bitDepth, false);
        return subtype == 0 ? 0 : SF_FORMAT_FLAC | subtype;
    }
    if (container == "mp3" && codec == "mp3") return SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
    if (container == "ogg" && codec == "vorbis") return SF_FORMAT_OGG | SF_FORMAT_VORBIS;
    if (container == "ogg" && codec == "opus") return SF_FORMAT_OGG | SF_FORMAT_OPUS;
    return 0;
}

// What the container's header can describe.
SizeLimitKind sizeLimitOf(int format) {
    switch (format & SF_FORMAT_TYPEMASK) {
    case SF_FORMAT_WAV:
    case SF_FORMAT_WAVEX: return SizeLimitKind::wav;
    case SF_FORMAT_AIFF:
    case SF_FORMAT_AU: return SizeLimitKind::thirtyTwoBitSizes;
    case SF_FORMAT_FLAC: return SizeLimitKind::thirtySixBitFrames;
    default: return SizeLimitKind::none;
    }
}

std::string fileTypeName(int format) {
    switch (format & SF_FORMAT_TYPEMASK) {
    case SF_FORMAT_WAV:
    case SF_FORMAT_WAVEX: return "WAV";
    case SF_FORMAT_AIFF: return "AIFF";
    case SF_FORMAT_AU: return "AU";
    case SF_FORMAT_FLAC: return "FLAC";
    default: return "audio";
    }
}

// Bytes a sample takes in the file: exact for linear PCM, the uncompressed
// size as an upper bound for lossless codecs, and one byte (at least twice
// what the usual bit rates take) for lossy and ADPCM codecs.
std::uint64_t bytesPerSample(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_16:
    case SF_FORMAT_ALAC_16: return 2;
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_ALAC_20:
    case SF_FORMAT_ALAC_24: return 3;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_ALAC_32: return 4;
    case SF_FORMAT_DOUBLE: return 8;
    default: return 1;
    }
}

// Whether the format stores integer samples, so that samples beyond full
// scale are clipped; float and lossy formats keep them.
bool clipsSamples(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_DOUBLE:
    case SF_FORMAT_VORBIS:
    case SF_FORMAT_OPUS:
    case SF_FORMAT_MPEG_LAYER_I:
    case SF_FORMAT_MPEG_LAYER_II:
    case SF_FORMAT_MPEG_LAYER_III: return false;
    default: return true;
    }
}

// MPEG Layer III as libsndfile sets it: in constant and average modes the
// compression level picks a bit rate on a straight line between the highest
// and lowest of the MPEG version the rate belongs to; in variable mode ten
// times the level is the encoder's quality (V0 best).
void chooseMpegSettings(const SourceBitRate& source, std::int64_t sampleRate, EncoderRequest& request) {
    struct Version {
        std::int64_t lowestRate;
        std::vector<int> bitRates;  // kbit/s, ascending
    };
    static const std::array<Version, 3> versions = {{
        {32000, {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
        {16000, {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}},
        {0, {8, 16, 24, 32, 40, 48, 56, 64}},
    }};
    const auto& version =
        *std::find_if(versions.begin(), versions.end(), [&](const Version& v) { return sampleRate >= v.lowestRate; });
    const double kilobits = static_cast<double>(source.bitsPerSecond) / 1000.0;
    if (source.constant) {
        const auto found =
            std::find_if(version.bitRates.begin(), version.bitRates.end(), [&](int rate) { return rate >= kilobits; });
        const int chosen = found == version.bitRates.end() ? version.bitRates.back() : *found;
        const double highest = version.bitRates.back();
        const double lowest = version.bitRates.front();
        // Half a kbit/s above the chosen rate, since libsndfile truncates.
        request.bitRateMode = SF_BITRATE_MODE_CONSTANT;
        request.compressionLevel = std::clamp((highest - chosen - 0.5) / (highest - lowest), 0.0, 1.0);
        return;
    }
    // The typical bit rates (kbit/s) of the encoder's quality levels V0 to V9.
    static constexpr std::array<double, 10> typical = {245, 225, 190, 175, 165, 130, 115, 100, 85, 65};
    int level = 0;
    while (level + 1 < static_cast<int>(typical.size()) && typical[static_cast<std::size_t>(level + 1)] >= kilobits) {
        ++level;
    }
    request.bitRateMode = SF_BITRATE_MODE_VARIABLE;
    request.compressionLevel = level / 10.0;
}

// Vorbis encodes at a quality level; its nominal bit rate for a level,
// channel count and rate is the encoder's own figure. libsndfile's
// compression level is one minus the quality.
void chooseVorbisSettings(const SourceBitRate& source, std::int64_t sampleRate, std::size_t channelCount,
                          EncoderRequest& request) {
    struct VorbisInfo {
        VorbisInfo() { vorbis_info_init(&info); }
        ~VorbisInfo() { vorbis_info_clear(&info); }
        VorbisInfo(const VorbisInfo&) = delete;
        VorbisInfo& operator=(const VorbisInfo&) = delete;
        vorbis_info info;
    };
    double quality = 1.0;
    for (int step = 0; step <= 10; ++step) {
        VorbisInfo candidate;
        const bool accepted = vorbis_encode_init_vbr(&candidate.info, static_cast<long>(channelCount),
                                                     static_cast<long>(sampleRate), step / 10.0) == 0;
        if (accepted && candidate.info.bitrate_nominal >= source.bitsPerSecond) {
            quality = step / 10.0;
            break;
        }
    }
    request.compressionLevel = 1.0 - quality;
}

// libsndfile's Opus encoder aims at 6 to 256 kbit/s per channel, on a
// straight line from compression level 1 to 0.
void chooseOpusSettings(const SourceBitRate& source, std::size_t channelCount, EncoderRequest& request) {
    const double perChannel = static_cast<double>(source.bitsPerSecond) / static_cast<double>(channelCount);
    // One bit per second above the aim, since libsndfile truncates.
    request.compressionLevel = std::clamp(1.0 - (perChannel + 1.0 - 6000.0) / 250000.0, 0.0, 1.0);
}

void chooseLossySettings(const detail::AudioFileState& state, std::int64_t sampleRate, std::size_t channelCount,
                         EncoderRequest& request) {
    const SourceBitRate source = detail::sourceBitRate(state);
    if (source.bitsPerSecond <= 0) return;
    switch (request.format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_MPEG_LAYER_III: chooseMpegSettings(source, sampleRate, request); return;
    case SF_FORMAT_VORBIS: chooseVorbisSettings(source, sampleRate, channelCount, request); return;
    case SF_FORMAT_OPUS: chooseOpusSettings(source, channelCount, request); return;
    default: return;
    }
}

// The source's tags for a file at `sampleRate`: the time reference counts
// frames, so it moves with the rate.
AudioMetadata metadataAt(const StoredAudioFormat& stored, std::int64_t sampleRate) {
    AudioMetadata metadata = stored.metadata;
    if (metadata.timeReference && stored.sampleRate > 0 && sampleRate != stored.sampleRate) {
        metadata.timeReference =
            static_cast<std::int64_t>(std::llround(static_cast<long double>(*metadata.timeReference) * sampleRate /
                                                   static_cast<long double>(stored.sampleRate)));
    }
    return metadata;
}

bool isWavContainer(int format) {
    const int container = format & SF_FORMAT_TYPEMASK;
    return container == SF_FORMAT_WAV || container == SF_FORMAT_WAVEX || container == SF_FORMAT_RF64;
}

// The encoder's WAV header names the front channels by its plain left,
// right and centre positions and finds no speaker mask for the front ones.
std::vector<int> wavChannelMap(std::vector<int> map) {
    for (int& position : map) {
        if (position == SF_CHANNEL_MAP_FRONT_LEFT) position = SF_CHANNEL_MAP_LEFT;
        if (position == SF_CHANNEL_MAP_FRONT_RIGHT) position = SF_CHANNEL_MAP_RIGHT;
        if (position == SF_CHANNEL_MAP_FRONT_CENTER) position = SF_CHANNEL_MAP_CENTER;
    }
    return map;
}

// Writes the tags the format can hold; the encoder refuses the others,
// which are left out.
void writeTags(SNDFILE* encoder, int format, const AudioMetadata& metadata) {
    const std::pair<int, const std::string*> strings[] = {
        {SF_STR_TITLE, &metadata.title},     {SF_STR_ARTIST, &metadata.artist},
        {SF_STR_ALBUM, &metadata.album},     {SF_STR_DATE, &metadata.date},
        {SF_STR_COMMENT, &metadata.comment}, {SF_STR_TRACKNUMBER, &metadata.trackNumber},
    };
    for (const auto& [type, text] : strings) {
        if (!text->empty()) sf_set_string(encoder, type, text->c_str());
    }
    if (!isWavContainer(format) || (metadata.description.empty() && !metadata.timeReference)) return;
    SF_BROADCAST_INFO broadcast{};
    // The field holds 256 bytes, without a terminator when full.
    std::memcpy(broadcast.description, metadata.description.data(),
                std::min(metadata.description.size(), sizeof broadcast.description));
    const auto reference = static_cast<std::uint64_t>(metadata.timeReference.value_or(0));
    broadcast.time_reference_low = static_cast<std::uint32_t>(reference & 0xFFFFFFFFu);
    broadcast.time_reference_high = static_cast<std::uint32_t>(reference >> 32);
    sf_command(encoder, SFC_SET_BROADCAST_INFO, &broadcast, sizeof broadcast);
}

// Refuses a file name longer than the folder's file system allows.
void checkFileName(const std::filesystem::path& url) {
    const std::filesystem::path folder = url.has_parent_path() ? url.parent_path() : ".";
    const long nameLimit = ::pathconf(folder.c_str(), _PC_NAME_MAX);
    if (nameLimit > 0 && url.filename().native().size() > static_cast<std::size_t>(nameLimit)) {
        throw UnwritableOutputError(UnwritableOutputError::Code::nameTooLong,
                                    "The file name “" + url.filename().string() + "” is longer than the " +
                                        std::to_string(nameLimit) + " bytes that the folder “" + folder.string() +
                                        "” allows: " + std::strerror(ENAMETOOLONG) + ".");
    }
}

[[noreturn]] void throwEncoderError(int code, const std::string& what) {
    throw AudioLibraryError("libsndfile", code, what + ": " + sf_error_number(code));
}

struct EncoderClose {
    void operator()(SNDFILE* encoder) const { sf_close(encoder); }
};

// A new file at `url` in the requested format, written block by block under
// a temporary name and put in place by a commit.
class Encoder {
public:
    // `expectedFrames` is the output's length as far as it is known
    // beforehand: it decides a WAV file's variant and refuses lengths that
    // the file type cannot hold before anything is written.
    Encoder(const std::filesystem::path& url, std::int64_t sampleRate, std::size_t channelCount,
            const EncoderRequest& request, std::optional<std::int64_t> expectedFrames)
        : url_(url), channelCount_(channelCount), sizeLimit_(sizeLimitOf(request.format)),
          bytesPerFrame_(bytesPerSample(request.format) * channelCount),
          expectedFrames_(expectedFrames ? std::optional<std::uint64_t>(std::max<std::int64_t>(*expectedFrames, 0))
                                         : std::nullopt),
          format_(request.format), largeFileWav_(checkedSize()),
          file_(checkedLocation(url, sampleRate, channelCount, request)) {
        SF_INFO info = information(sampleRate, channelCount, request);
        if (largeFileWav_) info.format = SF_FORMAT_RF64 | (request.format & (SF_FORMAT_SUBMASK | SF_FORMAT_ENDMASK));
        SNDFILE* encoder = sf_open_fd(file_.descriptor(), SFM_WRITE, &info, SF_FALSE);
        if (!encoder) throwEncoderError(sf_error(nullptr), "creating " + url.string());
        encoder_.reset(encoder);
        // An RF64 file that stays below 4 GiB is completed as plain WAV.
        if (largeFileWav_) sf_command(encoder, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
        // Samples beyond full scale are clipped, not wrapped around, in integer formats.
        sf_command(encoder, SFC_SET_CLIPPING, nullptr, SF_TRUE);
        clips_ = clipsSamples(request.format);
        sampleRate_ = sampleRate;
        bitRateSource_ = request.bitRateSource;
        writeTags(encoder, request.format, request.metadata);
        if (!request.channelMap.empty()) {
            std::vector<int> map = isWavContainer(info.format) ? wavChannelMap(request.channelMap) : request.channelMap;
            sf_command(encoder, SFC_SET_CHANNEL_MAP_INFO, map.data(), static_cast<int>(map.size() * sizeof(int)));
        }
    }

    void write(std::span<const std::span<const float>> channels) {
        if (channels.size() != channelCount_) {
            throw std::invalid_argument("a block holds another number of channels than the file");
        }
        const std::size_t length = channels.front().size();
        for (const auto& channel : channels) {
            if (channel.size() != length) {
                throw std::invalid_argument("the channels of a block hold different numbers of samples");
            }
        }
        if (bitRateSource_) chooseBitRate();
        // The announced length fell short and the file type's sizes would wrap around.
        if (!largeFileWav_ && !detail::stillFits(sizeLimit_, bytesPerFrame_, framesWritten_ + length)) {
            throw UnwritableOutputError(UnwritableOutputError::Code::tooLarge, tooLargeMessage());
        }
        framesWritten_ += length;
        block_.resize(std::min(length, framesPerBlock) * channelCount_);
        for (std::size_t start = 0; start < length; start += framesPerBlock) {
            const std::size_t frames = std::min(framesPerBlock, length - start);
            const std::span<float> block = std::span(block_).first(frames * channelCount_);
            if (channelCount_ == 1) {
                copyWritable(channels.front().subspan(start, frames), block);
            } else {
                for (std::size_t channel = 0; channel < channelCount_; ++channel) {
                    interleave(channels[channel].subspan(start, frames), channel);
                }
                copyWritable(block, block);
            }
            const sf_count_t written = sf_writef_float(encoder_.get(), block_.data(), static_cast<sf_count_t>(frames));
            if (written != static_cast<sf_count_t>(frames)) {
                throw AudioLibraryError("libsndfile", sf_error(encoder_.get()),
                                        "writing " + url_.string() + ": " + sf_strerror(encoder_.get()));
            }
        }
        bytesSinceWriteback_ += length * bytesPerFrame_;
        if (bytesSinceWriteback_ >= writebackInterval) {
            file_.startWriteback();
            bytesSinceWriteback_ = 0;
        }
    }

    std::optional<Clipping> clipping() const {
        if (clippedSamples_ == 0) return std::nullopt;
        return Clipping{clippedSamples_, 20.0 * std::log10(static_cast<double>(peak_))};
    }

    // Puts the completed file at its location unless an item is there already.
    bool commitWithoutReplacing() {
        complete();
        return file_.commitWithoutReplacing();
    }

    void commitReplacing() {
        complete();
        file_.commitReplacing();
    }

    // The expected size in bytes (an upper bound for compressed formats); 0
    // when the length is unknown.
    std::uint64_t estimatedSize() const { return expectedFrames_.value_or(0) * bytesPerFrame_; }

private:
    // Puts `samples` in every channelCount_-th place of the block from `channel` on.
    void interleave(std::span<const float> samples, std::size_t channel) {
        for (std::size_t frame = 0; frame < samples.size(); ++frame) {
            block_[frame * channelCount_ + channel] = samples[frame];
        }
    }

    // Copies `samples` to `target` (the same samples, or as many elsewhere)
    // as they may be written: non-finite samples are never written to a
    // file, they become 0. Follows the peak and the samples beyond full scale.
    void copyWritable(std::span<const float> samples, std::span<float> target) {
        using Floats = stdx::native_simd<float>;
        constexpr std::size_t width = Floats::size();
        Floats peaks = peak_;
        std::int64_t beyondFullScale = 0;
        std::size_t start = 0;
        for (; start + width <= samples.size(); start += width) {
            Floats block(&samples[start], stdx::element_aligned);
            Floats magnitudes = stdx::abs(block);
            // Also true for NaN.
            const auto nonFinite = !(magnitudes <= std::numeric_limits<float>::max());
            stdx::where(nonFinite, block) = 0.0f;
            stdx::where(nonFinite, magnitudes) = 0.0f;
            peaks = stdx::max(peaks, magnitudes);
            beyondFullScale += stdx::popcount(magnitudes > 1.0f);
            block.copy_to(&target[start], stdx::element_aligned);
        }
        float peak = stdx::hmax(peaks);
        for (; start < samples.size(); ++start) {
            const float sample = std::isfinite(samples[start]) ? samples[start] : 0.0f;
            const float magnitude = std::fabs(sample);
            peak = std::max(peak, magnitude);
            beyondFullScale += magnitude > 1.0f ? 1 : 0;
            target[start] = sample;
        }
        peak_ = peak;
        if (clips_) clippedSamples_ += beyondFullScale;
    }

    // A lossy output's bit rate follows the source's, which is known once
    // the source has been read; the encoder takes it until the first samples.
    void chooseBitRate() {
        EncoderRequest request;
        request.format = format_;
        chooseLossySettings(*bitRateSource_, sampleRate_, channelCount_, request);
        bitRateSource_ = nullptr;
        // The mode first: it decides what the compression level means.
        if (request.bitRateMode) {
            int mode = *request.bitRateMode;
            sf_command(encoder_.get(), SFC_SET_BITRATE_MODE, &mode, sizeof mode);
        }
        if (request.compressionLevel) {
            double level = *request.compressionLevel;
            sf_command(encoder_.get(), SFC_SET_COMPRESSION_LEVEL, &level, sizeof level);
        }
    }

    void complete() {
        if (!encoder_) return;
        const int closed = sf_close(encoder_.release());
        if (closed != 0) throwEncoderError(closed, "completing " + url_.string());
    }

    std::string tooLargeMessage() const {
        return fileTypeName(format_) + " files hold at most 4 GiB, and this output would be larger.";
    }

    // Whether a WAV output is to be written as RF64; throws for a length the
    // file type cannot hold.
    bool checkedSize() const {
        switch (detail::decideSize(sizeLimit_, bytesPerFrame_, expectedFrames_)) {
        case SizeDecision::fits: return false;
        case SizeDecision::useLargeFileWav: return true;
        case SizeDecision::tooLarge:
            throw UnwritableOutputError(UnwritableOutputError::Code::tooLarge, tooLargeMessage());
        case SizeDecision::tooManyFrames:
            throw UnwritableOutputError(UnwritableOutputError::Code::tooManyFrames,
                                        fileTypeName(format_) + " files count at most " +
                                            std::to_string(detail::SizeLimits{}.largestFrameCount) +
                                            " frames, and this output would have " + std::to_string(*expectedFrames_) +
                                            ".");
        }
        return false;
    }

    static SF_INFO information(std::int64_t sampleRate, std::size_t channelCount, const EncoderRequest& request) {
        SF_INFO info{};
        info.samplerate = static_cast<int>(sampleRate);
        info.channels = static_cast<int>(channelCount);
        info.format = request.format;
        return info;
    }

    // Checks the format before the temporary file is created; returns `url`.
    static std::filesystem::path checkedLocation(const std::filesystem::path& url, std::int64_t sampleRate,
                                                 std::size_t channelCount, const EncoderRequest& request) {
        if (channelCount == 0 || channelCount > static_cast<std::size_t>(std::numeric_limits<int>::max()) ||
            sampleRate <= 0 || sampleRate > std::numeric_limits<int>::max()) {
            throw AudioServiceError(AudioServiceError::Code::failedToConstructFormat);
        }
        checkFileName(url);
        SF_INFO info = information(sampleRate, channelCount, request);
        if (!sf_format_check(&info)) {
            throw AudioLibraryError("libsndfile", SF_ERR_UNSUPPORTED_ENCODING,
                                    "this format cannot hold " + std::to_string(channelCount) + " channels at " +
                                        std::to_string(sampleRate) + " frames per second");
        }
        return url;
    }

    std::filesystem::path url_;
    std::size_t channelCount_;
    SizeLimitKind sizeLimit_;
    std::uint64_t bytesPerFrame_;
    std::optional<std::uint64_t> expectedFrames_;
    int format_;
    bool largeFileWav_;
    std::uint64_t framesWritten_ = 0;
    detail::ReplacementFile file_;
    std::unique_ptr<SNDFILE, EncoderClose> encoder_;
    std::vector<float> block_;
    std::int64_t sampleRate_ = 0;
    const detail::AudioFileState* bitRateSource_ = nullptr;
    bool clips_ = false;
    float peak_ = 0.0f;
    std::int64_t clippedSamples_ = 0;
    std::uint64_t bytesSinceWriteback_ = 0;
};

// The encoder's request that reproduces the stored format of `source` at
// `sampleRate` with `channelCount` channels, its tags and, for a lossy
// format, at least its bit rate; throws where there is none.
EncoderRequest requestMatching(const detail::AudioFileState& source, std::int64_t sampleRate,
                               std::size_t channelCount) {
    const StoredAudioFormat& stored = source.storedFormat;
    if (stored.sampleRate != sampleRate || stored.channelCount != static_cast<std::int64_t>(channelCount)) {
        throw std::invalid_argument("the stream's rate or channel count differs from the source's");
    }
    EncoderRequest request;
    request.channelMap = channelMapFor(stored.channelLayout ? &*stored.channelLayout : nullptr, channelCount);
    request.format = encoderFormatMatching(stored, !request.channelMap.empty());
    if (request.format == 0) {
        throw AudioLibraryError("libsndfile", SF_ERR_UNSUPPORTED_ENCODING,
                                "cannot write " + stored.codec + " audio in a " + stored.container + " file");
    }
    request.bitRateSource = &source;
    request.metadata = metadataAt(stored, sampleRate);
    return request;
}

// The writer through an FFmpeg muxer that reproduces `source` at `url`, at
// `sampleRate` with `channelCount` channels: a copy with new audio of a
// source with video, else AAC like an AAC source; nothing where FFmpeg
// cannot (another rate or count, a container or codec it cannot write).
std::optional<detail::MuxedWriterFactory> muxedWriterMatching(const std::filesystem::path& url,
                                                              const detail::AudioFileState& source,
                                                              std::int64_t sampleRate, std::size_t channelCount) {
    const StoredAudioFormat& stored = source.storedFormat;
    if (stored.sampleRate != sampleRate || stored.channelCount != static_cast<std::int64_t>(channelCount)) {
        return std::nullopt;
    }
    if (auto video = detail::videoWriterFor(url, source)) return video;
    return detail::aacWriterFor(url, source);
}

std::filesystem::path fallbackLocation(const std::filesystem::path& url, CommonAudioFileFormat fallbackFileFormat) {
    std::filesystem::path fallbackUrl = url;
    fallbackUrl.replace_extension(fallbackFileFormat.pathExtension());
    return fallbackUrl;
}

std::vector<std::span<const float>> views(const std::vector<AudioStream::Channel>& channels) {
    std::vector<std::span<const float>> result;
    for (const auto& channel : channels) result.emplace_back(channel.samples);
    return result;
}

// Writes whole channels: they must be of one length that fits a 32-bit frame count.
void encode(const std::vector<AudioStream::Channel>& channels, std::int64_t sampleRate, const EncoderRequest& request,
            const std::filesystem::path& url) {
    if (channels.empty()) throw AudioServiceError(AudioServiceError::Code::failedToConstructFormat);
    if (channels.front().samples.size() > std::numeric_limits<std::uint32_t>::max()) {
        throw AudioServiceError(AudioServiceError::Code::failedToConstructBuffer);
    }
    Encoder encoder(url, sampleRate, channels.size(), request,
                    static_cast<std::int64_t>(channels.front().samples.size()));
    encoder.write(views(channels));
    encoder.commitReplacing();
}

// Writes whole channels in the stored format of `source`.
void encodeMatching(const std::vector<AudioStream::Channel>& channels, std::int64_t sampleRate, const AudioFile& source,
                    const std::filesystem::path& url) {
    const auto length = static_cast<std::int64_t>(channels.front().samples.size());
    const auto makeWriter = muxedWriterMatching(url, source.state(), sampleRate, channels.size());
    if (!makeWriter) {
        encode(channels, sampleRate, requestMatching(source.state(), sampleRate, channels.size()), url);
        return;
    }
    checkFileName(url);
    const auto writer = (*makeWriter)(length);
    writer->write(views(channels));
    writer->commitReplacing();
}

}  // namespace

void AudioStream::write(const std::filesystem::path& url, CommonAudioFileFormat fileFormat) const {
    try {
        encode(channels_, sampleRate_, requestFor(fileFormat, channelLayout_.get(), channels_.size()), url);
    } catch (...) {
        throw AudioError::wrappingCurrent(AudioError::Operation::writeAudioFile);
    }
}

std::filesystem::path AudioStream::write(const std::filesystem::path& url, const AudioFile& source,
                                         std::optional<CommonAudioFileFormat> fallbackFileFormat) const {
    std::exception_ptr firstAttemptError;
    try {
        encodeMatching(channels_, sampleRate_, source, url);
        return url;
    } catch (...) {
        // The first attempt's reason is not reported when a fallback is given.
        firstAttemptError = std::current_exception();
    }

    try {
        if (!fallbackFileFormat) {
            throw AudioError(firstAttemptError, AudioError::Operation::writeAudioFile);
        }
        const std::filesystem::path fallbackUrl = fallbackLocation(url, *fallbackFileFormat);
        write(fallbackUrl, *fallbackFileFormat);
        return fallbackUrl;
    } catch (...) {
        throw AudioError::wrappingCurrent(AudioError::Operation::writeAudioFile);
    }
}

// libsndfile writes most formats; FFmpeg's muxers write AAC and files with video.
struct AudioFileWriter::State {
    using MuxedWriterHandle = std::unique_ptr<detail::MuxedWriter>;

    State(const std::filesystem::path& url, std::int64_t sampleRate, std::size_t channelCount,
          const EncoderRequest& request, std::optional<std::int64_t> expectedLength)
        : location(url), encoder(std::in_place_type<Encoder>, url, sampleRate, channelCount, request, expectedLength) {}
    State(const std::filesystem::path& url, const detail::MuxedWriterFactory& makeWriter,
          std::optional<std::int64_t> expectedLength)
        : location((checkFileName(url), url)), encoder(makeWriter(expectedLength)) {}

    // The FFmpeg writer, where one writes the file.
    detail::MuxedWriter* muxed() {
        const auto* writer = std::get_if<MuxedWriterHandle>(&encoder);
        return writer ? writer->get() : nullptr;
    }

    // Calls `call` with the encoder, whichever library writes the file.
    template <class Call>
    decltype(auto) withEncoder(Call call) {
        if (detail::MuxedWriter* writer = muxed()) return call(*writer);
        return call(std::get<Encoder>(encoder));
    }

    std::filesystem::path location;
    std::variant<Encoder, MuxedWriterHandle> encoder;
};

AudioFileWriter::AudioFileWriter(const std::filesystem::path& url, CommonAudioFileFormat fileFormat,
                                 const AudioFile& source, std::int64_t sampleRate,
                                 std::optional<std::int64_t> expectedLength) {
    try {
        const StoredAudioFormat& stored = source.state().storedFormat;
        const auto channelCount = static_cast<std::size_t>(stored.channelCount);
        const ChannelLayout* layout = stored.channelLayout ? &*stored.channelLayout : nullptr;
        EncoderRequest request = requestFor(fileFormat, layout, channelCount);
        request.metadata = metadataAt(stored, sampleRate);
        state_ = std::make_unique<State>(url, sampleRate, channelCount, request, expectedLength);
    } catch (...) {
        throw AudioError::wrappingCurrent(AudioError::Operation::writeAudioFile);
    }
}

AudioFileWriter::AudioFileWriter(const std::filesystem::path& url, const AudioFile& source, std::int64_t sampleRate,
                                 std::optional<CommonAudioFileFormat> fallbackFileFormat,
                                 std::optional<std::int64_t> expectedLength) {
    const StoredAudioFormat& stored = source.state().storedFormat;
    const auto channelCount = static_cast<std::size_t>(stored.channelCount);
    std::exception_ptr firstAttemptError;
    try {
        if (const auto makeWriter = muxedWriterMatching(url, source.state(), sampleRate, channelCount)) {
            state_ = std::make_unique<State>(url, *makeWriter, expectedLength);
        } else {
            state_ = std::make_unique<State>(url, sampleRate, channelCount,
                                             requestMatching(source.state(), sampleRate, channelCount), expectedLength);
        }
        return;
    } catch (...) {
        firstAttemptError = std::current_exception();
    }
    try {
        if (!fallbackFileFormat) throw AudioError(firstAttemptError, AudioError::Operation::writeAudioFile);
        *this = AudioFileWriter(fallbackLocation(url, *fallbackFileFormat), *fallbackFileFormat, source, sampleRate,
                                expectedLength);
    } catch (...) {
        throw AudioError::wrappingCurrent(AudioError::Operation::writeAudioFile);
    }
}

std::filesystem::path AudioFileWriter::locationMatching(const std::filesystem::path& url, const AudioFile& source,
                                                        std::optional<CommonAudioFileFormat> fallbackFileFormat) {
    const StoredAudioFormat& stored = source.state().storedFormat;
    const auto channelCount = static_cast<std::size_t>(stored.channelCount);
    if (muxedWriterMatching(url, source.state(), stored.sampleRate, channelCount)) return url;
    try {
        requestMatching(source.state(), stored.sampleRate, channelCount);
        return url;
    } catch (...) {
        return fallbackFileFormat ? fallbackLocation(url, *fallbackFileFormat) : url;
    }
}

AudioFileWriter::~AudioFileWriter() = default;
AudioFileWriter::AudioFileWriter(AudioFileWriter&&) noexcept = default;
AudioFileWriter& AudioFileWriter::operator=(AudioFileWriter&&) noexcept = default;

const std::filesystem::path& AudioFileWriter::location() const { return state_->location; }

std::uint64_t AudioFileWriter::estimatedSize() const {
    return state_->withEncoder([](const auto& encoder) { return encoder.estimatedSize(); });
}

std::vector<int> AudioFileWriter::otherAudioStreams() const {
    const detail::MuxedWriter* writer = state_->muxed();
    return writer ? writer->otherAudioStreams() : std::vector<int>{};
}

void AudioFileWriter::addAudioStream(const AudioFile& stream, AudioBlockReader reader) {
    try {
        detail::MuxedWriter* writer = state_->muxed();
        if (!writer) throw std::invalid_argument("the file holds no other audio stream");
        writer->addAudioStream(stream.state(), std::move(reader));
    } catch (...) {
        throw AudioError::wrappingCurrent(AudioError::Operation::writeAudioFile);
    }
}

void AudioFileWriter::write(std::span<const std::span<const float>> channels) {
    try {
        state_->withEncoder([&](auto& encoder) { encoder.write(channels); });
    } catch (...) {
        throw AudioError::wrappingCurrent(AudioError::Operation::writeAudioFile);
    }
}

// FFmpeg's encoders report no clipping: AAC and the other lossy codecs keep
// every sample as it is, and linear PCM or FLAC audio in a file with video
// is converted to its integer format by libswresample, which clips without
// counting.
std::optional<Clipping> AudioFileWriter::clipping() const {
    const Encoder* encoder = std::get_if<Encoder>(&state_->encoder);
    return encoder ? encoder->clipping() : std::nullopt;
}

std::optional<std::filesystem::path> AudioFileWriter::commit() {
    try {
        if (!state_->withEncoder([](auto& encoder) { return encoder.commitWithoutReplacing(); })) {
            return std::nullopt;
        }
        return state_->location;
    } catch (...) {
        throw AudioError::wrappingCurrent(AudioError::Operation::writeAudioFile);
    }
}

std::filesystem::path AudioFileWriter::commitReplacing() {
    try {
        state_->withEncoder([](auto& encoder) { encoder.commitReplacing(); });
        return state_->location;
    } catch (...) {
        throw AudioError::wrappingCurrent(AudioError::Operation::writeAudioFile);
    }
}

}  // namespace vesh
