// Opening and decoding audio files with FFmpeg: the demuxer picks the best
// audio stream (unless the caller names one), the decoder turns it into
// frames, and libswresample converts every frame to planar 32-bit float at
// the stream's stored rate. The whole stream is decoded, to its end,
// whatever length the container announces.
// A packet the decoder rejects as damaged is replaced by silence of its
// length, as players conceal it, and the stretch is recorded; a file none of
// whose packets decodes fails.

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <limits>
#include <stdexcept>
#include <system_error>

#include <sndfile.h>

#include "AudioFileState.h"
#include "AudioIO/AudioFile.h"
#include "AudioIO/AudioStream.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
}

namespace vesh {

namespace detail {

std::string ffmpegErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

void throwFFmpegError(int code, const std::string& what) {
    if (code == AVERROR(ENOMEM)) throw std::bad_alloc();
    throw AudioLibraryError("FFmpeg", code, what + ": " + ffmpegErrorText(code));
}

}  // namespace detail

namespace {

using namespace detail;

// A stream holds at most this many frames per channel (sample lists are
// indexed with signed 32-bit counts elsewhere in the application).
constexpr std::int64_t maximumFrameCount = std::numeric_limits<std::int32_t>::max();

// A length announced by the container is used only to size the first
// allocation, and never beyond this many frames per byte of file, so that a
// header claiming an absurd length cannot make the reader allocate for it.
constexpr std::int64_t maximumFramesPerFileByte = 16;

// The container's length of the chosen stream, in frames at its stored rate.
std::optional<std::int64_t> announcedFrames(const AudioFileState& state) {
    const AVStream& stream = *state.format->streams[state.streamIndex];
    const std::int64_t rate = state.storedFormat.sampleRate;
    if (stream.duration > 0)
        return av_rescale_q(stream.duration, stream.time_base, AVRational{1, static_cast<int>(rate)});
    if (state.format->duration > 0) return av_rescale(state.format->duration, rate, AV_TIME_BASE);
    return std::nullopt;
}
// A codec without a fixed sample size packs at most this many frames into a
// byte of file where its stream holds real audio (low-rate Opus comes near
// it); a header that claims more than that for the file's size is not
// believed before decoding.
constexpr std::int64_t largestFramesPerByteOfCompressedAudio = 64;

// The bytes of the file behind an open demuxer; 0 where unknown.
std::int64_t fileBytes(const AudioFileState& state) {
    AVIOContext* input = state.format->pb;
    const std::int64_t size = input ? avio_size(input) : -1;
    return std::max<std::int64_t>(size, 0);
}

// The announced length, where the file's size can hold it: a linear PCM
// stream holds at most as many frames as its bytes make, so a larger claim
// is cut to that; a compressed one is believed up to
// largestFramesPerByteOfCompressedAudio per byte, and beyond that taken as
// no announcement at all.
std::optional<std::int64_t> plausibleAnnouncedFrames(const AudioFileState& state) {
    const std::optional<std::int64_t> announced = announcedFrames(state);
    const std::int64_t bytes = fileBytes(state);
    if (!announced || bytes == 0) return announced;
    const AVCodecParameters& parameters = *state.format->streams[state.streamIndex]->codecpar;
    const std::int64_t bitsPerFrame =
        static_cast<std::int64_t>(av_get_bits_per_sample(parameters.codec_id)) * state.storedFormat.channelCount;
    if (bitsPerFrame > 0) return std::min(*announced, bytes * 8 / bitsPerFrame);
    if (*announced / largestFramesPerByteOfCompressedAudio > bytes) return std::nullopt;
    return announced;
}

std::uint32_t littleEndian(const unsigned char* bytes, int width) {
    std::uint32_t value = 0;
    for (int k = width - 1; k >= 0; --k) value = value << 8 | bytes[k];
    return value;
}

// The frames that the data chunk of a linear PCM WAV file claims, which the
// demuxer does not believe where the file is shorter; nothing where the size
// is unset (a file written as a stream) or the chunks cannot be followed.
std::optional<std::int64_t> wavDataChunkFrames(const std::filesystem::path& url) {
    std::ifstream file(url, std::ios::binary);
    unsigned char header[12];
    if (!file.read(reinterpret_cast<char*>(header), sizeof header) || std::memcmp(header, "RIFF", 4) != 0 ||
        std::memcmp(header + 8, "WAVE", 4) != 0) {
        return std::nullopt;
    }
    std::uint32_t blockAlign = 0;
    // The chunks before the data are few: the format, tags, a broadcast extension.
    for (int chunk = 0; chunk < 64; ++chunk) {
        unsigned char chunkHeader[8];
        if (!file.read(reinterpret_cast<char*>(chunkHeader), sizeof chunkHeader)) return std::nullopt;
        const std::uint32_t size = littleEndian(chunkHeader + 4, 4);
        if (std::memcmp(chunkHeader, "data", 4) == 0) {
            if (blockAlign == 0 || size == 0 || size == 0xFFFFFFFFu) return std::nullopt;
            return size / blockAlign;
        }
        std::uint32_t skipped = 0;
        if (std::memcmp(chunkHeader, "fmt ", 4) == 0 && size >= 16) {
            unsigned char format[16];
            if (!file.read(reinterpret_cast<char*>(format), sizeof format)) return std::nullopt;
            blockAlign = littleEndian(format + 12, 2);
            skipped = sizeof format;
        }
        file.seekg(static_cast<std::streamoff>(size - skipped + (size & 1)), std::ios::cur);
    }
    return std::nullopt;
}

// A stream's own length as its container states it, where it is a count and
// not an estimate from the bit rate: a decoded stream that falls well short
// of it was cut off or damaged to its end.
std::optional<std::int64_t> statedFrames(const AudioFileState& state) {
    if (state.statedWavFrames) return state.statedWavFrames;
    const AVStream& stream = *state.format->streams[state.streamIndex];
    if (stream.duration <= 0 || state.format->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE) {
        return std::nullopt;
    }
    return av_rescale_q(stream.duration, stream.time_base,
                        AVRational{1, static_cast<int>(state.storedFormat.sampleRate)});
}

// Codec priming and padding, and the last packet of a stream, make the
// decoded length differ from the stated one by less than this.
constexpr std::int64_t statedLengthTolerance = 8192;

// One damaged packet is concealed with at most this much silence: its
// declared duration may itself be damaged, and no codec's packets are longer.
constexpr std::int64_t maximumConcealedSeconds = 1;
// Nor with more frames per byte than any codec packs into a packet (a few
// bytes of Opus or FLAC silence stand for hundreds of frames).
constexpr std::int64_t maximumConcealedFramesPerByte = 1024;
// A file with more silence in place of damage than this, and than it holds
// intact audio, is taken as unreadable rather than padded out.
constexpr std::int64_t maximumConcealedSecondsOfAnyFile = 60;

AudioLibraryError emptySourceError(const std::filesystem::path& url, bool damaged) {
    return AudioLibraryError(
        "FFmpeg", AVERROR_INVALIDDATA,
        "decoding " + url.string() +
            (damaged ? ": the file is damaged and holds no audio that can be decoded" : ": the file holds no audio"));
}

// A damaged packet can make the decoder report the same failure again and
// again without taking new input; after this many tries the packet is given up.
constexpr int maximumDecoderRetries = 64;

bool isFloatCodec(AVCodecID codec) {
    switch (codec) {
    case AV_CODEC_ID_PCM_F32LE:
    case AV_CODEC_ID_PCM_F32BE:
    case AV_CODEC_ID_PCM_F64LE:
    case AV_CODEC_ID_PCM_F64BE: return true;
    default: return false;
    }
}

std::optional<ChannelLayout> declaredLayout(const AVChannelLayout& layout) {
    if (layout.order == AV_CHANNEL_ORDER_UNSPEC || layout.nb_channels <= 0) return std::nullopt;
    ChannelLayout result;
    result.positions.reserve(static_cast<std::size_t>(layout.nb_channels));
    for (int index = 0; index < layout.nb_channels; ++index) {
        result.positions.push_back(static_cast<std::int32_t>(av_channel_layout_channel_from_index(&layout, index)));
    }
    return result;
}

// The first of `keys` that the container or the stream has, or "".
std::string tag(const AVFormatContext& format, const AVStream& stream, std::initializer_list<const char*> keys) {
    for (const char* key : keys) {
        for (const AVDictionary* tags : {format.metadata, stream.metadata}) {
            if (const AVDictionaryEntry* entry = av_dict_get(tags, key, nullptr, 0); entry && entry->value[0] != '\0') {
                return entry->value;
            }
        }
    }
    return {};
}

AudioMetadata captureMetadata(const AVFormatContext& format, const AVStream& stream) {
    AudioMetadata metadata;
    metadata.title = tag(format, stream, {"title"});
    // AIFF files name their artist the author.
    metadata.artist = tag(format, stream, {"artist", "author"});
    metadata.album = tag(format, stream, {"album"});
    metadata.date = tag(format, stream, {"date", "year"});
    metadata.comment = tag(format, stream, {"comment"});
    metadata.trackNumber = tag(format, stream, {"track"});
    metadata.description = tag(format, stream, {"description"});
    const std::string reference = tag(format, stream, {"time_reference"});
    std::int64_t frames = 0;
    const auto [end, error] = std::from_chars(reference.data(), reference.data() + reference.size(), frames);
    if (!reference.empty() && error == std::errc() && end == reference.data() + reference.size() && frames >= 0) {
        metadata.timeReference = frames;
    }
    return metadata;
}

// The Broadcast WAV chunk as libsndfile reads it: FFmpeg files its
// description under the comment, so that one hides the other. The comment
// is then the INFO chunk's own.
void readBroadcastInfo(const std::filesystem::path& url, AudioMetadata& metadata) {
    std::error_code ignored;
    if (!std::filesystem::is_regular_file(url, ignored)) return;  // a second read would consume a pipe
    SF_INFO info{};
    const std::unique_ptr<SNDFILE, int (*)(SNDFILE*)> file(sf_open(url.c_str(), SFM_READ, &info), sf_close);
    SF_BROADCAST_INFO broadcast{};
    if (!file || sf_command(file.get(), SFC_GET_BROADCAST_INFO, &broadcast, sizeof broadcast) != SF_TRUE) return;
    metadata.description.assign(broadcast.description, ::strnlen(broadcast.description, sizeof broadcast.description));
    metadata.timeReference = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(broadcast.time_reference_high) << 32) | broadcast.time_reference_low);
    const char* comment = sf_get_string(file.get(), SF_STR_COMMENT);
    metadata.comment = comment ? comment : "";
}

