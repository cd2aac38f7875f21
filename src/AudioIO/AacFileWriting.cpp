// Writing AAC with FFmpeg: the source's rate, channels and layout go to
// FFmpeg's own AAC encoder, which takes frames of exactly its frame size in
// planar float, and its packets go to the MPEG-4 or ADTS muxer, which writes
// through a custom I/O context into the temporary file of a ReplacementFile.

#include "AacFileWriting.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>

#include "AudioFileState.h"
#include "AudioIO/AudioError.h"
#include "ReplacementFile.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
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

// A long output is sent on to storage every this many bytes while it is written.
constexpr std::uint64_t writebackInterval = 16 << 20;

constexpr int ioBufferSize = 1 << 16;

// What the I/O context hands its write callback.
#if LIBAVFORMAT_VERSION_MAJOR >= 61
using WrittenBytes = const std::uint8_t*;
#else
using WrittenBytes = std::uint8_t*;
#endif

struct MuxerRelease {
    void operator()(AVFormatContext* context) const { avformat_free_context(context); }
};
struct IOContextRelease {
    void operator()(AVIOContext* context) const {
        av_freep(&context->buffer);
        avio_context_free(&context);
    }
};
using MuxerHandle = std::unique_ptr<AVFormatContext, MuxerRelease>;
using IOContextHandle = std::unique_ptr<AVIOContext, IOContextRelease>;

const AVCodec* aacEncoder() { return avcodec_find_encoder_by_name("aac"); }

std::string lowercaseExtension(const std::filesystem::path& url) {
    std::string extension = url.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension;
}

// Whether the MPEG-4 file holds a video stream (cover art aside), which an
// audio file in its place would lose.
bool holdsVideo(const AVFormatContext& format) {
    for (unsigned index = 0; index < format.nb_streams; ++index) {
        const AVStream& stream = *format.streams[index];
        if (stream.codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(stream.disposition & AV_DISPOSITION_ATTACHED_PIC)) {
            return true;
        }
    }
    return false;
}

// Sets an encoder's channel layout to the source's as its stream declares
// it, or to the usual one for its channel count.
void setLayoutOf(const AudioFileState& source, AVCodecContext& encoder) {
    const AVChannelLayout& declared = source.format->streams[source.streamIndex]->codecpar->ch_layout;
    av_channel_layout_uninit(&encoder.ch_layout);
    if (declared.order != AV_CHANNEL_ORDER_UNSPEC && declared.nb_channels == source.storedFormat.channelCount) {
        if (av_channel_layout_copy(&encoder.ch_layout, &declared) < 0) throw std::bad_alloc();
    } else {
        av_channel_layout_default(&encoder.ch_layout, source.storedFormat.channelCount);
    }
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

}  // namespace

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

