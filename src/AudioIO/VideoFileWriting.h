#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "AudioIO/AudioFileWriter.h"

namespace vesh::detail {

struct AudioFileState;

// The muxer that writes a copy of `source`, a file with video, at `url`
// with new audio: the source's own container ("mp4", "mov", "matroska" or
// "webm", as the name's extension says, from a demuxer that reads it), where
// for each of its audio streams an encoder for its codec (else FFmpeg's AAC
// encoder) opens for its rate and layout and the muxer takes what it makes.
// Nothing for a source without video or any other.
std::optional<const char*> videoMuxerFor(const std::filesystem::path& url, const AudioFileState& source);

// A copy of a file with video in which the audio stream that `source`
// decodes is replaced by the samples written, encoded with the source's
// codec (AAC where FFmpeg has no encoder for it) at the source's rate,
// layout and at least its bit rate, timed from the source stream's start,
// with its tags and disposition; each other audio stream given with
// addAudioStream is replaced in the same way by what its reader delivers.
// Every other stream is copied untouched where the muxer takes it, packet
// by packet, interleaved by time with the new audio, so that only a few
// seconds of packets are held at any time: video, subtitles, attachments,
// data, and audio streams not given. Chapters and the container's tags are
// kept. Like the other encoders it is written under a temporary name beside
// `url` and appears only on a commit.
class VideoRemuxer {
public:
    // `muxer` is what videoMuxerFor gave; `expectedFrames` (nothing:
    // unknown) is used for the size estimate only. The source must outlive
    // the remuxer: its bit rate is taken at the first write, when it has
    // been read, and its file is read again for the streams copied.
    VideoRemuxer(const std::filesystem::path& url, const char* muxer, const AudioFileState& source,
                 std::optional<std::int64_t> expectedFrames);
    ~VideoRemuxer();
    VideoRemuxer(const VideoRemuxer&) = delete;
    VideoRemuxer& operator=(const VideoRemuxer&) = delete;

    // The source's audio streams besides the decoded one that the copy
    // holds, by index, in order.
    std::vector<int> otherAudioStreams() const;
    // Replaces one of otherAudioStreams by the samples `reader` delivers,
    // encoded like `stream`, that stream opened and read to its end (it
    // outlives the remuxer); before the first write.
    void addAudioStream(const AudioFileState& stream, AudioBlockReader reader);

    // One view per channel, all of one length; non-finite samples are encoded as 0.
    void write(std::span<const std::span<const float>> channels);
    // Flushes the encoder, copies the rest of the source's streams and
    // completes the container (once), then moves the file to its location
    // unless an item is there: false then.
    bool commitWithoutReplacing();
    void commitReplacing();
    // An upper bound of the file's size in bytes: the source's size and a
    // bound of the new audio; 0 when the length is unknown.
    std::uint64_t estimatedSize() const;

private:
    struct Implementation;
    std::unique_ptr<Implementation> implementation_;
};

}  // namespace vesh::detail
