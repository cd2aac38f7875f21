// Writing a file with video in its own container with new audio: a second
// demuxer reads the source again and its packets are copied as they are
// (timestamps moved to the output's time bases only), interleaved by time
// with the packets of an encoder that replaces the audio stream that
// reading decoded. The muxer writes into the temporary file of a
// ReplacementFile (FFmpegMuxing.h).

#include "VideoFileWriting.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "AudioFileState.h"
#include "AudioIO/AudioError.h"
#include "FFmpegMuxing.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
}

namespace vesh::detail {

namespace {

// The containers written, by the output name's extension.
struct Container {
    std::string_view extension;
    const char* muxer;
};
constexpr Container containers[] = {
    {".mp4", "mp4"},
    {".mov", "mov"},
    {".mkv", "matroska"},
    {".webm", "webm"},
};

// Without a known source bit rate, a lossy encoder gets this much per channel.
constexpr std::int64_t defaultBitsPerSecondPerChannel = 64000;

// The new audio's bound: at most 4 bytes per sample (8 for 64-bit PCM),
// which no lossy codec and no lossless one of up to 24 bits reaches, and
// packet and index overhead per 1024 frames, beside room for the header.
constexpr std::uint64_t overheadBytesPer1024Frames = 64;
constexpr std::uint64_t headerRoomBytes = 1 << 16;

std::string lowercaseExtension(const std::filesystem::path& url) {
    std::string extension = url.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension;
}

// Whether the demuxer's name ("mov,mp4,m4a,...") lists the muxer's.
bool demuxerReads(std::string_view demuxer, std::string_view muxer) {
    std::size_t start = 0;
    while (start <= demuxer.size()) {
        const std::size_t end = std::min(demuxer.find(',', start), demuxer.size());
        if (demuxer.substr(start, end - start) == muxer) return true;
        start = end + 1;
    }
    return false;
}

// Whether the muxer can hold the codec; where it cannot tell, it is tried.
bool muxerTakes(const AVOutputFormat& muxer, AVCodecID codec) {
    return codec != AV_CODEC_ID_NONE && avformat_query_codec(&muxer, codec, FF_COMPLIANCE_NORMAL) != 0;
}

// FFmpeg's encoder for an audio codec, where it has one.
const AVCodec* encoderFor(AVCodecID codec) {
    switch (codec) {
    case AV_CODEC_ID_AAC: return avcodec_find_encoder_by_name("aac");
    case AV_CODEC_ID_OPUS: return avcodec_find_encoder_by_name("libopus");
    case AV_CODEC_ID_FLAC: return avcodec_find_encoder_by_name("flac");
    case AV_CODEC_ID_MP3: return avcodec_find_encoder_by_name("libmp3lame");
    case AV_CODEC_ID_VORBIS: return avcodec_find_encoder_by_name("libvorbis");
    default: break;
    }
    const AVCodecDescriptor* descriptor = avcodec_descriptor_get(codec);
    if (descriptor && std::string_view(descriptor->name).starts_with("pcm_")) return avcodec_find_encoder(codec);
    return nullptr;
}

bool isLossy(const AVCodec& codec) {
    const AVCodecDescriptor* descriptor = avcodec_descriptor_get(codec.id);
    return !descriptor || (descriptor->props & AV_CODEC_PROP_LOSSY);
}

const AVStream& decodedStream(const AudioFileState& source) { return *source.format->streams[source.streamIndex]; }

// The encoder's sample format: the source's where the encoder takes it (so
// that linear PCM and FLAC keep their depth), else planar or packed float,
// else its first.
AVSampleFormat sampleFormatFor(const AVCodec& codec, const AVCodecParameters& source) {
    if (!codec.sample_fmts) return AV_SAMPLE_FMT_FLTP;
    for (const auto wanted :
         {static_cast<AVSampleFormat>(source.format), AV_SAMPLE_FMT_FLTP, AV_SAMPLE_FMT_FLT}) {
        for (const AVSampleFormat* format = codec.sample_fmts; *format != AV_SAMPLE_FMT_NONE; ++format) {
            if (*format == wanted) return wanted;
        }
    }
    return codec.sample_fmts[0];
}

// An encoder for the source's audio, configured but not opened; `bitRate`
// is for a lossy codec.
CodecContextHandle configuredEncoder(const AVCodec& codec, const AudioFileState& source, const AVOutputFormat& muxer,
                                     std::int64_t bitRate) {
    CodecContextHandle encoder(avcodec_alloc_context3(&codec));
    if (!encoder) throw std::bad_alloc();
    const AVCodecParameters& parameters = *decodedStream(source).codecpar;
    const int sampleRate = static_cast<int>(source.storedFormat.sampleRate);
    encoder->sample_fmt = sampleFormatFor(codec, parameters);
    encoder->sample_rate = sampleRate;
    encoder->time_base = AVRational{1, sampleRate};
    setChannelLayout(*encoder, parameters.ch_layout, source.storedFormat.channelCount);
    if (codec.id == parameters.codec_id) encoder->bits_per_raw_sample = parameters.bits_per_raw_sample;
    if (isLossy(codec)) encoder->bit_rate = bitRate;
    encoder->thread_count = 1;
    if (muxer.flags & AVFMT_GLOBALHEADER) encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    return encoder;
}

// The encoder for the new audio: the source's codec, else AAC, where it
// opens for the source's rate and layout and the muxer holds it.
const AVCodec* audioEncoderFor(const AudioFileState& source, const AVOutputFormat& muxer) {
    const std::int64_t trialBitRate = defaultBitsPerSecondPerChannel * source.storedFormat.channelCount;
    for (const AVCodec* codec : {encoderFor(decodedStream(source).codecpar->codec_id), encoderFor(AV_CODEC_ID_AAC)}) {
        if (!codec || !muxerTakes(muxer, codec->id)) continue;
        const CodecContextHandle trial = configuredEncoder(*codec, source, muxer, trialBitRate);
        if (avcodec_open2(trial.get(), codec, nullptr) >= 0) return codec;
    }
    return nullptr;
}

// The time of the first sample that decoding the stream gives, in its time
// base: its first packet's, later by the samples the decoder leaves out
// where the container records an encoder's priming (a Matroska codec
// delay), which the stream's start does not always count. The stream's
// start where the file cannot be decoded here.
std::int64_t firstSampleTime(const AudioFileState& source) {
    const AVStream& stream = decodedStream(source);
    const std::int64_t start = stream.start_time != AV_NOPTS_VALUE ? stream.start_time : 0;
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, source.url.c_str(), nullptr, nullptr) < 0) return start;
    const FormatContextHandle format(raw);
    const auto index = static_cast<unsigned>(source.streamIndex);
    if (index >= format->nb_streams) return start;
    for (unsigned other = 0; other < format->nb_streams; ++other) {
        if (other != index) format->streams[other]->discard = AVDISCARD_ALL;
    }
    const AVStream& again = *format->streams[index];
    const AVCodec* codec = avcodec_find_decoder(again.codecpar->codec_id);
    const CodecContextHandle decoder(codec ? avcodec_alloc_context3(codec) : nullptr);
    const PacketHandle packet(av_packet_alloc());
    const FrameHandle frame(av_frame_alloc());
    if (!decoder || !packet || !frame || avcodec_parameters_to_context(decoder.get(), again.codecpar) < 0) {
        return start;
    }
    decoder->pkt_timebase = again.time_base;
    if (avcodec_open2(decoder.get(), codec, nullptr) < 0) return start;
    while (av_read_frame(format.get(), packet.get()) >= 0) {
        const bool ours = packet->stream_index == static_cast<int>(index);
        const int sent = ours ? avcodec_send_packet(decoder.get(), packet.get()) : 0;
        av_packet_unref(packet.get());
        if (sent < 0 && sent != AVERROR(EAGAIN)) return start;
        if (ours && avcodec_receive_frame(decoder.get(), frame.get()) >= 0) {
            const std::int64_t time = frame->pts != AV_NOPTS_VALUE ? frame->pts : frame->best_effort_timestamp;
            return time != AV_NOPTS_VALUE ? av_rescale_q(time, again.time_base, stream.time_base) : start;
        }
    }
    return start;
}

}  // namespace