StoredAudioFormat captureStoredFormat(const AVFormatContext& format, const AVStream& stream,
                                      const AVCodecContext& decoder) {
    const AVCodecParameters& parameters = *stream.codecpar;
    StoredAudioFormat stored;
    stored.container = format.iformat->name;
    stored.codec = avcodec_get_name(parameters.codec_id);
    const int pcmBits = av_get_bits_per_sample(parameters.codec_id);
    stored.bitDepth = parameters.bits_per_raw_sample > 0 ? parameters.bits_per_raw_sample : pcmBits;
    stored.isFloat = isFloatCodec(parameters.codec_id);
    stored.sampleRate = decoder.sample_rate;
    stored.channelCount = decoder.ch_layout.nb_channels;
    stored.channelLayout = declaredLayout(parameters.ch_layout);
    stored.declaredBitRate = parameters.bit_rate > 0 ? parameters.bit_rate : 0;
    stored.metadata = captureMetadata(format, stream);
    return stored;
}

// The audio stream numbered `wanted` and its decoder, or with none wanted
// the demuxer's best; returns the index or the demuxer's error code.
int findAudioStream(AVFormatContext& format, std::optional<int> wanted, const AVCodec*& codec) {
    if (!wanted) return av_find_best_stream(&format, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (*wanted < 0 || static_cast<unsigned>(*wanted) >= format.nb_streams ||
        format.streams[*wanted]->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) {
        return AVERROR_STREAM_NOT_FOUND;
    }
    codec = avcodec_find_decoder(format.streams[*wanted]->codecpar->codec_id);
    return codec ? *wanted : AVERROR_DECODER_NOT_FOUND;
}

void openFile(AudioFileState& state, const std::filesystem::path& url, std::optional<int> wantedStream) {
    state.url = url;
    std::error_code ignored;
    if (std::filesystem::is_directory(url, ignored)) {
        throw AudioLibraryError("file system", EISDIR, url.string() + ": " + std::strerror(EISDIR));
    }

    // Only local files: a path must never make the demuxer reach for a
    // network or other protocol, whatever the file (or a playlist in it) says.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    AVFormatContext* rawFormat = nullptr;
    if (std::vector<std::int64_t> hidden = oversizedChunks(url); !hidden.empty()) {
        state.input = std::make_unique<ChunkHidingInput>(url, std::move(hidden));
        rawFormat = avformat_alloc_context();
        if (!rawFormat) throw std::bad_alloc();
        rawFormat->pb = state.input->context();
    }
    const std::string location = "file:" + url.string();
    int result = avformat_open_input(&rawFormat, location.c_str(), nullptr, &options);
    av_dict_free(&options);  // what the demuxer left unused
    if (result < 0) throwFFmpegError(result, "opening " + url.string());
    state.format.reset(rawFormat);

    // Probing reads packets ahead; damage there leaves the streams as the
    // header described them, which is enough to decode what can be decoded.
    const int probed = avformat_find_stream_info(rawFormat, nullptr);

    const AVCodec* codec = nullptr;
    const int streamIndex = findAudioStream(*rawFormat, wantedStream, codec);
    if (streamIndex == AVERROR_STREAM_NOT_FOUND) {
        throwFFmpegError(streamIndex, url.string() + " holds no audio stream");
    }
    if (streamIndex == AVERROR_DECODER_NOT_FOUND) {
        throwFFmpegError(streamIndex, "no decoder for the audio of " + url.string());
    }
    if (streamIndex < 0) throwFFmpegError(streamIndex, "finding the audio stream of " + url.string());
    const AVCodecParameters& found = *rawFormat->streams[streamIndex]->codecpar;
    if (probed < 0 && (found.sample_rate <= 0 || found.ch_layout.nb_channels <= 0)) {
        throwFFmpegError(probed, "reading the stream information of " + url.string());
    }
    state.streamIndex = streamIndex;
    for (unsigned index = 0; index < rawFormat->nb_streams; ++index) {
        if (static_cast<int>(index) != streamIndex) rawFormat->streams[index]->discard = AVDISCARD_ALL;
    }

    const AVStream& stream = *rawFormat->streams[streamIndex];
    state.decoder.reset(avcodec_alloc_context3(codec));
    if (!state.decoder) throw std::bad_alloc();
    result = avcodec_parameters_to_context(state.decoder.get(), stream.codecpar);
    if (result < 0) throwFFmpegError(result, "configuring the decoder for " + url.string());
    state.decoder->pkt_timebase = stream.time_base;
    // AudioIO runs on its caller's thread only.
    state.decoder->thread_count = 1;
    // Frames whose checksum fails are damaged and concealed, not played as noise.
    state.decoder->err_recognition |= AV_EF_CRCCHECK;
    result = avcodec_open2(state.decoder.get(), codec, nullptr);
    if (result < 0) throwFFmpegError(result, "opening the decoder for " + url.string());

    if (state.decoder->sample_rate <= 0 || state.decoder->ch_layout.nb_channels <= 0) {
        throwFFmpegError(AVERROR_INVALIDDATA,
                         "the audio stream of " + url.string() + " declares no valid sample rate or channel count");
    }
    if (state.decoder->sample_rate < minimumSampleRate) {
        throw AudioLibraryError(
            "FFmpeg", AVERROR_PATCHWELCOME,
            "opening " + url.string() + ": a rate of " + std::to_string(state.decoder->sample_rate) +
                " frames per second is not supported (the lowest is " + std::to_string(minimumSampleRate) + ")");
    }
    state.storedFormat = captureStoredFormat(*rawFormat, stream, *state.decoder);
    if (state.storedFormat.container == "wav" || state.storedFormat.container == "w64") {
        readBroadcastInfo(url, state.storedFormat.metadata);
    }
    if (state.storedFormat.container == "wav" && state.storedFormat.codec.starts_with("pcm_") &&
        std::filesystem::is_regular_file(url, ignored)) {
        state.statedWavFrames = wavDataChunkFrames(url);
    }
}

// A layout libswresample accepts: the given one, or the default order for its
// channel count when it declares none.
AVChannelLayout usableLayout(const AVChannelLayout& layout, int channelCount) {
    AVChannelLayout result{};
    if (layout.order != AV_CHANNEL_ORDER_UNSPEC && layout.nb_channels == channelCount &&
        av_channel_layout_check(&layout)) {
        if (av_channel_layout_copy(&result, &layout) < 0) throw std::bad_alloc();
    } else {
        av_channel_layout_default(&result, channelCount);
    }
    return result;
}

}  // namespace

