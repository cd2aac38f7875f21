// Writing AAC with FFmpeg: the source's rate, channels and layout go to
// FFmpeg's own AAC encoder, fed frame by frame in planar float, and its
// packets go to the MPEG-4 or ADTS muxer, which writes into the temporary
// file of a ReplacementFile (FFmpegMuxing.h).

#include "AacFileWriting.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <string>
#include <string_view>

#include "AudioFileState.h"
#include "AudioIO/AudioError.h"
#include "FFmpegMuxing.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace vesh::detail {

namespace {

// The name of FFmpeg's MPEG-4 family demuxer, which reads .m4a and .mp4 files.
constexpr std::string_view mpeg4Demuxer = "mov,mp4,m4a,3gp,3g2,mj2";

// Bits an AAC frame may take per channel: the decoder's input buffer (6144
// bits), whatever the bit rate, so 768 bytes per channel per frame.
constexpr std::uint64_t largestFrameBytesPerChannel = 6144 / 8;
// Beside the frames: an ADTS header or an MPEG-4 sample-size entry per
// frame, and room for the container's header and index.
constexpr std::uint64_t containerBytesPerFrame = 16;
constexpr std::uint64_t containerHeaderBytes = 1 << 16;

// Without a known source bit rate, this much per channel.
constexpr std::int64_t defaultBitsPerSecondPerChannel = 64000;

const AVCodec* aacEncoder() { return avcodec_find_encoder_by_name("aac"); }

std::string lowercaseExtension(const std::filesystem::path& url) {
    std::string extension = url.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension;
}

// Sets an encoder's channel layout to the source's as its stream declares
// it, or to the usual one for its channel count.
void setLayoutOf(const AudioFileState& source, AVCodecContext& encoder) {
    setChannelLayout(encoder, source.format->streams[source.streamIndex]->codecpar->ch_layout,
                     source.storedFormat.channelCount);
}

// Whether the encoder opens for the source's layout and rate; it lists
// neither all it refuses nor (in every FFmpeg version) the layouts it takes.
bool encoderTakes(const AVCodec& codec, const AudioFileState& source) {
    const CodecContextHandle trial(avcodec_alloc_context3(&codec));
    if (!trial) throw std::bad_alloc();
    const int sampleRate = static_cast<int>(source.storedFormat.sampleRate);
    trial->sample_fmt = AV_SAMPLE_FMT_FLTP;
    trial->sample_rate = sampleRate;
    trial->time_base = AVRational{1, sampleRate};
    setLayoutOf(source, *trial);
    return avcodec_open2(trial.get(), &codec, nullptr) >= 0;
}

// The muxer that writes AAC audio like `source` at `url`, if any.
std::optional<const char*> aacMuxerFor(const std::filesystem::path& url, const AudioFileState& source) {
    const StoredAudioFormat& stored = source.storedFormat;
    if (stored.codec != "aac") return std::nullopt;
    const char* muxer = nullptr;
    if (stored.container == "aac") {
        muxer = "adts";
    } else if (stored.container == mpeg4Demuxer && !holdsVideo(*source.format)) {
        const std::string extension = lowercaseExtension(url);
        if (extension == ".m4a") muxer = "ipod";
        if (extension == ".mp4") muxer = "mp4";
    }
    const AVCodec* codec = aacEncoder();
    if (!muxer || !codec || !av_guess_format(muxer, nullptr, nullptr)) return std::nullopt;
    if (!encoderTakes(*codec, source)) return std::nullopt;
    return muxer;
}

class AacWriter final : public MuxedWriter {
public:
    AacWriter(const std::filesystem::path& url, const char* muxerName, const AudioFileState& source,
              std::optional<std::int64_t> expectedFrames)
        : MuxedWriter(url, muxerName, static_cast<std::size_t>(source.storedFormat.channelCount)), source(source),
          sampleRate(source.storedFormat.sampleRate), expectedFrames(expectedFrames),
          adts(muxerName == std::string_view("adts")) {
        // ADTS holds no tags.
        if (!adts) setTags(source.storedFormat.metadata);
    }