std::optional<const char*> videoMuxerFor(const std::filesystem::path& url, const AudioFileState& source) {
    if (!holdsVideo(*source.format)) return std::nullopt;
    const std::string extension = lowercaseExtension(url);
    const auto container = std::find_if(std::begin(containers), std::end(containers),
                                        [&](const Container& c) { return c.extension == extension; });
    if (container == std::end(containers) || !demuxerReads(source.storedFormat.container, container->muxer)) {
        return std::nullopt;
    }
    const AVOutputFormat* muxer = av_guess_format(container->muxer, nullptr, nullptr);
    if (!muxer) return std::nullopt;
    // A video stream the muxer cannot hold would be lost, and one whose
    // picture size the demuxer could not find (a damaged sample table) is
    // refused by the muxer's header: then the audio goes to an audio file
    // as before.
    const AVFormatContext& format = *source.format;
    for (unsigned index = 0; index < format.nb_streams; ++index) {
        const AVStream& stream = *format.streams[index];
        const AVCodecParameters& parameters = *stream.codecpar;
        if (parameters.codec_type == AVMEDIA_TYPE_VIDEO && !(stream.disposition & AV_DISPOSITION_ATTACHED_PIC) &&
            (!muxerTakes(*muxer, parameters.codec_id) || parameters.width <= 0 || parameters.height <= 0)) {
            return std::nullopt;
        }
    }
    if (!audioEncoderFor(source, *muxer)) return std::nullopt;
    return container->muxer;
}