namespace detail {

// Collects the decoded frames of one stream as planar float channels, all at
// once or block by block.
class BlockDecoder {
public:
    explicit BlockDecoder(AudioFileState& state)
        : state_(state), samples_(static_cast<std::size_t>(state.storedFormat.channelCount)),
          packet_(av_packet_alloc()), frame_(av_frame_alloc()) {
        if (!packet_ || !frame_) throw std::bad_alloc();
    }
    ~BlockDecoder() { av_channel_layout_uninit(&converterLayout_); }
    BlockDecoder(const BlockDecoder&) = delete;
    BlockDecoder& operator=(const BlockDecoder&) = delete;

    std::vector<std::vector<float>> decodeToEnd() {
        reserveForAnnouncedLength();
        while (decodePacket()) {
        }
        return std::move(samples_);
    }

    // The frames decoded from the next packets, at least one; false at the end.
    bool read(std::vector<std::vector<float>>& block) {
        while (samples_.front().empty() && decodePacket()) {
        }
        if (samples_.front().empty()) return false;
        block.resize(samples_.size());
        for (std::size_t channel = 0; channel < samples_.size(); ++channel) {
            block[channel].swap(samples_[channel]);
            samples_[channel].clear();
        }
        return true;
    }

private:
    // Reads and decodes one packet onto the end of the channels, silence in
    // place of a damaged one; at the end of the input drains the decoder and
    // returns false.
    // Demuxers also stop at damage with an input/output error the file's
    // own reads did not give (a block header past the end), or with an
    // allocation failure for a packet whose stated size is absurd.
    bool isDamageOfTheFile(int result) const {
        const AVIOContext* input = state_.format->pb;
        return (result == AVERROR(EIO) && input && input->error == 0) || result == AVERROR(ENOMEM);
    }

