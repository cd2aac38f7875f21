#pragma once

// Shared by the AudioIO and Engine tests: folders and small file systems,
// reference files made and inspected with ffmpeg and libsndfile, and the
// stream internals that the public interface does not offer.

#include <sndfile.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "AudioIO/AudioError.h"
#include "AudioIO/AudioFile.h"
#include "AudioIO/AudioFileWriter.h"
#include "AudioIO/AudioStream.h"
#include "AudioIO/ChannelLayout.h"
#include "Signals.h"

namespace vesh {

namespace detail {
struct AudioStreamAccess {
    static AudioStream make(std::vector<AudioStream::Channel> channels, std::int64_t sampleRate,
                            std::optional<ChannelLayout> channelLayout);
    static std::optional<ChannelLayout> channelLayout(const AudioStream& stream);
};
}  // namespace detail

// Readable test failures.
inline void PrintTo(const AudioMetadata& m, std::ostream* out) {
    *out << "{\"" << m.title << "\", \"" << m.artist << "\", \"" << m.album << "\", \"" << m.date << "\", \""
         << m.comment << "\", \"" << m.trackNumber << "\", \"" << m.description << "\", "
         << (m.timeReference ? std::to_string(*m.timeReference) : "none") << "}";
}

namespace audiotest {

using test::entries;
using test::largestDifference;
using test::sine;

AudioStream makeStream(std::vector<AudioStream::Channel> channels, std::int64_t sampleRate,
                       std::optional<detail::ChannelLayout> layout = std::nullopt);
std::optional<detail::ChannelLayout> layoutOf(const AudioStream& stream);

// A fresh folder, removed with its contents at the end of the test.
class TemporaryFolder {
public:
    TemporaryFolder();
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// A tmpfs of `size` ("64k") mounted at `where`, where the process may mount one.
class SmallDisk {
public:
    SmallDisk(std::filesystem::path where, const std::string& size);
    ~SmallDisk();
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;
    bool mounted() const { return mounted_; }
    bool makeReadOnly() const;
    std::filesystem::path operator/(const std::string& name) const { return where_ / name; }
    const std::filesystem::path& path() const { return where_; }

private:
    std::filesystem::path where_;
    std::string size_;
    bool mounted_;
};

// A file made by the ffmpeg command (arguments before the output name), once
// per build tree.
std::filesystem::path fixture(const std::string& name, const std::string& ffmpegArguments);

// Two different channels of ffmpeg's sine source (amplitude 1/8): 440 Hz, then 1 kHz.
std::string twoSines(int rate, const std::string& seconds);

// Two channels of ffmpeg's pink noise (3 s), which no encoder makes small.
std::string pinkNoise(int rate);

// A parameterised case's name as a test name: "talk.mp4" becomes "talk_mp4".
std::string caseName(std::string name);

// Every block the file's stream gives, joined.
std::vector<std::vector<float>> decodeAll(AudioFile& file);
// Writes `signal` in blocks of `block` frames, the last one shorter.
void writeInBlocks(AudioFileWriter& writer, const std::vector<std::vector<float>>& signal, std::size_t block);

// The values ffprobe gives for `entry` ("stream=bit_rate", "frame=nb_samples")
// of the file's first audio stream, one per line.
std::vector<std::string> probe(const std::filesystem::path& file, const std::string& entry);
// ffprobe's non-empty lines for `arguments` ("-select_streams v:0
// -show_entries packet=pts_time") on the file, each entry's values as CSV.
std::vector<std::string> ffprobe(const std::filesystem::path& file, const std::string& arguments);

// How far `copy` is from `reference`, in dB of the reference's power over
// that of the difference, each reference sample's counterpart `offset`
// samples on in the copy (silence outside it).
double signalToNoiseDecibels(const std::vector<float>& reference, const std::vector<float>& copy, long offset = 0);

SF_INFO sndfileInfo(const std::filesystem::path& file);
// Planar samples written and read by libsndfile; `format` is its major type
// and subtype, by default 32-bit float WAV, which keeps every value.
void writeSoundFile(const std::filesystem::path& file, const std::vector<std::vector<float>>& channels, int rate,
                    int format = SF_FORMAT_WAV | SF_FORMAT_FLOAT);
std::vector<std::vector<float>> readChannels(const std::filesystem::path& file);

// Decoded contents and stored format of an audio file.
struct SoundFile {
    int sampleRate = 0;
    int format = 0;
    std::vector<std::vector<float>> channels;
};
SoundFile readSoundFile(const std::filesystem::path& file);

// Makes a FLAC file's STREAMINFO block claim `frames` frames.
void claimFrames(std::vector<char>& flac, std::uint64_t frames);

std::vector<char> readBytes(const std::filesystem::path& file);
void writeBytes(const std::filesystem::path& file, const std::vector<char>& bytes);

template <class E>
std::optional<E> baseAs(const AudioError& error) {
    try {
        if (error.base()) std::rethrow_exception(error.base());
    } catch (const E& inner) {
        return inner;
    } catch (...) {
    }
    return std::nullopt;
}

// The AudioError that `action` throws (a test failure when it throws none).
AudioError expectAudioError(const std::function<void()>& action);

}  // namespace audiotest
}  // namespace vesh