    std::uint64_t estimatedSize() const override {
        if (!expectedFrames) return 0;
        // The priming frame and a last, partly filled one come on top.
        const std::uint64_t frames = static_cast<std::uint64_t>(std::max<std::int64_t>(*expectedFrames, 0)) / 1024 + 3;
        return frames * (largestFrameBytesPerChannel * channelCount() + containerBytesPerFrame) + containerHeaderBytes;
    }

private:
    void setTags(const AudioMetadata& metadata) {
        const std::pair<const char*, const std::string*> tags[] = {
            {"title", &metadata.title},
            {"artist", &metadata.artist},
            {"album", &metadata.album},
            {"date", &metadata.date},
            {"comment", &metadata.comment},
            {"track", &metadata.trackNumber},
            {"description", &metadata.description},
        };
        for (const auto& [key, text] : tags) {
            if (!text->empty() && av_dict_set(&file().muxer().metadata, key, text->c_str(), 0) < 0) {
                throw std::bad_alloc();
            }
        }
    }

    // The source's bit rate is known once it has been read, so the encoder
    // is opened and the header written with the first samples.
    void start() {
        const AVCodec* codec = aacEncoder();
        if (!codec) throwFFmpegError(AVERROR_ENCODER_NOT_FOUND, "creating " + url().string());
        CodecContextHandle context(avcodec_alloc_context3(codec));
        if (!context) throw std::bad_alloc();
        context->sample_fmt = AV_SAMPLE_FMT_FLTP;
        context->sample_rate = static_cast<int>(sampleRate);
        setLayoutOf(source, *context);
        const std::int64_t sourceRate = sourceBitRate(source).bitsPerSecond;
        context->bit_rate =
            sourceRate > 0 ? sourceRate : defaultBitsPerSecondPerChannel * static_cast<std::int64_t>(channelCount());
        context->time_base = AVRational{1, static_cast<int>(sampleRate)};
        context->thread_count = 1;
        AVFormatContext& muxer = file().muxer();
        if (muxer.oformat->flags & AVFMT_GLOBALHEADER) context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        int result = avcodec_open2(context.get(), codec, nullptr);
        if (result < 0) throwFFmpegError(result, "opening the AAC encoder for " + url().string());

        AVStream* stream = avformat_new_stream(&muxer, nullptr);
        if (!stream) throw std::bad_alloc();
        result = avcodec_parameters_from_context(stream->codecpar, context.get());
        if (result < 0) throwFFmpegError(result, "configuring " + url().string());
        stream->time_base = context->time_base;
        file().check(avformat_write_header(&muxer, nullptr), "writing the header of " + url().string());
        framesToLeaveOut = adts ? context->initial_padding : 0;
        encoder.emplace(std::move(context), 0, url().string());
    }

    void muxPacket(AVPacket& packet) {
        AVStream& stream = *file().muxer().streams[0];
        av_packet_rescale_ts(&packet, encoder->context().time_base, stream.time_base);
        packet.stream_index = 0;
        file().check(av_write_frame(&file().muxer(), &packet), "writing " + url().string());
    }

    void encode(std::span<const std::span<const float>> channels) override {
        const std::size_t length = channels.front().size();
        if (!encoder) start();
        const std::size_t skipped = std::min<std::size_t>(length, static_cast<std::size_t>(framesToLeaveOut));
        framesToLeaveOut -= static_cast<int>(skipped);
        encoder->write(channels, skipped, [this](AVPacket& packet) { muxPacket(packet); });
    }

    void finish() override {
        if (!encoder) start();
        encoder->finish([this](AVPacket& packet) { muxPacket(packet); });
    }

    const AudioFileState& source;
    std::int64_t sampleRate;
    std::optional<std::int64_t> expectedFrames;
    bool adts;
    std::optional<FrameEncoder> encoder;
    // The first samples that ADTS leaves out in place of the encoder's priming.
    int framesToLeaveOut = 0;
};

}  // namespace

std::optional<MuxedWriterFactory> aacWriterFor(const std::filesystem::path& url, const AudioFileState& source) {
    return factoryOf<AacWriter>(url, aacMuxerFor(url, source), source);
}

}  // namespace vesh::detail
