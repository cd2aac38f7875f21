// Muxing into a ReplacementFile through a custom I/O context, the commit
// rules of a muxed file, and feeding an audio encoder frame by frame;
// shared by the AAC and the video writers.

#include "FFmpegMuxing.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "AudioIO/AudioError.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
}

namespace vesh::detail {

namespace {

// A long output is sent on to storage every this many bytes while it is written.
constexpr std::uint64_t writebackInterval = 16 << 20;

constexpr int ioBufferSize = 1 << 16;

// Frames handed at once to an encoder that takes any length (linear PCM).
constexpr int variableFrameSize = 4096;

// What the I/O context hands its write callback.
#if LIBAVFORMAT_VERSION_MAJOR >= 61
using WrittenBytes = const std::uint8_t*;
#else
using WrittenBytes = std::uint8_t*;
#endif

}  // namespace

struct MuxedFileCallbacks {
    static int writeBytes(void* opaque, WrittenBytes bytes, int size) {
        auto& self = *static_cast<MuxedFile*>(opaque);
        std::size_t done = 0;
        while (done < static_cast<std::size_t>(size)) {
            const ssize_t written =
                ::write(self.file_.descriptor(), bytes + done, static_cast<std::size_t>(size) - done);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) {
                self.writeError_ = written < 0 ? errno : ENOSPC;
                return AVERROR(self.writeError_);
            }
            done += static_cast<std::size_t>(written);
        }
        self.bytesSinceWriteback_ += done;
        if (self.bytesSinceWriteback_ >= writebackInterval) {
            self.file_.startWriteback();
            self.bytesSinceWriteback_ = 0;
        }
        return size;
    }