struct AacEncoder::Implementation {
    Implementation(const std::filesystem::path& url, const char* muxerName, const AudioFileState& source,
                   std::optional<std::int64_t> expectedFrames)
        : url(url), source(source), channelCount(static_cast<std::size_t>(source.storedFormat.channelCount)),
          sampleRate(source.storedFormat.sampleRate), expectedFrames(expectedFrames),
          adts(muxerName == std::string_view("adts")), file(url) {
        auto* buffer = static_cast<unsigned char*>(av_malloc(ioBufferSize));
        if (!buffer) throw std::bad_alloc();
        io.reset(avio_alloc_context(buffer, ioBufferSize, 1, this, nullptr, &Implementation::writeBytes,
                                    &Implementation::seek));
        if (!io) {
            av_free(buffer);
            throw std::bad_alloc();
        }
        AVFormatContext* rawMuxer = nullptr;
        const int result = avformat_alloc_output_context2(&rawMuxer, nullptr, muxerName, nullptr);
        if (result < 0) throwFFmpegError(result, "creating " + url.string());
        muxer.reset(rawMuxer);
        // The muxer checks the name's extension against the container.
        muxer->url = av_strdup(url.c_str());
        if (!muxer->url) throw std::bad_alloc();
        muxer->pb = io.get();
        muxer->flags |= AVFMT_FLAG_CUSTOM_IO;
        // ADTS holds no tags.
        if (!adts) setTags(source.storedFormat.metadata);
    }

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
            if (!text->empty() && av_dict_set(&muxer->metadata, key, text->c_str(), 0) < 0) throw std::bad_alloc();
        }
    }

    // The source's bit rate is known once it has been read, so the encoder
    // is opened and the header written with the first samples.
    void start() {
        const AVCodec* codec = aacEncoder();
        if (!codec) throwFFmpegError(AVERROR_ENCODER_NOT_FOUND, "creating " + url.string());
        encoder.reset(avcodec_alloc_context3(codec));
        if (!encoder) throw std::bad_alloc();
        encoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
        encoder->sample_rate = static_cast<int>(sampleRate);
        setLayoutOf(source, *encoder);
        const std::int64_t sourceRate = sourceBitRate(source).bitsPerSecond;
        encoder->bit_rate =
            sourceRate > 0 ? sourceRate : defaultBitsPerSecondPerChannel * static_cast<std::int64_t>(channelCount);
        encoder->time_base = AVRational{1, static_cast<int>(sampleRate)};
        encoder->thread_count = 1;
        if (muxer->oformat->flags & AVFMT_GLOBALHEADER) encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        int result = avcodec_open2(encoder.get(), codec, nullptr);
        if (result < 0) throwFFmpegError(result, "opening the AAC encoder for " + url.string());

        AVStream* stream = avformat_new_stream(muxer.get(), nullptr);
        if (!stream) throw std::bad_alloc();
        result = avcodec_parameters_from_context(stream->codecpar, encoder.get());
        if (result < 0) throwFFmpegError(result, "configuring " + url.string());
        stream->time_base = encoder->time_base;
        result = avformat_write_header(muxer.get(), nullptr);
        checkOutput(result, "writing the header of " + url.string());

        frame.reset(av_frame_alloc());
        packet.reset(av_packet_alloc());
        if (!frame || !packet) throw std::bad_alloc();
        framesToLeaveOut = adts ? encoder->initial_padding : 0;
        newFrame();
    }

    void newFrame() {
        av_frame_unref(frame.get());
        frame->format = AV_SAMPLE_FMT_FLTP;
        frame->sample_rate = encoder->sample_rate;
        frame->nb_samples = encoder->frame_size;
        if (av_channel_layout_copy(&frame->ch_layout, &encoder->ch_layout) < 0) throw std::bad_alloc();
        const int result = av_frame_get_buffer(frame.get(), 0);
        if (result < 0) throwFFmpegError(result, "encoding " + url.string());
        filled = 0;
    }

    // Refuses a block of another shape, which leaves the file as it was.
    void check(std::span<const std::span<const float>> channels) const {
        if (channels.size() != channelCount) {
            throw std::invalid_argument("a block holds another number of channels than the file");
        }
        for (const auto& channel : channels) {
            if (channel.size() != channels.front().size()) {
                throw std::invalid_argument("the channels of a block hold different numbers of samples");
            }
        }
    }

    void write(std::span<const std::span<const float>> channels) {
        const std::size_t length = channels.front().size();
        if (!encoder) start();
        std::size_t position = std::min<std::size_t>(length, static_cast<std::size_t>(framesToLeaveOut));
        framesToLeaveOut -= static_cast<int>(position);
        const auto frameSize = static_cast<std::size_t>(encoder->frame_size);
        while (position < length) {
            const std::size_t count = std::min(frameSize - filled, length - position);
            for (std::size_t channel = 0; channel < channelCount; ++channel) {
                const float* input = channels[channel].data() + position;
                float* output = reinterpret_cast<float*>(frame->extended_data[channel]) + filled;
                // Non-finite samples are never written to a file.
                for (std::size_t k = 0; k < count; ++k) output[k] = std::isfinite(input[k]) ? input[k] : 0.0f;
            }
            filled += count;
            position += count;
            if (filled == frameSize) sendFrame();
        }
    }

    void sendFrame() {
        frame->nb_samples = static_cast<int>(filled);
        frame->pts = nextTimestamp;
        nextTimestamp += static_cast<std::int64_t>(filled);
        encode(frame.get());
        newFrame();
    }

    // Sends a frame (none: the end) to the encoder and muxes the packets it gives.
    void encode(const AVFrame* input) {
        int result = avcodec_send_frame(encoder.get(), input);
        if (result < 0) throwFFmpegError(result, "encoding " + url.string());
        while ((result = avcodec_receive_packet(encoder.get(), packet.get())) >= 0) {
            AVStream& stream = *muxer->streams[0];
            av_packet_rescale_ts(packet.get(), encoder->time_base, stream.time_base);
            packet->stream_index = 0;
            result = av_write_frame(muxer.get(), packet.get());
            av_packet_unref(packet.get());
            checkOutput(result, "writing " + url.string());
        }
        if (result != AVERROR(EAGAIN) && result != AVERROR_EOF) throwFFmpegError(result, "encoding " + url.string());
    }

    // Encodes what is left, completes the container and flushes it, once.
    void complete() {
        if (completed) return;
        if (!encoder) start();
        if (filled > 0) sendFrame();
        encode(nullptr);
        checkOutput(av_write_trailer(muxer.get()), "completing " + url.string());
        avio_flush(io.get());
        checkOutput(io->error, "completing " + url.string());
        completed = true;
    }

    // A failure of the file itself is told as the file system's.
    void checkOutput(int result, const std::string& what) const {
        if (writeError != 0) {
            throw AudioLibraryError("file system", writeError, what + ": " + std::strerror(writeError));
        }
        if (result < 0) throwFFmpegError(result, what);
    }

    static int writeBytes(void* opaque, WrittenBytes bytes, int size) {
        auto& self = *static_cast<Implementation*>(opaque);
        std::size_t done = 0;
        while (done < static_cast<std::size_t>(size)) {
            const ssize_t written =
                ::write(self.file.descriptor(), bytes + done, static_cast<std::size_t>(size) - done);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) {
                self.writeError = written < 0 ? errno : ENOSPC;
                return AVERROR(self.writeError);
            }
            done += static_cast<std::size_t>(written);
        }
        self.bytesSinceWriteback += done;
        if (self.bytesSinceWriteback >= writebackInterval) {
            self.file.startWriteback();
            self.bytesSinceWriteback = 0;
        }
        return size;
    }

    static std::int64_t seek(void* opaque, std::int64_t offset, int whence) {
        const int descriptor = static_cast<Implementation*>(opaque)->file.descriptor();
        if (whence == AVSEEK_SIZE) {
            struct stat status {};
            return ::fstat(descriptor, &status) == 0 ? static_cast<std::int64_t>(status.st_size) : AVERROR(errno);
        }
        const off_t position = ::lseek(descriptor, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
        return position < 0 ? AVERROR(errno) : static_cast<std::int64_t>(position);
    }

    std::uint64_t estimatedSize() const {
        if (!expectedFrames) return 0;
        // The priming frame and a last, partly filled one come on top.
        const std::uint64_t frames = static_cast<std::uint64_t>(std::max<std::int64_t>(*expectedFrames, 0)) / 1024 + 3;
        return frames * (largestFrameBytesPerChannel * channelCount + containerBytesPerFrame) + containerHeaderBytes;
    }

    // Runs `step`; after a failure the file is not usable any more, and
    // every later step refuses.
    template <class Step>
    auto guarded(Step step) {
        if (failed) throw std::logic_error("an earlier failure left " + url.string() + " incomplete");
        try {
            return step();
        } catch (...) {
            failed = true;
            throw;
        }
    }

    std::filesystem::path url;
    const AudioFileState& source;
    std::size_t channelCount;
    std::int64_t sampleRate;
    std::optional<std::int64_t> expectedFrames;
    bool adts;
    // Destroyed last: the muxer and its I/O context write into it.
    ReplacementFile file;
    IOContextHandle io;
    MuxerHandle muxer;
    CodecContextHandle encoder;
    FrameHandle frame;
    PacketHandle packet;
    // Samples in the frame being filled.
    std::size_t filled = 0;
    std::int64_t nextTimestamp = 0;
    // The first samples that ADTS leaves out in place of the encoder's priming.
    int framesToLeaveOut = 0;
    int writeError = 0;
    std::uint64_t bytesSinceWriteback = 0;
    bool completed = false;
    bool failed = false;
};

AacEncoder::AacEncoder(const std::filesystem::path& url, const char* muxer, const AudioFileState& source,
                       std::optional<std::int64_t> expectedFrames)
    : implementation_(std::make_unique<Implementation>(url, muxer, source, expectedFrames)) {}

AacEncoder::~AacEncoder() = default;

void AacEncoder::write(std::span<const std::span<const float>> channels) {
    implementation_->check(channels);
    implementation_->guarded([&] { implementation_->write(channels); });
}

bool AacEncoder::commitWithoutReplacing() {
    implementation_->guarded([&] { implementation_->complete(); });
    return implementation_->file.commitWithoutReplacing();
}

void AacEncoder::commitReplacing() {
    implementation_->guarded([&] { implementation_->complete(); });
    implementation_->file.commitReplacing();
}

std::uint64_t AacEncoder::estimatedSize() const { return implementation_->estimatedSize(); }

}  // namespace vesh::detail