    bool decodePacket() {
        if (finished_) return false;
        while (true) {
            const int result = av_read_frame(state_.format.get(), packet_.get());
            if (result == AVERROR_EOF) break;
            if (result == AVERROR_INVALIDDATA || isDamageOfTheFile(result)) {
                // The container cannot be followed past this point; like
                // players, keep what came before it.
                pendingSilence_.push_back(0);
                break;
            }
            if (result < 0) throwFFmpegError(result, "reading " + state_.url.string());
            const bool ours = packet_->stream_index == state_.streamIndex;
            if (ours) {
                recordPacket(*packet_);
                const std::int64_t length = concealedLength(*packet_);
                if (!send(packet_.get())) pendingSilence_.push_back(length);
            }
            av_packet_unref(packet_.get());
            if (ours) return true;
        }
        finished_ = true;
        // What the decoder still holds; a failure here has no packet left
        // to conceal.
        send(nullptr);
        flushConverter();
        // Damage with nothing decodable after it is a file cut short or
        // spoilt to its end: it ends the audio instead of padding it.
        if (!pendingSilence_.empty() || endsShortOfItsStatedLength()) recordDamage(0, true);
        // A stream of no frames at all is no recording: nothing could be
        // heard in it, and some formats cannot even be written without frames.
        if (decodedFrames_ == 0) throw emptySourceError(state_.url, !state_.damagedStretches.empty());
        state_.bitRate.decodedFrames = position_;
        state_.bitRate.complete = true;
        return false;
    }

