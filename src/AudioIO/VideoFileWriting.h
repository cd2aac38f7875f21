#pragma once

#include <filesystem>
#include <optional>

#include "FFmpegMuxing.h"

namespace vesh::detail {

// A copy at `url` of `source`, a file with video, in which the audio stream
// that `source` decodes is replaced by the samples written, encoded with the
// source's codec (AAC where FFmpeg has no encoder for it) at the source's
// rate, layout and at least its bit rate, timed from the source stream's
// start, with its tags and disposition; each other audio stream given with
// addAudioStream is replaced in the same way by what its reader delivers.
// Every other stream is copied untouched where the muxer takes it, packet by
// packet, interleaved by time with the new audio, so that only a few seconds
// of packets are held at any time: video, subtitles, attachments, data, and
// audio streams not given. Chapters and the container's tags are kept. Its
// size bound is the source's size and a bound of the new audio. The source
// must outlive the writer: its bit rate is taken at the first write, when it
// has been read, and its file is read again for the streams copied.
// The muxer is the source's own container ("mp4", "mov", "matroska" or
// "webm", as the name's extension says, from a demuxer that reads it), where
// for each of its audio streams an encoder for its codec (else FFmpeg's AAC
// encoder) opens for its rate and layout and the muxer takes what it makes;
// nothing for a source without video or any other.
std::optional<MuxedWriterFactory> videoWriterFor(const std::filesystem::path& url, const AudioFileState& source);

}  // namespace vesh::detail
