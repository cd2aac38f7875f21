#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "FFmpegHandles.h"
#include "OversizedChunks.h"
#include "StoredAudioFormat.h"

namespace vesh::detail {

class BlockDecoder;

// What an open AudioFile holds: the demuxer, the decoder of its chosen audio
// stream and the stored format of that stream.
struct AudioFileState {
    std::filesystem::path url;
    // The demuxer's own input where the file's oversized chunks are hidden
    // from it; it outlives the demuxer.
    std::unique_ptr<ChunkHidingInput> input;
    FormatContextHandle format;
    CodecContextHandle decoder;
    int streamIndex = -1;
    StoredAudioFormat storedFormat;
    BitRateStatistics bitRate;
    std::vector<DamagedStretch> damagedStretches;
    // The length a linear PCM WAV file's data chunk claims, in frames.
    std::optional<std::int64_t> statedWavFrames;
    // Reading block by block; made by the first read.
    std::unique_ptr<BlockDecoder> blockDecoder;
    ~AudioFileState();
};

// The bit rate a lossy output must reach to keep the quality of a source
// that has been read: a constant one as declared, a variable one at least
// on average.
struct SourceBitRate {
    std::int64_t bitsPerSecond = 0;
    bool constant = false;
};
SourceBitRate sourceBitRate(const AudioFileState& state);

}  // namespace vesh::detail