    bool endsShortOfItsStatedLength() const {
        const std::optional<std::int64_t> stated = statedFrames(state_);
        return stated && *stated - position_ > std::max(statedLengthTolerance, state_.storedFormat.sampleRate / 4);
    }

    void recordPacket(const AVPacket& packet) {
        BitRateStatistics& statistics = state_.bitRate;
        statistics.packetBytes += packet.size;
        statistics.smallestPacket =
            statistics.packetCount == 0 ? packet.size : std::min<std::int64_t>(statistics.smallestPacket, packet.size);
        statistics.largestPacket = std::max<std::int64_t>(statistics.largestPacket, packet.size);
        ++statistics.packetCount;
    }

    // The frames a damaged packet stood for: its declared duration, else
    // the length of the last good frame, else the codec's frame size.
    std::int64_t concealedLength(const AVPacket& packet) const {
        const AVStream& stream = *state_.format->streams[state_.streamIndex];
        const std::int64_t rate = state_.storedFormat.sampleRate;
        std::int64_t frames = 0;
        if (packet.duration > 0 && stream.time_base.num > 0 && stream.time_base.den > 0) {
            frames = av_rescale_q(packet.duration, stream.time_base, AVRational{1, static_cast<int>(rate)});
        }
        if (frames <= 0) frames = lastFrameLength_;
        if (frames <= 0) frames = state_.decoder->frame_size;
        const std::int64_t plausible =
            std::min(rate * maximumConcealedSeconds, maximumConcealedFramesPerByte * std::max(packet.size, 1));
        return std::clamp<std::int64_t>(frames, 0, plausible);
    }

