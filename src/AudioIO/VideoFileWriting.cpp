// Writing a file with video in its own container with new audio: a second
// demuxer reads the source again and its packets are copied as they are
// (timestamps moved to the output's time bases only), interleaved by time
// with the packets of the encoders that replace the audio stream that
// reading decoded and the other audio streams given, each kept up with the
// stream written. The muxer writes into the temporary file of a
// ReplacementFile (FFmpegMuxing.h).

#include "VideoFileWriting.h"

#include <algorithm>
#include <cctype>
#include <deque>
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

// What new audio is encoded like: a source stream's parameters, and the
// rate and channel count that decoding it gives.
struct EncodedAudio {
    const AVCodecParameters& parameters;
    int sampleRate;
    int channelCount;
};

EncodedAudio decodedAudio(const AudioFileState& source) {
    return {*decodedStream(source).codecpar, static_cast<int>(source.storedFormat.sampleRate),
            source.storedFormat.channelCount};
}

// A stream not decoded here, as its container declares it.
EncodedAudio declaredAudio(const AVStream& stream) {
    return {*stream.codecpar, stream.codecpar->sample_rate, stream.codecpar->ch_layout.nb_channels};
}

bool isOtherAudio(const AVStream& stream, int decodedIndex) {
    return stream.index != decodedIndex && stream.codecpar->codec_type == AVMEDIA_TYPE_AUDIO &&
           !(stream.disposition & AV_DISPOSITION_ATTACHED_PIC);
}

// The encoder's sample format: the source's where the encoder takes it (so
// that linear PCM and FLAC keep their depth), else planar or packed float,
// else its first.
AVSampleFormat sampleFormatFor(const AVCodec& codec, const AVCodecParameters& source) {
    if (!codec.sample_fmts) return AV_SAMPLE_FMT_FLTP;
    for (const auto wanted : {static_cast<AVSampleFormat>(source.format), AV_SAMPLE_FMT_FLTP, AV_SAMPLE_FMT_FLT}) {
        for (const AVSampleFormat* format = codec.sample_fmts; *format != AV_SAMPLE_FMT_NONE; ++format) {
            if (*format == wanted) return wanted;
        }
    }
    return codec.sample_fmts[0];
}

// An encoder for `audio`, configured but not opened; `bitRate` is for a
// lossy codec.
CodecContextHandle configuredEncoder(const AVCodec& codec, const EncodedAudio& audio, const AVOutputFormat& muxer,
                                     std::int64_t bitRate) {
    CodecContextHandle encoder(avcodec_alloc_context3(&codec));
    if (!encoder) throw std::bad_alloc();
    encoder->sample_fmt = sampleFormatFor(codec, audio.parameters);
    encoder->sample_rate = audio.sampleRate;
    encoder->time_base = AVRational{1, audio.sampleRate};
    setChannelLayout(*encoder, audio.parameters.ch_layout, audio.channelCount);
    if (codec.id == audio.parameters.codec_id) encoder->bits_per_raw_sample = audio.parameters.bits_per_raw_sample;
    if (isLossy(codec)) encoder->bit_rate = bitRate;
    encoder->thread_count = 1;
    if (muxer.flags & AVFMT_GLOBALHEADER) encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    return encoder;
}

