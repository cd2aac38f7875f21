#pragma once

#include <filesystem>

#include "AudioIO/FFmpegHandles.h"
#include "AudioIO/StoredAudioFormat.h"

namespace vesh::detail {

// What an open AudioFile holds: the demuxer, the decoder of its chosen audio
// stream and the stored format of that stream.
struct AudioFileState {
    std::filesystem::path url;
    FormatContextHandle format;
    CodecContextHandle decoder;
    int streamIndex = -1;
    StoredAudioFormat storedFormat;
};

}  // namespace vesh::detail