struct VideoRemuxer::Implementation {
    Implementation(const std::filesystem::path& url, const char* muxerName, const AudioFileState& source,
                   std::optional<std::int64_t> expectedFrames)
        : source(source), channelCount(static_cast<std::size_t>(source.storedFormat.channelCount)),
          file(url, muxerName) {
        AVFormatContext* raw = nullptr;
        int result = avformat_open_input(&raw, source.url.c_str(), nullptr, nullptr);
        if (result < 0) throwFFmpegError(result, "reading " + source.url.string() + " again");
        input.reset(raw);
        result = avformat_find_stream_info(input.get(), nullptr);
        if (result < 0) throwFFmpegError(result, "reading " + source.url.string() + " again");
        if (input->nb_streams != source.format->nb_streams) {
            throw std::runtime_error(source.url.string() + " changed while it was read");
        }
        codec = audioEncoderFor(source, *file.muxer().oformat);
        if (!codec) throwFFmpegError(AVERROR_ENCODER_NOT_FOUND, "creating " + url.string());
        if (expectedFrames) {
            const int bits = av_get_bits_per_sample(codec->id);
            const std::uint64_t bytesPerSample = bits > 32 ? 8 : 4;
            const auto frames = static_cast<std::uint64_t>(std::max<std::int64_t>(*expectedFrames, 0));
            audioBound = frames * channelCount * bytesPerSample + (frames / 1024 + 2) * overheadBytesPer1024Frames +
                         headerRoomBytes;
            sourceSize = std::filesystem::file_size(source.url);
        }
    }

    const std::filesystem::path& url() const { return file.url(); }

    // Every stream in the source's order: the new audio in place of the
    // decoded one, the others copied. A stream the muxer refuses (an
    // attachment in MPEG-4, a codec it has no tag for) and one the demuxer
    // itself leaves out (the text track that carries MPEG-4 chapters, which
    // are copied as chapters) are not written: the output keeps all it can
    // rather than failing.
    void addStreams() {
        AVFormatContext& muxer = file.muxer();
        outputIndex.assign(input->nb_streams, -1);
        for (unsigned index = 0; index < input->nb_streams; ++index) {
            AVStream& in = *input->streams[index];
            if (static_cast<int>(index) == source.streamIndex) {
                in.discard = AVDISCARD_ALL;
                AVStream* out = avformat_new_stream(&muxer, nullptr);
                if (!out) throw std::bad_alloc();
                audioIndex = out->index;
                continue;
            }
            if (in.discard == AVDISCARD_ALL || !muxerTakes(*muxer.oformat, in.codecpar->codec_id)) {
                in.discard = AVDISCARD_ALL;
                continue;
            }
            AVStream* out = avformat_new_stream(&muxer, nullptr);
            if (!out) throw std::bad_alloc();
            const int result = avcodec_parameters_copy(out->codecpar, in.codecpar);
            if (result < 0) throwFFmpegError(result, "copying a stream to " + url().string());
            // The source's codec tag where the muxer knows it for this codec.
            unsigned int tag = 0;
            if (muxer.oformat->codec_tag &&
                av_codec_get_id(muxer.oformat->codec_tag, in.codecpar->codec_tag) != in.codecpar->codec_id &&
                av_codec_get_tag2(muxer.oformat->codec_tag, in.codecpar->codec_id, &tag)) {
                out->codecpar->codec_tag = 0;
            }
            out->time_base = in.time_base;
            out->avg_frame_rate = in.avg_frame_rate;
            out->r_frame_rate = in.r_frame_rate;
            out->sample_aspect_ratio = in.sample_aspect_ratio;
            copyDescription(in, *out);
            outputIndex[index] = out->index;
        }
    }

