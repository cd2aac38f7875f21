#pragma once

#include <filesystem>
#include <optional>

#include "FFmpegMuxing.h"

namespace vesh::detail {

// A new AAC file at `url`, encoded by FFmpeg's own AAC encoder at the
// source's rate, channels, layout and (chosen at the first write, when the
// source has been read, so the source outlives the writer) at least its bit
// rate, with its tags where the container holds them. The encoder's priming
// is recorded in an MPEG-4 file, which a decoder then trims; ADTS cannot
// record it, so its length of the first samples written is left out, and a
// decoder's output again starts with the first sample written. The muxer is
// "ipod" for an .m4a file and "mp4" for an .mp4 one holding no video, from an
// MPEG-4 source, or "adts" for a raw ADTS source; nothing where the source's
// audio is no AAC, its container is another, or FFmpeg's AAC encoder has no
// layout for its channels.
std::optional<MuxedWriterFactory> aacWriterFor(const std::filesystem::path& url, const AudioFileState& source);

}  // namespace vesh::detail