    static std::int64_t seek(void* opaque, std::int64_t offset, int whence) {
        const int descriptor = static_cast<MuxedFile*>(opaque)->file_.descriptor();
        if (whence == AVSEEK_SIZE) {
            struct stat status {};
            return ::fstat(descriptor, &status) == 0 ? static_cast<std::int64_t>(status.st_size) : AVERROR(errno);
        }
        const off_t position = ::lseek(descriptor, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
        return position < 0 ? AVERROR(errno) : static_cast<std::int64_t>(position);
    }
};

void MuxedFile::IOContextRelease::operator()(AVIOContext* context) const {
    av_freep(&context->buffer);
    avio_context_free(&context);
}

MuxedFile::MuxedFile(const std::filesystem::path& url, const char* muxerName) : url_(url), file_(url) {
    auto* buffer = static_cast<unsigned char*>(av_malloc(ioBufferSize));
    if (!buffer) throw std::bad_alloc();
    io_.reset(avio_alloc_context(buffer, ioBufferSize, 1, this, nullptr, &MuxedFileCallbacks::writeBytes,
                                 &MuxedFileCallbacks::seek));
    if (!io_) {
        av_free(buffer);
        throw std::bad_alloc();
    }
    AVFormatContext* rawMuxer = nullptr;
    const int result = avformat_alloc_output_context2(&rawMuxer, nullptr, muxerName, nullptr);
    if (result < 0) throwFFmpegError(result, "creating " + url.string());
    muxer_.reset(rawMuxer);
    // The muxer checks the name's extension against the container.
    muxer_->url = av_strdup(url.c_str());
    if (!muxer_->url) throw std::bad_alloc();
    muxer_->pb = io_.get();
    muxer_->flags |= AVFMT_FLAG_CUSTOM_IO;
}

MuxedFile::~MuxedFile() = default;

void MuxedFile::check(int result, const std::string& what) const {
    if (writeError_ != 0) {
        throw AudioLibraryError("file system", writeError_, what + ": " + std::strerror(writeError_));
    }
    if (result < 0) throwFFmpegError(result, what);
}

void MuxedFile::complete() {
    check(av_write_trailer(muxer_.get()), "completing " + url_.string());
    avio_flush(io_.get());
    check(io_->error, "completing " + url_.string());
}

MuxedWriter::MuxedWriter(const std::filesystem::path& url, const char* muxerName, std::size_t channelCount)
    : file_(url, muxerName), channelCount_(channelCount) {}

MuxedWriter::~MuxedWriter() = default;

void MuxedWriter::write(std::span<const std::span<const float>> channels) {
    checkBlockShape(channels, channelCount_);
    guarded([&] { encode(channels); });
}

void MuxedWriter::complete() {
    guarded([&] {
        if (completed_) return;
        finish();
        file_.complete();
        completed_ = true;
    });
}

bool MuxedWriter::commitWithoutReplacing() {
    complete();
    return file_.commitWithoutReplacing();
}

void MuxedWriter::commitReplacing() {
    complete();
    file_.commitReplacing();
}

void MuxedWriter::addAudioStream(const AudioFileState&, AudioBlockReader) {
    throw std::invalid_argument("the file holds no other audio stream");
}

void checkBlockShape(std::span<const std::span<const float>> channels, std::size_t channelCount) {
    if (channels.size() != channelCount) {
        throw std::invalid_argument("a block holds another number of channels than the file");
    }
    for (const auto& channel : channels) {
        if (channel.size() != channels.front().size()) {
            throw std::invalid_argument("the channels of a block hold different numbers of samples");
        }
    }
}

void setChannelLayout(AVCodecContext& encoder, const AVChannelLayout& declared, int channelCount) {
    av_channel_layout_uninit(&encoder.ch_layout);
    if (declared.order != AV_CHANNEL_ORDER_UNSPEC && declared.nb_channels == channelCount) {
        if (av_channel_layout_copy(&encoder.ch_layout, &declared) < 0) throw std::bad_alloc();
    } else {
        av_channel_layout_default(&encoder.ch_layout, channelCount);
    }
}

bool holdsVideo(const AVFormatContext& format) {
    for (unsigned index = 0; index < format.nb_streams; ++index) {
        const AVStream& stream = *format.streams[index];
        if (stream.codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(stream.disposition & AV_DISPOSITION_ATTACHED_PIC)) {
            return true;
        }
    }
    return false;
}

FrameEncoder::FrameEncoder(CodecContextHandle encoder, std::int64_t firstTimestamp, std::string what)
    : encoder_(std::move(encoder)), what_(std::move(what)),
      frameSize_(static_cast<std::size_t>(encoder_->frame_size > 0 ? encoder_->frame_size : variableFrameSize)),
      channelCount_(static_cast<std::size_t>(encoder_->ch_layout.nb_channels)), nextTimestamp_(firstTimestamp) {
    frame_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
    if (!frame_ || !packet_) throw std::bad_alloc();
    if (encoder_->sample_fmt != AV_SAMPLE_FMT_FLTP) {
        converted_.reset(av_frame_alloc());
        if (!converted_) throw std::bad_alloc();
        SwrContext* raw = nullptr;
        int result = swr_alloc_set_opts2(&raw, &encoder_->ch_layout, encoder_->sample_fmt, encoder_->sample_rate,
                                         &encoder_->ch_layout, AV_SAMPLE_FMT_FLTP, encoder_->sample_rate, 0, nullptr);
        converter_.reset(raw);
        if (result >= 0) result = swr_init(converter_.get());
        if (result < 0) throwFFmpegError(result, "converting samples for " + what_);
    }
    newFrame();
}

FrameEncoder::~FrameEncoder() = default;

void FrameEncoder::newFrame() {
    av_frame_unref(frame_.get());
    frame_->format = AV_SAMPLE_FMT_FLTP;
    frame_->sample_rate = encoder_->sample_rate;
    frame_->nb_samples = static_cast<int>(frameSize_);
    if (av_channel_layout_copy(&frame_->ch_layout, &encoder_->ch_layout) < 0) throw std::bad_alloc();
    const int result = av_frame_get_buffer(frame_.get(), 0);
    if (result < 0) throwFFmpegError(result, "encoding " + what_);
    filled_ = 0;
}

void FrameEncoder::write(std::span<const std::span<const float>> channels, std::size_t offset,
                         const PacketSink& sink) {
    const std::size_t length = channels.front().size();
    std::size_t position = offset;
    while (position < length) {
        const std::size_t count = std::min(frameSize_ - filled_, length - position);
        for (std::size_t channel = 0; channel < channelCount_; ++channel) {
            const float* input = channels[channel].data() + position;
            float* output = reinterpret_cast<float*>(frame_->extended_data[channel]) + filled_;
            // Non-finite samples are never written to a file.
            for (std::size_t k = 0; k < count; ++k) output[k] = std::isfinite(input[k]) ? input[k] : 0.0f;
        }
        filled_ += count;
        position += count;
        if (filled_ == frameSize_) sendFrame(sink);
    }
}

void FrameEncoder::sendFrame(const PacketSink& sink) {
    frame_->nb_samples = static_cast<int>(filled_);
    frame_->pts = nextTimestamp_;
    nextTimestamp_ += static_cast<std::int64_t>(filled_);
    if (!converter_) {
        encode(frame_.get(), sink);
    } else {
        av_frame_unref(converted_.get());
        converted_->format = encoder_->sample_fmt;
        converted_->sample_rate = encoder_->sample_rate;
        converted_->nb_samples = frame_->nb_samples;
        if (av_channel_layout_copy(&converted_->ch_layout, &encoder_->ch_layout) < 0) throw std::bad_alloc();
        int result = av_frame_get_buffer(converted_.get(), 0);
        if (result >= 0) result = swr_convert_frame(converter_.get(), converted_.get(), frame_.get());
        if (result < 0) throwFFmpegError(result, "converting samples for " + what_);
        converted_->pts = frame_->pts;
        encode(converted_.get(), sink);
    }
    newFrame();
}

void FrameEncoder::encode(const AVFrame* input, const PacketSink& sink) {
    int result = avcodec_send_frame(encoder_.get(), input);
    if (result < 0) throwFFmpegError(result, "encoding " + what_);
    while ((result = avcodec_receive_packet(encoder_.get(), packet_.get())) >= 0) {
        sink(*packet_);
        av_packet_unref(packet_.get());
    }
    if (result != AVERROR(EAGAIN) && result != AVERROR_EOF) throwFFmpegError(result, "encoding " + what_);
}

void FrameEncoder::finish(const PacketSink& sink) {
    if (filled_ > 0) sendFrame(sink);
    encode(nullptr, sink);
}

}  // namespace vesh::detail
