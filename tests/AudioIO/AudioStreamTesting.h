#pragma once

// For tests only: assembling streams from samples and looking at the layout
// they carry, which the public interface does not offer.

#include <cstdint>
#include <optional>
#include <vector>

#include "AudioIO/AudioStream.h"
#include "AudioIO/ChannelLayout.h"

namespace vesh {

namespace detail {

struct AudioStreamAccess {
    static AudioStream make(std::vector<AudioStream::Channel> channels, std::int64_t sampleRate,
                            std::optional<ChannelLayout> channelLayout);
    static std::optional<ChannelLayout> channelLayout(const AudioStream& stream);
};

}  // namespace detail

namespace testing {

// A stream of the given channels at `sampleRate`, without a channel layout.
AudioStream makeAudioStream(std::vector<AudioStream::Channel> channels, std::int64_t sampleRate);

}  // namespace testing

}  // namespace vesh
