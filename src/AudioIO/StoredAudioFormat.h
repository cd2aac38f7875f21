#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "AudioIO/AudioFile.h"
#include "AudioIO/ChannelLayout.h"

namespace vesh::detail {

// How a source file stores its audio, captured when it is opened, so that a
// write can reproduce it.
struct StoredAudioFormat {
    std::string container;  // demuxer name, e.g. "wav", "aiff", "flac", "ogg"
    std::string codec;      // decoder's codec name, e.g. "pcm_s24le", "flac", "aac"
    int bitDepth = 0;       // bits per stored sample; 0 where the codec has none
    bool isFloat = false;   // samples stored as floating point
    std::int64_t sampleRate = 0;
    int channelCount = 0;
    std::optional<ChannelLayout> channelLayout;
    // Bits per second the container or codec declares; 0 where none.
    std::int64_t declaredBitRate = 0;
    AudioMetadata metadata;
};

// What reading a compressed stream found out about its bit rate.
struct BitRateStatistics {
    std::int64_t packetBytes = 0;
    std::int64_t packetCount = 0;
    std::int64_t smallestPacket = 0;
    std::int64_t largestPacket = 0;
    std::int64_t decodedFrames = 0;
    bool complete = false;  // every packet was read
};

}  // namespace vesh::detail
