#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vesh {

namespace detail {
struct AudioFileState;
}

// A stretch of a file that could not be decoded and was replaced by silence
// of its length, in seconds from the start of the decoded signal.
struct DamagedStretch {
    double start = 0.0;
    double end = 0.0;
    // Nothing after `start` could be read: the file ends in damage.
    bool untilEnd = false;
    friend bool operator==(const DamagedStretch&, const DamagedStretch&) = default;
};

// The descriptive tags of a recording that outputs carry over. Empty texts
// are tags the file does not have.
struct AudioMetadata {
    std::string title;
    std::string artist;
    std::string album;
    std::string date;
    std::string comment;
    std::string trackNumber;
    // Broadcast WAV: the recording's description and where it starts on its
    // timeline, in frames at the file's own rate (editors place it by this).
    std::string description;
    std::optional<std::int64_t> timeReference;
    friend bool operator==(const AudioMetadata&, const AudioMetadata&) = default;
};

// An input file opened for decoding. It knows its stored format (container,
// sample encoding, bit depth, rate, channels, channel layout), which a write
// that matches the source reproduces. The file is closed when the object is
// destroyed. Decoding starts at the current read position (the start of a
// newly opened file) and leaves it at the end.
class AudioFile {
public:
    // Opens the file; throws AudioError(readAudioFile) around the decoder's
    // error, and around an AudioLibraryError for a rate below
    // minimumSampleRate.
    explicit AudioFile(const std::filesystem::path& url);
    // The same for the audio stream numbered `streamIndex` among the file's
    // streams (AudioFileWriter::otherAudioStreams names them) in place of
    // the one the file's decoding would choose.
    AudioFile(const std::filesystem::path& url, int streamIndex);
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
    // as far as the file's size can hold it (a claim beyond that is cut to
    // what the bytes of uncompressed audio make, or for compressed audio
    // taken as none), or nothing where it announces none. An estimate:
    // decoding may deliver somewhat more or fewer frames. A stream that
    // ends well short of the length its container states is reported as
    // damaged from where it ends.
    std::optional<std::int64_t> announcedLength() const;
    // The stretches that reading so far found damaged and concealed, in order.
    const std::vector<DamagedStretch>& damagedStretches() const;
    const AudioMetadata& metadata() const;

    // Internal to AudioIO: the decoder and the stored format.
    detail::AudioFileState& state() const { return *state_; }

private:
    AudioFile(const std::filesystem::path& url, std::optional<int> streamIndex);

    std::unique_ptr<detail::AudioFileState> state_;
};

// Rates below this are refused as unsupported: no speech fits below it,
// and a damaged header claiming a few frames per second would turn a small
// file into hours of audio at the processing rate.
inline constexpr std::int64_t minimumSampleRate = 1000;

// The decoder reports oddities of damaged files on stderr by itself; programs
// that tell their user about failures in their own words turn that off once.
void silenceDecoderDiagnostics();

}  // namespace vesh