    // Silence for the damaged packets before a decodable one, where they were.
    void concealPending() {
        for (const std::int64_t frames : pendingSilence_) {
            concealedFrames_ += frames;
            if (concealedFrames_ >
                std::max(maximumConcealedSecondsOfAnyFile * state_.storedFormat.sampleRate, decodedFrames_)) {
                throwFFmpegError(AVERROR_INVALIDDATA, "decoding " + state_.url.string());
            }
            recordDamage(frames, false);
            for (auto& channel : samples_) channel.resize(channel.size() + static_cast<std::size_t>(frames), 0.0f);
            position_ += frames;
            checkLength(samples_.front().size());
        }
        pendingSilence_.clear();
    }

    // A damaged stretch of `frames` from the current position (or, with
    // `untilEnd`, everything after it), joined to the last one where they meet.
    void recordDamage(std::int64_t frames, bool untilEnd) {
        const double rate = static_cast<double>(state_.storedFormat.sampleRate);
        const double start = static_cast<double>(position_) / rate;
        const double end = static_cast<double>(position_ + frames) / rate;
        auto& stretches = state_.damagedStretches;
        if (!stretches.empty() && !stretches.back().untilEnd && stretches.back().end >= start) {
            stretches.back().end = end;
            stretches.back().untilEnd = untilEnd;
            return;
        }
        stretches.push_back(DamagedStretch{start, end, untilEnd});
    }

    // Sends a packet (none: the end of the input) and converts the frames it
    // yields; false when the decoder found it damaged.
    bool send(const AVPacket* packet) {
        bool intact = true;
        int result;
        int tries = 0;
        while ((result = avcodec_send_packet(state_.decoder.get(), packet)) == AVERROR(EAGAIN)) {
            intact = receiveAvailable() && intact;
            if (++tries == maximumDecoderRetries) return false;
        }
        if (result == AVERROR(ENOMEM)) throw std::bad_alloc();
        if (result < 0 && result != AVERROR_EOF) return false;
        return receiveAvailable() && intact;
    }

    // Converts every frame the decoder has ready; false when it reported
    // damage or gave a frame in no usable format.
    bool receiveAvailable() {
        bool intact = true;
        int failures = 0;
        while (true) {
            const int result = avcodec_receive_frame(state_.decoder.get(), frame_.get());
            if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return intact;
            if (result == AVERROR(ENOMEM)) throw std::bad_alloc();
            if (result < 0) {
                intact = false;
                if (++failures == maximumDecoderRetries) return false;
                continue;
            }
            intact = convert(*frame_) && intact;
            av_frame_unref(frame_.get());
        }
    }

    int channelCount() const { return state_.storedFormat.channelCount; }

