#pragma once

#include <cstdint>
#include <vector>

namespace vesh::detail {

// The channel layout a file declared: the speaker position of each channel,
// in channel order, as the decoder numbers positions (FFmpeg's AVChannel
// values). Internal to AudioIO; a file without a declared layout has none.
struct ChannelLayout {
    std::vector<std::int32_t> positions;

    friend bool operator==(const ChannelLayout&, const ChannelLayout&) = default;
};

}  // namespace vesh::detail