    void copyDescription(const AVStream& in, AVStream& out) const {
        if (av_dict_copy(&out.metadata, in.metadata, 0) < 0) throw std::bad_alloc();
        out.disposition = in.disposition;
    }

    void copyChapters() {
        AVFormatContext& muxer = file.muxer();
        if (av_dict_copy(&muxer.metadata, input->metadata, 0) < 0) throw std::bad_alloc();
        if (input->nb_chapters == 0) return;
        // The muxer frees its chapters and their tags with itself.
        muxer.chapters = static_cast<AVChapter**>(av_calloc(input->nb_chapters, sizeof(AVChapter*)));
        if (!muxer.chapters) throw std::bad_alloc();
        for (unsigned index = 0; index < input->nb_chapters; ++index) {
            const AVChapter& in = *input->chapters[index];
            auto* out = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
            if (!out) throw std::bad_alloc();
            muxer.chapters[muxer.nb_chapters++] = out;
            out->id = in.id;
            out->time_base = in.time_base;
            out->start = in.start;
            out->end = in.end;
            if (av_dict_copy(&out->metadata, in.metadata, 0) < 0) throw std::bad_alloc();
        }
    }

    // The source's bit rate is known once it has been read, so the encoder
    // is opened and the header written with the first samples.
    void start() {
        addStreams();
        copyChapters();
        AVFormatContext& muxer = file.muxer();
        const std::int64_t sourceRate = sourceBitRate(source).bitsPerSecond;
        CodecContextHandle context = configuredEncoder(
            *codec, source, *muxer.oformat,
            sourceRate > 0 ? sourceRate : defaultBitsPerSecondPerChannel * static_cast<std::int64_t>(channelCount));
        int result = avcodec_open2(context.get(), codec, nullptr);
        if (result < 0) throwFFmpegError(result, "opening the audio encoder for " + url().string());
        AVStream& audio = *muxer.streams[audioIndex];
        result = avcodec_parameters_from_context(audio.codecpar, context.get());
        if (result < 0) throwFFmpegError(result, "configuring " + url().string());
        audio.time_base = context->time_base;
        copyDescription(decodedStream(source), audio);
        file.check(avformat_write_header(&muxer, nullptr), "writing the header of " + url().string());

        // The first sample keeps the time of the source's first decoded
        // one; the encoder times its packets from there, earlier by its
        // priming, which the muxer records (an MPEG-4 edit list, a Matroska
        // codec delay).
        const std::int64_t firstTimestamp =
            av_rescale_q(firstSampleTime(source), decodedStream(source).time_base, context->time_base);
        // Matroska records Opus priming as a codec delay and times its
        // blocks after it, where the encoder times its packets before it.
        if (codec->id == AV_CODEC_ID_OPUS && std::string_view(muxer.oformat->name) != "mp4" &&
            std::string_view(muxer.oformat->name) != "mov") {
            primingShift = context->initial_padding;
        }
        packet.reset(av_packet_alloc());
        if (!packet) throw std::bad_alloc();
        encoder.emplace(std::move(context), firstTimestamp, url().string());
    }

    void muxAudio(AVPacket& audio) {
        AVStream& stream = *file.muxer().streams[audioIndex];
        audio.pts = audio.pts != AV_NOPTS_VALUE ? audio.pts + primingShift : audio.pts;
        audio.dts = audio.dts != AV_NOPTS_VALUE ? audio.dts + primingShift : audio.dts;
        av_packet_rescale_ts(&audio, encoder->context().time_base, stream.time_base);
        audio.stream_index = audioIndex;
        copyUntil(audio.dts != AV_NOPTS_VALUE ? audio.dts : audio.pts, stream.time_base);
        file.check(av_interleaved_write_frame(&file.muxer(), &audio), "writing " + url().string());
    }

