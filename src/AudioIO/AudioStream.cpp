#include "AudioIO/AudioStream.h"

#include "AudioIO/ChannelLayout.h"

namespace vesh {

namespace {

std::unique_ptr<detail::ChannelLayout> copyOf(const std::unique_ptr<detail::ChannelLayout>& layout) {
    return layout ? std::make_unique<detail::ChannelLayout>(*layout) : nullptr;
}

}  // namespace

AudioStream::AudioStream(std::vector<Channel> channels, std::int64_t sampleRate,
                         std::optional<detail::ChannelLayout> channelLayout)
    : channels_(std::move(channels)), sampleRate_(sampleRate),
      channelLayout_(channelLayout ? std::make_unique<detail::ChannelLayout>(std::move(*channelLayout)) : nullptr) {}

AudioStream::AudioStream(const AudioStream& other)
    : channels_(other.channels_), sampleRate_(other.sampleRate_), channelLayout_(copyOf(other.channelLayout_)) {}

AudioStream::AudioStream(AudioStream&&) noexcept = default;

AudioStream& AudioStream::operator=(const AudioStream& other) {
    if (this != &other) {
        channels_ = other.channels_;
        sampleRate_ = other.sampleRate_;
        channelLayout_ = copyOf(other.channelLayout_);
    }
    return *this;
}

AudioStream& AudioStream::operator=(AudioStream&&) noexcept = default;

AudioStream::~AudioStream() = default;

std::int64_t AudioStream::length() const {
    return channels_.empty() ? 0 : static_cast<std::int64_t>(channels_.front().samples.size());
}

AudioStream AudioStream::map(const std::function<Channel(const Channel&)>& transform) const {
    return enumeratedMap([&transform](std::int64_t, const Channel& channel) { return transform(channel); });
}

AudioStream AudioStream::enumeratedMap(const std::function<Channel(std::int64_t, const Channel&)>& transform) const {
    try {
        std::vector<Channel> result;
        result.reserve(channels_.size());
        for (std::size_t index = 0; index < channels_.size(); ++index) {
            result.push_back(transform(static_cast<std::int64_t>(index), channels_[index]));
        }
        return AudioStream(std::move(result), sampleRate_,
                           channelLayout_ ? std::optional(*channelLayout_) : std::nullopt);
    } catch (...) {
        throw AudioError::wrappingCurrent(AudioError::Operation::mapAudioStream);
    }
}

void AudioStream::forEachMutableChannel(const std::function<void(Channel&)>& mutate) {
    try {
        for (Channel& channel : channels_) mutate(channel);
    } catch (...) {
        throw AudioError::wrappingCurrent(AudioError::Operation::mutateAudioStreamInPlace);
    }
}

}  // namespace vesh
