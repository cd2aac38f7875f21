#include "AudioStreamTesting.h"

namespace vesh {

AudioStream detail::AudioStreamAccess::make(std::vector<AudioStream::Channel> channels, std::int64_t sampleRate,
                                            std::optional<ChannelLayout> channelLayout) {
    return AudioStream(std::move(channels), sampleRate, std::move(channelLayout));
}

std::optional<detail::ChannelLayout> detail::AudioStreamAccess::channelLayout(const AudioStream& stream) {
    return stream.channelLayout_ ? std::optional(*stream.channelLayout_) : std::nullopt;
}

AudioStream testing::makeAudioStream(std::vector<AudioStream::Channel> channels, std::int64_t sampleRate) {
    return detail::AudioStreamAccess::make(std::move(channels), sampleRate, std::nullopt);
}

}  // namespace vesh