// The encoder for new audio like `audio`: its codec, else AAC, where it
// opens for its rate and layout and the muxer holds it.
const AVCodec* audioEncoderFor(const EncodedAudio& audio, const AVOutputFormat& muxer) {
    if (audio.sampleRate <= 0 || audio.channelCount <= 0) return nullptr;
    const std::int64_t trialBitRate = defaultBitsPerSecondPerChannel * audio.channelCount;
    for (const AVCodec* codec : {encoderFor(audio.parameters.codec_id), encoderFor(AV_CODEC_ID_AAC)}) {
        if (!codec || !muxerTakes(muxer, codec->id)) continue;
        const CodecContextHandle trial = configuredEncoder(*codec, audio, muxer, trialBitRate);
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

// The muxer that writes a copy of `source` with new audio at `url`, if any.
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
    if (!audioEncoderFor(decodedAudio(source), *muxer)) return std::nullopt;
    for (unsigned index = 0; index < format.nb_streams; ++index) {
        const AVStream& stream = *format.streams[index];
        if (isOtherAudio(stream, source.streamIndex) && !audioEncoderFor(declaredAudio(stream), *muxer)) {
            return std::nullopt;
        }
    }
    return container->muxer;
}

class VideoWriter final : public MuxedWriter {
    // A stream of new audio in place of one of the source's audio streams.
    struct NewAudio {
        // The stream decoded, whose encoding and timing the new audio keeps.
        const AudioFileState* decoded = nullptr;
        // Where the samples of another stream than the one written come from.
        AudioBlockReader reader;
        int outputIndex = -1;
        const AVCodec* codec = nullptr;
        std::optional<FrameEncoder> encoder;
        // Added to the encoder's timestamps, in its time base.
        std::int64_t primingShift = 0;
        // The time of the next sample the encoder is given, in its time base.
        std::int64_t nextSampleTime = 0;
        bool ended = false;

        int sourceIndex() const { return decoded->streamIndex; }
        std::size_t channelCount() const { return static_cast<std::size_t>(decoded->storedFormat.channelCount); }
    };

public:
    VideoWriter(const std::filesystem::path& url, const char* muxerName, const AudioFileState& source,
                std::optional<std::int64_t> expectedFrames)
        : MuxedWriter(url, muxerName, static_cast<std::size_t>(source.storedFormat.channelCount)), source(source) {
        AVFormatContext* raw = nullptr;
        int result = avformat_open_input(&raw, source.url.c_str(), nullptr, nullptr);
        if (result < 0) throwFFmpegError(result, "reading " + source.url.string() + " again");
        input.reset(raw);
        result = avformat_find_stream_info(input.get(), nullptr);
        if (result < 0) throwFFmpegError(result, "reading " + source.url.string() + " again");
        if (input->nb_streams != source.format->nb_streams) {
            throw std::runtime_error(source.url.string() + " changed while it was read");
        }
        written.decoded = &source;
        written.codec = audioEncoderFor(decodedAudio(source), *file().muxer().oformat);
        if (!written.codec) throwFFmpegError(AVERROR_ENCODER_NOT_FOUND, "creating " + url.string());
        for (unsigned index = 0; index < input->nb_streams; ++index) {
            const AVStream& stream = *input->streams[index];
            if (stream.discard != AVDISCARD_ALL && isOtherAudio(stream, source.streamIndex)) {
                otherAudio.push_back(static_cast<int>(index));
            }
        }
        if (expectedFrames) {
            const auto frames = static_cast<std::uint64_t>(std::max<std::int64_t>(*expectedFrames, 0));
            audioBound = audioBytesBound(frames, channelCount(), written.codec->id);
            // The other streams as long as the one written.
            const double seconds = static_cast<double>(frames) / static_cast<double>(source.storedFormat.sampleRate);
            for (const int index : otherAudio) {
                const AVCodecParameters& parameters = *input->streams[index]->codecpar;
                audioBound +=
                    audioBytesBound(static_cast<std::uint64_t>(seconds * parameters.sample_rate),
                                    static_cast<std::uint64_t>(parameters.ch_layout.nb_channels), parameters.codec_id);
            }
            sourceSize = std::filesystem::file_size(source.url);
        }
    }

    std::vector<int> otherAudioStreams() const override { return otherAudio; }

    void addAudioStream(const AudioFileState& stream, AudioBlockReader reader) override {
        guarded([&] { addGivenStream(stream, std::move(reader)); });
    }

    std::uint64_t estimatedSize() const override { return audioBound == 0 ? 0 : sourceSize + audioBound; }

private:
    static std::uint64_t audioBytesBound(std::uint64_t frames, std::uint64_t channels, AVCodecID codec) {
        const std::uint64_t bytesPerSample = av_get_bits_per_sample(codec) > 32 ? 8 : 4;
        return frames * channels * bytesPerSample + (frames / 1024 + 2) * overheadBytesPer1024Frames + headerRoomBytes;
    }

    void addGivenStream(const AudioFileState& stream, AudioBlockReader reader) {
        if (started()) throw std::logic_error("an audio stream was given after the first write");
        const bool other = stream.url == source.url &&
                           std::find(otherAudio.begin(), otherAudio.end(), stream.streamIndex) != otherAudio.end();
        const bool given = std::any_of(others.begin(), others.end(), [&](const NewAudio& audio) {
            return audio.sourceIndex() == stream.streamIndex;
        });
        if (!other || given) throw std::invalid_argument("the audio stream given is not one that is to be replaced");
        const AVCodec* codec = audioEncoderFor(decodedAudio(stream), *file().muxer().oformat);
        if (!codec) throwFFmpegError(AVERROR_ENCODER_NOT_FOUND, "creating " + url().string());
        NewAudio& audio = others.emplace_back();
        audio.decoded = &stream;
        audio.reader = std::move(reader);
        audio.codec = codec;
    }

    bool started() const { return written.encoder.has_value(); }

    // The new audio in place of the source stream `index`, if any.
    NewAudio* newAudioFor(int index) {
        if (index == written.sourceIndex()) return &written;
        const auto found = std::find_if(others.begin(), others.end(),
                                        [&](const NewAudio& audio) { return audio.sourceIndex() == index; });
        return found != others.end() ? &*found : nullptr;
    }

    // Every stream in the source's order: new audio in place of the decoded
    // one and of those given, the others copied. A stream the muxer refuses
    // (an attachment in MPEG-4, a codec it has no tag for) and one the
    // demuxer itself leaves out (the text track that carries MPEG-4
    // chapters, which are copied as chapters) are not written: the output
    // keeps all it can rather than failing.
    void addStreams() {
        AVFormatContext& muxer = file().muxer();
        outputIndex.assign(input->nb_streams, -1);
        for (unsigned index = 0; index < input->nb_streams; ++index) {
            AVStream& in = *input->streams[index];
            if (NewAudio* audio = newAudioFor(static_cast<int>(index))) {
                in.discard = AVDISCARD_ALL;
                AVStream* out = avformat_new_stream(&muxer, nullptr);
                if (!out) throw std::bad_alloc();
                audio->outputIndex = out->index;
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
        AVFormatContext& muxer = file().muxer();
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

    // The encoder of `audio`, opened at its source's bit rate, and its
    // output stream described like the source's.
    CodecContextHandle openEncoder(const NewAudio& audio) {
        AVFormatContext& muxer = file().muxer();
        const std::int64_t sourceRate = sourceBitRate(*audio.decoded).bitsPerSecond;
        const auto channels = static_cast<std::int64_t>(audio.channelCount());
        CodecContextHandle context =
            configuredEncoder(*audio.codec, decodedAudio(*audio.decoded), *muxer.oformat,
                              sourceRate > 0 ? sourceRate : defaultBitsPerSecondPerChannel * channels);
        int result = avcodec_open2(context.get(), audio.codec, nullptr);
        if (result < 0) throwFFmpegError(result, "opening the audio encoder for " + url().string());
        AVStream& stream = *muxer.streams[audio.outputIndex];
        result = avcodec_parameters_from_context(stream.codecpar, context.get());
        if (result < 0) throwFFmpegError(result, "configuring " + url().string());
        stream.time_base = context->time_base;
        copyDescription(decodedStream(*audio.decoded), stream);
        return context;
    }

    // The first sample keeps the time of the source's first decoded one;
    // the encoder times its packets from there, earlier by its priming,
    // which the muxer records (an MPEG-4 edit list, a Matroska codec delay).
    void startEncoding(NewAudio& audio, CodecContextHandle context) {
        const std::string_view muxer = file().muxer().oformat->name;
        audio.nextSampleTime =
            av_rescale_q(firstSampleTime(*audio.decoded), decodedStream(*audio.decoded).time_base, context->time_base);
        // Matroska records Opus priming as a codec delay and times its
        // blocks after it, where the encoder times its packets before it.
        if (audio.codec->id == AV_CODEC_ID_OPUS && muxer != "mp4" && muxer != "mov") {
            audio.primingShift = context->initial_padding;
        }
        audio.encoder.emplace(std::move(context), audio.nextSampleTime, url().string());
    }

    // The source's bit rates are known once it has been read, so the
    // encoders are opened and the header written with the first samples.
    void start() {
        addStreams();
        copyChapters();
        CodecContextHandle writtenContext = openEncoder(written);
        std::vector<CodecContextHandle> otherContexts;
        for (const NewAudio& audio : others) otherContexts.push_back(openEncoder(audio));
        file().check(avformat_write_header(&file().muxer(), nullptr), "writing the header of " + url().string());
        packet.reset(av_packet_alloc());
        if (!packet) throw std::bad_alloc();
        for (std::size_t index = 0; index < others.size(); ++index) {
            startEncoding(others[index], std::move(otherContexts[index]));
        }
        startEncoding(written, std::move(writtenContext));
    }

    void muxAudio(NewAudio& audio, AVPacket& encoded) {
        AVStream& stream = *file().muxer().streams[audio.outputIndex];
        encoded.pts = encoded.pts != AV_NOPTS_VALUE ? encoded.pts + audio.primingShift : encoded.pts;
        encoded.dts = encoded.dts != AV_NOPTS_VALUE ? encoded.dts + audio.primingShift : encoded.dts;
        av_packet_rescale_ts(&encoded, audio.encoder->context().time_base, stream.time_base);
        encoded.stream_index = audio.outputIndex;
        const std::int64_t time = encoded.dts != AV_NOPTS_VALUE ? encoded.dts : encoded.pts;
        if (&audio == &written) advanceOthers(time, stream.time_base);
        copyUntil(time, stream.time_base);
        file().check(av_interleaved_write_frame(&file().muxer(), &encoded), "writing " + url().string());
    }

    // Encodes the other new audio streams up to `limit` in `timeBase` (to
    // their ends for AV_NOPTS_VALUE), so that all of them keep pace with
    // the audio written.
    void advanceOthers(std::int64_t limit, AVRational timeBase) {
        for (NewAudio& audio : others) {
            const AVRational encoderBase = audio.encoder->context().time_base;
            while (!audio.ended && (limit == AV_NOPTS_VALUE ||
                                    av_compare_ts(audio.nextSampleTime, encoderBase, limit, timeBase) <= 0)) {
                if (!audio.reader(block)) {
                    audio.encoder->finish([&](AVPacket& encoded) { muxAudio(audio, encoded); });
                    audio.ended = true;
                    break;
                }
                views.assign(block.begin(), block.end());
                checkBlockShape(views, audio.channelCount());
                audio.encoder->write(views, 0, [&](AVPacket& encoded) { muxAudio(audio, encoded); });
                audio.nextSampleTime += static_cast<std::int64_t>(block.front().size());
            }
        }
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
            if (limit != AV_NOPTS_VALUE && time != AV_NOPTS_VALUE &&
                av_compare_ts(time, inputBase, limit, timeBase) > 0) {
                break;
            }
            av_packet_rescale_ts(&copied, inputBase, file().muxer().streams[index]->time_base);
            copied.stream_index = index;
            copied.pos = -1;
            pending = false;
            file().check(av_interleaved_write_frame(&file().muxer(), &copied), "writing " + url().string());
        }
    }

    void encode(std::span<const std::span<const float>> channels) override {
        if (!started()) start();
        written.encoder->write(channels, 0, [this](AVPacket& encoded) { muxAudio(written, encoded); });
    }

    // Encodes what is left and copies the rest of the source.
    void finish() override {
        if (!started()) start();
        written.encoder->finish([this](AVPacket& encoded) { muxAudio(written, encoded); });
        advanceOthers(AV_NOPTS_VALUE, AVRational{1, 1});
        copyUntil(AV_NOPTS_VALUE, AVRational{1, 1});
    }

    const AudioFileState& source;
    FormatContextHandle input;
    std::uint64_t sourceSize = 0;
    std::uint64_t audioBound = 0;
    // Per source stream, its copy's output stream; -1 where it is not copied.
    std::vector<int> outputIndex;
    // The source's audio streams besides the decoded one, by index.
    std::vector<int> otherAudio;
    NewAudio written;
    // Those of otherAudio that are given, in the order given.
    std::deque<NewAudio> others;
    // A block of another stream, as its reader delivered it.
    std::vector<std::vector<float>> block;
    std::vector<std::span<const float>> views;
    // The source packet read but not yet copied, when `pending`.
    PacketHandle packet;
    bool pending = false;
    bool sourceEnded = false;
};

}  // namespace

std::optional<MuxedWriterFactory> videoWriterFor(const std::filesystem::path& url, const AudioFileState& source) {
    return factoryOf<VideoWriter>(url, videoMuxerFor(url, source), source);
}

}  // namespace vesh::detail