    void reserveForAnnouncedLength() {
        const std::int64_t rate = state_.storedFormat.sampleRate;
        const std::int64_t announced =
            std::clamp<std::int64_t>(announcedFrames(state_).value_or(0), 0, maximumFrameCount);
        const std::int64_t plausible = std::min(fileBytes(state_), maximumFrameCount) * maximumFramesPerFileByte;
        // A little room beyond the announced length, so that an estimate
        // slightly short of the truth does not double the allocation.
        const std::int64_t frames = std::min({announced + announced / 50 + rate, plausible, maximumFrameCount});
        for (auto& channel : samples_) channel.reserve(static_cast<std::size_t>(std::max<std::int64_t>(frames, 0)));
    }

    void configureConverter(const AVFrame& frame) {
        const bool unchanged = converter_ && frame.format == converterFormat_ && frame.sample_rate == converterRate_ &&
                               av_channel_layout_compare(&frame.ch_layout, &converterLayout_) == 0;
        if (unchanged) return;
        flushConverter();

        AVChannelLayout inputLayout = usableLayout(frame.ch_layout, frame.ch_layout.nb_channels);
        // With an unchanged channel count, input and output layouts are the
        // same so that no channel is mixed into another; only a frame with
        // another count is remixed to the stream's count.
        AVChannelLayout outputLayout{};
        if (frame.ch_layout.nb_channels == channelCount()) {
            av_channel_layout_copy(&outputLayout, &inputLayout);
        } else {
            av_channel_layout_default(&outputLayout, channelCount());
        }
        SwrContext* raw = nullptr;
        int result = swr_alloc_set_opts2(&raw, &outputLayout, AV_SAMPLE_FMT_FLTP,
                                         static_cast<int>(state_.storedFormat.sampleRate), &inputLayout,
                                         static_cast<AVSampleFormat>(frame.format), frame.sample_rate, 0, nullptr);
        av_channel_layout_uninit(&inputLayout);
        av_channel_layout_uninit(&outputLayout);
        converter_.reset(raw);
        if (result >= 0) result = swr_init(raw);
        if (result < 0) throwFFmpegError(result, "converting the samples of " + state_.url.string());

        converterFormat_ = frame.format;
        converterRate_ = frame.sample_rate;
        av_channel_layout_uninit(&converterLayout_);
        if (av_channel_layout_copy(&converterLayout_, &frame.ch_layout) < 0) throw std::bad_alloc();
    }

    // False for a frame in no usable format (damage the decoder let
    // through), which is left out.
    bool convert(const AVFrame& frame) {
        if (frame.sample_rate < minimumSampleRate || frame.ch_layout.nb_channels <= 0 || frame.nb_samples < 0) {
            return false;
        }
        configureConverter(frame);
        concealPending();
        const std::int64_t before = position_;
        append(frame.extended_data, frame.nb_samples);
        lastFrameLength_ = position_ - before;
        decodedFrames_ += position_ - before;
        return true;
    }

    void flushConverter() {
        if (converter_) append(nullptr, 0);
    }

    // Converts `inputFrames` frames (none: drain the converter) onto the end
    // of every channel.
    void append(const std::uint8_t* const* input, int inputFrames) {
        const int capacity = swr_get_out_samples(converter_.get(), inputFrames);
        if (capacity < 0) throwFFmpegError(capacity, "converting the samples of " + state_.url.string());
        if (capacity == 0) return;
        const std::size_t frames = samples_.front().size();
        pointers_.resize(samples_.size());
        for (std::size_t channel = 0; channel < samples_.size(); ++channel) {
            samples_[channel].resize(frames + static_cast<std::size_t>(capacity));
            pointers_[channel] = reinterpret_cast<std::uint8_t*>(samples_[channel].data() + frames);
        }
        const int converted = swr_convert(converter_.get(), pointers_.data(), capacity,
                                          const_cast<const std::uint8_t**>(input), inputFrames);
        if (converted < 0) throwFFmpegError(converted, "converting the samples of " + state_.url.string());
        const std::size_t total = frames + static_cast<std::size_t>(converted);
        for (auto& channel : samples_) channel.resize(total);
        position_ += converted;
        checkLength(total);
    }