    // Copies the source's packets up to `limit` in `timeBase` (to the end
    // for AV_NOPTS_VALUE); the first one past it waits for the next call.
    void copyUntil(std::int64_t limit, AVRational timeBase) {
        while (!sourceEnded) {
            if (!pending) {
                const int result = av_read_frame(input.get(), packet.get());
                if (result == AVERROR_EOF) {
                    sourceEnded = true;
                    break;
                }
                if (result < 0) throwFFmpegError(result, "reading " + source.url.string() + " again");
                pending = true;
            }
            AVPacket& copied = *packet;
            const int index = copied.stream_index < static_cast<int>(outputIndex.size())
                                  ? outputIndex[static_cast<std::size_t>(copied.stream_index)]
                                  : -1;
            if (index < 0) {
                av_packet_unref(&copied);
                pending = false;
                continue;
            }
            const AVRational inputBase = input->streams[copied.stream_index]->time_base;
            const std::int64_t time = copied.dts != AV_NOPTS_VALUE ? copied.dts : copied.pts;
            if (limit != AV_NOPTS_VALUE && time != AV_NOPTS_VALUE && av_compare_ts(time, inputBase, limit, timeBase) > 0) {
                break;
            }
            av_packet_rescale_ts(&copied, inputBase, file.muxer().streams[index]->time_base);
            copied.stream_index = index;
            copied.pos = -1;
            pending = false;
            file.check(av_interleaved_write_frame(&file.muxer(), &copied), "writing " + url().string());
        }
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
        if (!encoder) start();
        encoder->write(channels, 0, [this](AVPacket& audio) { muxAudio(audio); });
    }

    // Encodes what is left, copies the rest of the source and completes
    // the container, once.
    void complete() {
        if (completed) return;
        if (!encoder) start();
        encoder->finish([this](AVPacket& audio) { muxAudio(audio); });
        copyUntil(AV_NOPTS_VALUE, AVRational{1, 1});
        file.complete();
        completed = true;
    }

    std::uint64_t estimatedSize() const { return audioBound == 0 ? 0 : sourceSize + audioBound; }

    // Runs `step`; after a failure the file is not usable any more, and
    // every later step refuses.
    template <class Step>
    auto guarded(Step step) {
        if (failed) throw std::logic_error("an earlier failure left " + url().string() + " incomplete");
        try {
            return step();
        } catch (...) {
            failed = true;
            throw;
        }
    }

    const AudioFileState& source;
    std::size_t channelCount;
    MuxedFile file;
    FormatContextHandle input;
    const AVCodec* codec = nullptr;
    std::uint64_t sourceSize = 0;
    std::uint64_t audioBound = 0;
    // Per source stream, its output stream; -1 where it is not written.
    std::vector<int> outputIndex;
    int audioIndex = -1;
    // Added to the encoder's timestamps, in its time base.
    std::int64_t primingShift = 0;
    std::optional<FrameEncoder> encoder;
    // The source packet read but not yet copied, when `pending`.
    PacketHandle packet;
    bool pending = false;
    bool sourceEnded = false;
    bool completed = false;
    bool failed = false;
};

VideoRemuxer::VideoRemuxer(const std::filesystem::path& url, const char* muxer, const AudioFileState& source,
                           std::optional<std::int64_t> expectedFrames)
    : implementation_(std::make_unique<Implementation>(url, muxer, source, expectedFrames)) {}

VideoRemuxer::~VideoRemuxer() = default;

void VideoRemuxer::write(std::span<const std::span<const float>> channels) {
    implementation_->check(channels);
    implementation_->guarded([&] { implementation_->write(channels); });
}

bool VideoRemuxer::commitWithoutReplacing() {
    implementation_->guarded([&] { implementation_->complete(); });
    return implementation_->file.commitWithoutReplacing();
}

void VideoRemuxer::commitReplacing() {
    implementation_->guarded([&] { implementation_->complete(); });
    implementation_->file.commitReplacing();
}

std::uint64_t VideoRemuxer::estimatedSize() const { return implementation_->estimatedSize(); }

}  // namespace vesh::detail
