#include "TestSupport.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <numbers>

namespace vesh::audiotest {

TemporaryFolder::TemporaryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vesh-audioio-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary folder");
    path_ = pattern;
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> TemporaryFolder::entries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

std::filesystem::path fixture(const std::string& name, const std::string& ffmpegArguments) {
    // Kept under a name that changes with the arguments.
    const std::filesystem::path folder = VESH_AUDIOIO_FIXTURE_DIR;
    const auto file = folder / (std::to_string(std::hash<std::string>{}(ffmpegArguments) % 100000) + "-" + name);
    if (std::filesystem::exists(file)) return file;
    std::filesystem::create_directories(folder);
    // Renamed into place, so that tests running side by side never see half a file.
    const auto partial = folder / ("partial-" + std::to_string(::getpid()) + "-" + name);
    const std::string command =
        "ffmpeg -nostdin -hide_banner -loglevel error -y " + ffmpegArguments + " '" + partial.string() + "'";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("cannot run: " + command);
    std::filesystem::rename(partial, file);
    return file;
}

std::string twoSines(int rate, const std::string& seconds) {
    const std::string source = ":sample_rate=" + std::to_string(rate) + ":duration=" + seconds;
    return "-f lavfi -i sine=frequency=440" + source + " -f lavfi -i sine=frequency=1000" + source +
           " -filter_complex amerge=inputs=2";
}

ProbedAudio probe(const std::filesystem::path& file) {
    const std::string command =
        "ffprobe -v error -select_streams a:0 -show_entries "
        "stream=channels,sample_rate,channel_layout:frame=nb_samples -of flat '" +
        file.string() + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    ProbedAudio result;
    char line[512];
    while (pipe && std::fgets(line, sizeof line, pipe)) {
        const std::string text = line;
        const auto value = text.substr(text.find('=') + 1);
        const auto unquoted = value.substr(value.find('"') + 1, value.rfind('"') - value.find('"') - 1);
        if (text.find(".nb_samples=") != std::string::npos) result.decodedFrames += std::stoll(value);
        if (text.find(".channels=") != std::string::npos) result.channels = std::stoi(value);
        if (text.find(".sample_rate=") != std::string::npos) result.sampleRate = std::stoll(unquoted);
        if (text.find(".channel_layout=") != std::string::npos) result.channelLayout = unquoted;
    }
    if (pipe) ::pclose(pipe);
    return result;
}

std::string probeValue(const std::filesystem::path& file, const std::string& entry) {
    const std::string command = "ffprobe -v error -select_streams a:0 -show_entries " + entry +
                                " -of default=noprint_wrappers=1:nokey=1 '" + file.string() + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    char line[512] = {};
    const bool read = pipe && std::fgets(line, sizeof line, pipe);
    if (pipe) ::pclose(pipe);
    std::string value = read ? line : "";
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
    return value;
}

SF_INFO sndfileInfo(const std::filesystem::path& file) {
    SF_INFO info{};
    if (SNDFILE* handle = sf_open(file.c_str(), SFM_READ, &info)) sf_close(handle);
    return info;
}

std::vector<float> sine(double frequency, double rate, std::size_t count, double amplitude) {
    std::vector<float> samples(count);
    for (std::size_t index = 0; index < count; ++index) {
        samples[index] =
            static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * frequency * double(index) / rate));
    }
    return samples;
}

std::vector<char> readBytes(const std::filesystem::path& file) {
    std::ifstream input(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(input), std::istreambuf_iterator<char>()};
}

void writeBytes(const std::filesystem::path& file, const std::vector<char>& bytes) {
    std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

float largestDifference(const std::vector<float>& a, const std::vector<float>& b) {
    float largest = a.size() == b.size() ? 0.0f : INFINITY;
    for (std::size_t index = 0; index < std::min(a.size(), b.size()); ++index) {
        largest = std::max(largest, std::abs(a[index] - b[index]));
    }
    return largest;
}

AudioError expectAudioError(const std::function<void()>& action) {
    try {
        action();
    } catch (const AudioError& error) {
        return error;
    }
    ADD_FAILURE() << "expected an AudioError";
    return AudioError(nullptr, AudioError::Operation::readAudioFile);
}

}  // namespace vesh::audiotest
