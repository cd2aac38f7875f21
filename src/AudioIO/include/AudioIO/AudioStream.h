#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "AudioIO/AudioError.h"
#include "AudioIO/AudioFile.h"
#include "AudioIO/CommonAudioFileFormat.h"
#include "AudioIO/Resampling.h"

namespace vesh {

namespace detail {
struct ChannelLayout;
struct AudioStreamAccess;
}  // namespace detail

// Decoded audio: planar 32-bit float channels at one sample rate, with the
// channel layout of the file it was read from (when it declared one), which
// rides along through maps and resampling and is written back.
// Streams are made only by reading, resampling and mapping.
class AudioStream {
public:
    struct Channel {
        Channel(std::int64_t sampleRate, std::vector<float> samples)
            : sampleRate(sampleRate), samples(std::move(samples)) {}

        std::int64_t sampleRate;
        std::vector<float> samples;

        // Same rate, same length, equal sample by sample.
        friend bool operator==(const Channel&, const Channel&) = default;
    };

    // Decodes the whole file from its current read position.
    // Throws AudioError(readAudioFile).
    explicit AudioStream(const AudioFile& file);
    // Opens and decodes the file at `url`; the file is closed before returning.
    // Throws AudioError(readAudioFile) around the opening's or decoding's AudioError.
    explicit AudioStream(const std::filesystem::path& url);

    AudioStream(const AudioStream&);
    AudioStream(AudioStream&&) noexcept;
    AudioStream& operator=(const AudioStream&);
    AudioStream& operator=(AudioStream&&) noexcept;
    ~AudioStream();

    const std::vector<Channel>& channels() const { return channels_; }
    // Callers that replace or change channels keep all lengths equal.
    std::vector<Channel>& channels() { return channels_; }
    std::int64_t sampleRate() const { return sampleRate_; }
    // Samples in the first channel; 0 without channels.
    std::int64_t length() const;

    // A new stream from the closure's result for every channel, with this
    // stream's rate and layout. A throwing closure ends the map with
    // AudioError(mapAudioStream) whose base is the closure's exception.
    AudioStream map(const std::function<Channel(const Channel&)>& transform) const;
    AudioStream enumeratedMap(const std::function<Channel(std::int64_t, const Channel&)>& transform) const;
    // Changes the channels in place; a throwing closure ends it with
    // AudioError(mutateAudioStreamInPlace), earlier channels keeping their changes.
    void forEachMutableChannel(const std::function<void(Channel&)>& mutate);

    // Each channel converted from its own rate to `targetRate`; the output has
    // floor(N × target ÷ rate) samples, aligned in time with the input.
    // Throws AudioError(resampleAudioStream).
    AudioStream resampled(std::int64_t targetRate, SampleRateConverterAlgorithm algorithm, AudioQuality quality) const;

    // Writes the stream in one of the common formats to `url`, exactly there.
    // The file appears only when complete; a file it replaces is untouched on failure.
    // Throws AudioError(writeAudioFile).
    void write(const std::filesystem::path& url, CommonAudioFileFormat fileFormat) const;
    // Writes in the stored format of `source`; when that cannot be written
    // (a format the encoder does not write, or a rate or channel count other
    // than the source's), writes `fallbackFileFormat` under the fallback's
    // extension instead. Throws AudioError(writeAudioFile) around
    // AudioError(writeAudioFile) around the fallback's error (without a
    // fallback: around the first attempt's error). Returns where the file was
    // written.
    std::filesystem::path write(const std::filesystem::path& url, const AudioFile& source,
                                std::optional<CommonAudioFileFormat> fallbackFileFormat) const;

private:
    AudioStream(std::vector<Channel> channels, std::int64_t sampleRate,
                std::optional<detail::ChannelLayout> channelLayout);
    friend struct detail::AudioStreamAccess;

    std::vector<Channel> channels_;
    std::int64_t sampleRate_ = 0;
    std::unique_ptr<detail::ChannelLayout> channelLayout_;
};

}  // namespace vesh
