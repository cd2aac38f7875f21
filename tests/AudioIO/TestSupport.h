#pragma once

#include <sndfile.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "AudioStreamTesting.h"

namespace vesh {
// Readable test failures.
inline void PrintTo(const AudioMetadata& m, std::ostream* out) {
    *out << "{title \"" << m.title << "\", artist \"" << m.artist << "\", album \"" << m.album << "\", date \""
         << m.date << "\", comment \"" << m.comment << "\", track \"" << m.trackNumber << "\", description \""
         << m.description << "\", time reference " << (m.timeReference ? std::to_string(*m.timeReference) : "none")
         << "}";
}
}  // namespace vesh

namespace vesh::audiotest {

// A fresh folder, removed with its contents at the end of the test.
class TemporaryFolder {
public:
    TemporaryFolder();
    ~TemporaryFolder();
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
    std::vector<std::string> entries() const;  // sorted names

private:
    std::filesystem::path path_;
};

// A file made by the ffmpeg command (arguments before the output name), once
// per build tree.
std::filesystem::path fixture(const std::string& name, const std::string& ffmpegArguments);

// Two different channels of ffmpeg's sine source (amplitude 1/8): 440 Hz, then 1 kHz.
std::string twoSines(int rate, const std::string& seconds);

// ffprobe's view of the first audio stream; frames are counted by decoding.
struct ProbedAudio {
    int channels = 0;
    std::int64_t sampleRate = 0;
    std::int64_t decodedFrames = 0;
    std::string channelLayout;  // "unknown" when none is declared
};
ProbedAudio probe(const std::filesystem::path& file);
// The first value ffprobe gives for `entry` ("stream=bit_rate",
// "format_tags=title") of the file's first audio stream; "" when none.
std::string probeValue(const std::filesystem::path& file, const std::string& entry);

SF_INFO sndfileInfo(const std::filesystem::path& file);
std::vector<float> sine(double frequency, double rate, std::size_t count, double amplitude = 0.5);
std::vector<char> readBytes(const std::filesystem::path& file);
void writeBytes(const std::filesystem::path& file, const std::vector<char>& bytes);
float largestDifference(const std::vector<float>& a, const std::vector<float>& b);

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

}  // namespace vesh::audiotest
