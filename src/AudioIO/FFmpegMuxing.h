#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "AudioIO/AudioFileWriter.h"
#include "FFmpegHandles.h"
#include "ReplacementFile.h"

namespace vesh::detail {

struct AudioFileState;

// An FFmpeg muxer that writes through a custom I/O context into the
// temporary file of a ReplacementFile, so that its output appears at `url`
// only on a commit and a muxed file destroyed before that leaves nothing.
// The I/O context refers to the object: it stays where it was made.
class MuxedFile {
public:
    // The muxer named `muxerName` ("mp4", "matroska", ...) for `url`.
    MuxedFile(const std::filesystem::path& url, const char* muxerName);
    ~MuxedFile();
    MuxedFile(const MuxedFile&) = delete;
    MuxedFile& operator=(const MuxedFile&) = delete;

    AVFormatContext& muxer() { return *muxer_; }
    const std::filesystem::path& url() const { return url_; }

    // Throws for a failure: the file system's error when writing the file
    // failed (a full disk), else FFmpeg's for a negative `result`.
    void check(int result, const std::string& what) const;
    // Writes the trailer and flushes the I/O context.
    void complete();
    bool commitWithoutReplacing() { return file_.commitWithoutReplacing(); }
    void commitReplacing() { file_.commitReplacing(); }

private:
    struct IOContextRelease {
        void operator()(AVIOContext* context) const;
    };
    struct MuxerRelease {
        void operator()(AVFormatContext* context) const { avformat_free_context(context); }
    };

    // The I/O context's callbacks.
    friend struct MuxedFileCallbacks;

    std::filesystem::path url_;
    // Destroyed last: the muxer and its I/O context write into it.
    ReplacementFile file_;
    std::unique_ptr<AVIOContext, IOContextRelease> io_;
    std::unique_ptr<AVFormatContext, MuxerRelease> muxer_;
    int writeError_ = 0;
    std::uint64_t bytesSinceWriteback_ = 0;
};

// A file written through an FFmpeg muxer in a source's own format: AAC
// audio (AacFileWriting.h) or a copy of a file with video with new audio
// (VideoFileWriting.h). Like the libsndfile encoder it is written under a
// temporary name beside its location and appears only on a commit. After a
// failure it is not usable any more, and every later step refuses.
class MuxedWriter {
public:
    virtual ~MuxedWriter();
    MuxedWriter(const MuxedWriter&) = delete;
    MuxedWriter& operator=(const MuxedWriter&) = delete;

    // One view per channel, all of one length; non-finite samples are
    // encoded as 0. A block of another shape is refused and leaves the file
    // as it was.
    void write(std::span<const std::span<const float>> channels);
    // Completes the file (once), then moves it to its location unless an
    // item is there: false then.
    bool commitWithoutReplacing();
    void commitReplacing();
    // An upper bound of the file's size in bytes; 0 when the length is unknown.
    virtual std::uint64_t estimatedSize() const = 0;

    // The source's audio streams besides the decoded one that the file
    // holds, by index, in order; none where it holds only the audio written.
    virtual std::vector<int> otherAudioStreams() const { return {}; }
    // Replaces one of otherAudioStreams by the samples `reader` delivers,
    // encoded like `stream`, that stream opened and read to its end (it
    // outlives the writer); before the first write.
    virtual void addAudioStream(const AudioFileState& stream, AudioBlockReader reader);

protected:
    // The muxer named `muxerName` for `url`, written `channelCount` channels.
    MuxedWriter(const std::filesystem::path& url, const char* muxerName, std::size_t channelCount);

    MuxedFile& file() { return file_; }
    const std::filesystem::path& url() const { return file_.url(); }
    std::size_t channelCount() const { return channelCount_; }

    // Runs `step`; a failure marks the file unusable.
    template <class Step>
    auto guarded(Step step) {
        if (failed_) throw std::logic_error("an earlier failure left " + url().string() + " incomplete");
        try {
            return step();
        } catch (...) {
            failed_ = true;
            throw;
        }
    }

private:
    // Encodes a block of the file's shape.
    virtual void encode(std::span<const std::span<const float>> channels) = 0;
    // Encodes what is left before the container is completed.
    virtual void finish() = 0;
    void complete();

    // Outlives the writers' own encoders and inputs, which feed it.
    MuxedFile file_;
    std::size_t channelCount_;
    bool completed_ = false;
    bool failed_ = false;
};

// Makes a writer once its location has been checked; `expectedFrames`
// (nothing: unknown) is used for the size estimate only.
using MuxedWriterFactory = std::function<std::unique_ptr<MuxedWriter>(std::optional<std::int64_t> expectedFrames)>;

// The factory of a `Writer`, made from the location, the muxer's name, the
// source and the expected frames, where a muxer was found for it.
template <class Writer>
std::optional<MuxedWriterFactory> factoryOf(const std::filesystem::path& url, std::optional<const char*> muxer,
                                            const AudioFileState& source) {
    if (!muxer) return std::nullopt;
    return [url, name = *muxer, &source](std::optional<std::int64_t> expectedFrames) -> std::unique_ptr<MuxedWriter> {
        return std::make_unique<Writer>(url, name, source, expectedFrames);
    };
}

// Refuses a block that does not hold `channelCount` channels of one length.
void checkBlockShape(std::span<const std::span<const float>> channels, std::size_t channelCount);

// Feeds planar float samples to an opened audio encoder in frames of its
// frame size (any length for an encoder without one), converted to its
// sample format, and hands each packet it gives, timed in the encoder's
// time base, to a sink, which may take the packet's contents.
class FrameEncoder {
public:
    using PacketSink = std::function<void(AVPacket&)>;

    // `encoder` is open; `firstTimestamp` is the first sample's time in
    // its time base; `what` names the output in errors.
    FrameEncoder(CodecContextHandle encoder, std::int64_t firstTimestamp, std::string what);
    ~FrameEncoder();
    FrameEncoder(const FrameEncoder&) = delete;
    FrameEncoder& operator=(const FrameEncoder&) = delete;

    const AVCodecContext& context() const { return *encoder_; }

    // One view per channel of the encoder, all of one length, from `offset`
    // on; non-finite samples are encoded as 0.
    void write(std::span<const std::span<const float>> channels, std::size_t offset, const PacketSink& sink);
    // Encodes what is left and drains the encoder.
    void finish(const PacketSink& sink);

private:
    void newFrame();
    void sendFrame(const PacketSink& sink);
    void encode(const AVFrame* input, const PacketSink& sink);

    CodecContextHandle encoder_;
    std::string what_;
    std::size_t frameSize_;
    std::size_t channelCount_;
    // Samples collect in planar float; the encoder's format differs where
    // a converter is made.
    FrameHandle frame_;
    FrameHandle converted_;
    ResamplerHandle converter_;
    PacketHandle packet_;
    std::size_t filled_ = 0;
    std::int64_t nextTimestamp_;
};

// Sets an encoder's channel layout to `declared` where it describes
// `channelCount` channels, else to the usual one for the count.
void setChannelLayout(AVCodecContext& encoder, const AVChannelLayout& declared, int channelCount);

// Whether the file holds a video stream (cover art aside), which an audio
// file in its place would lose.
bool holdsVideo(const AVFormatContext& format);

}  // namespace vesh::detail