    void checkLength(std::size_t frames) const {
        if (static_cast<std::int64_t>(frames) > maximumFrameCount) {
            throw std::length_error(state_.url.string() + " holds more than 2147483647 frames per channel");
        }
    }

    AudioFileState& state_;
    std::vector<std::vector<float>> samples_;
    std::vector<std::uint8_t*> pointers_;
    PacketHandle packet_;
    FrameHandle frame_;
    ResamplerHandle converter_;
    int converterFormat_ = -1;
    int converterRate_ = 0;
    AVChannelLayout converterLayout_{};
    // Frames delivered so far, silence included, and those decoded.
    std::int64_t position_ = 0;
    std::int64_t decodedFrames_ = 0;
    std::int64_t lastFrameLength_ = 0;
    std::int64_t concealedFrames_ = 0;
    // The lengths of damaged packets not yet followed by a decodable one.
    std::vector<std::int64_t> pendingSilence_;
    bool finished_ = false;
};

AudioFileState::~AudioFileState() = default;

}  // namespace detail

namespace {

BlockDecoder& blockDecoder(AudioFileState& state) {
    if (!state.blockDecoder) state.blockDecoder = std::make_unique<BlockDecoder>(state);
    return *state.blockDecoder;
}

}  // namespace

AudioFile::AudioFile(const std::filesystem::path& url) : AudioFile(url, std::nullopt) {}

AudioFile::AudioFile(const std::filesystem::path& url, int streamIndex)
    : AudioFile(url, std::optional<int>(streamIndex)) {}

AudioFile::AudioFile(const std::filesystem::path& url, std::optional<int> streamIndex)
    : state_(std::make_unique<detail::AudioFileState>()) {
    try {
        openFile(*state_, url, streamIndex);
    } catch (...) {
        throw AudioError::wrappingCurrent(AudioError::Operation::readAudioFile);
    }
}

AudioFile::~AudioFile() = default;

std::int64_t AudioFile::sampleRate() const { return state_->storedFormat.sampleRate; }

const std::filesystem::path& AudioFile::url() const { return state_->url; }

std::int64_t AudioFile::channelCount() const { return state_->storedFormat.channelCount; }

bool AudioFile::read(std::vector<std::vector<float>>& block) {
    try {
        return blockDecoder(*state_).read(block);
    } catch (...) {
        throw AudioError::wrappingCurrent(AudioError::Operation::readAudioFile);
    }
}

double AudioFile::fractionRead() const {
    AVIOContext* input = state_->format->pb;
    if (!input) return 0.0;
    const std::int64_t size = avio_size(input);
    const std::int64_t position = avio_tell(input);
    if (size <= 0 || position < 0) return 0.0;
    return std::min(1.0, static_cast<double>(position) / static_cast<double>(size));
}

std::optional<std::int64_t> AudioFile::announcedLength() const { return plausibleAnnouncedFrames(*state_); }
const std::vector<DamagedStretch>& AudioFile::damagedStretches() const { return state_->damagedStretches; }

const AudioMetadata& AudioFile::metadata() const { return state_->storedFormat.metadata; }

AudioStream::AudioStream(const AudioFile& file) {
    try {
        BlockDecoder decoder(file.state());
        std::vector<std::vector<float>> samples = decoder.decodeToEnd();
        const std::int64_t rate = file.state().storedFormat.sampleRate;
        channels_.reserve(samples.size());
        for (auto& channel : samples) channels_.emplace_back(rate, std::move(channel));
        sampleRate_ = rate;
        if (const auto& layout = file.state().storedFormat.channelLayout) {
            channelLayout_ = std::make_unique<detail::ChannelLayout>(*layout);
        }
    } catch (...) {
        throw AudioError::wrappingCurrent(AudioError::Operation::readAudioFile);
    }
}

AudioStream::AudioStream(const std::filesystem::path& url) {
    try {
        *this = AudioStream(AudioFile(url));
    } catch (...) {
        throw AudioError::wrappingCurrent(AudioError::Operation::readAudioFile);
    }
}

void silenceDecoderDiagnostics() { av_log_set_level(AV_LOG_QUIET); }

}  // namespace vesh
