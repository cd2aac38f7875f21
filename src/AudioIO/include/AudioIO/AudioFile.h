#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

namespace vesh {

namespace detail {
struct AudioFileState;
}

// An input file opened for decoding. It knows its stored format (container,
// sample encoding, bit depth, rate, channels, channel layout), which a write
// that matches the source reproduces. The file is closed when the object is
// destroyed. Decoding starts at the current read position (the start of a
// newly opened file) and leaves it at the end.
class AudioFile {
public:
    // Opens the file; throws AudioError(readAudioFile) around the decoder's error.
    explicit AudioFile(const std::filesystem::path& url);
    ~AudioFile();
    AudioFile(const AudioFile&) = delete;
    AudioFile& operator=(const AudioFile&) = delete;

    // The rate of the file as stored, in frames per second.
    std::int64_t sampleRate() const;

    const std::filesystem::path& url() const;
    // The number of channels decoding delivers.
    std::int64_t channelCount() const;

    // Decodes onward from the read position: replaces `block` with one list
    // of samples per channel, at least one sample each, and returns true; at
    // the end of the stream returns false. Throws AudioError(readAudioFile).
    bool read(std::vector<std::vector<float>>& block);
    // How far reading has come through the file's bytes, from 0 to 1.
    double fractionRead() const;
    // The length in frames at the stored rate that the container announces,
    // or nothing where it announces none. An estimate: decoding may deliver
    // somewhat more or fewer frames.
    std::optional<std::int64_t> announcedLength() const;

    // Internal to AudioIO: the decoder and the stored format.
    detail::AudioFileState& state() const { return *state_; }

private:
    std::unique_ptr<detail::AudioFileState> state_;
};

// The decoder reports oddities of damaged files on stderr by itself; programs
// that tell their user about failures in their own words turn that off once.
void silenceDecoderDiagnostics();

}  // namespace vesh
