#include "TestSupport.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace vesh {

namespace {

// Every line the shell command prints, without its line break.
std::vector<std::string> outputLines(const std::string& command) {
    FILE* pipe = ::popen(command.c_str(), "r");
    std::vector<std::string> lines;
    char line[512];
    while (pipe && std::fgets(line, sizeof line, pipe)) lines.emplace_back(line, std::strcspn(line, "\r\n"));
    if (pipe) ::pclose(pipe);
    return lines;
}

}  // namespace

AudioStream detail::AudioStreamAccess::make(std::vector<AudioStream::Channel> channels, std::int64_t sampleRate,
                                            std::optional<ChannelLayout> channelLayout) {
    return AudioStream(std::move(channels), sampleRate, std::move(channelLayout));
}

std::optional<detail::ChannelLayout> detail::AudioStreamAccess::channelLayout(const AudioStream& stream) {
    return stream.channelLayout_ ? std::optional(*stream.channelLayout_) : std::nullopt;
}

namespace audiotest {

AudioStream makeStream(std::vector<AudioStream::Channel> channels, std::int64_t sampleRate,
                       std::optional<detail::ChannelLayout> layout) {
    return detail::AudioStreamAccess::make(std::move(channels), sampleRate, std::move(layout));
}

std::optional<detail::ChannelLayout> layoutOf(const AudioStream& stream) {
    return detail::AudioStreamAccess::channelLayout(stream);
}

TemporaryFolder::TemporaryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vesh-audioio-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary folder");
    path_ = pattern;
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

SmallDisk::SmallDisk(std::filesystem::path where, const std::string& size)
    : where_(std::move(where)), size_("size=" + size) {
    std::filesystem::create_directory(where_);
    mounted_ = ::mount("tmpfs", where_.c_str(), "tmpfs", 0, size_.c_str()) == 0;
}

SmallDisk::~SmallDisk() {
    if (mounted_) ::umount2(where_.c_str(), MNT_DETACH);
}

bool SmallDisk::makeReadOnly() const {
    return ::mount("tmpfs", where_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, size_.c_str()) == 0;
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

std::string pinkNoise(int rate) {
    const std::string source =
        "-f lavfi -i anoisesrc=color=pink:amplitude=0.3:duration=3:sample_rate=" + std::to_string(rate);
    return source + ":seed=1 " + source + ":seed=2 -filter_complex amerge=inputs=2";
}

std::string caseName(std::string name) {
    std::replace(name.begin(), name.end(), '.', '_');
    return name;
}

std::vector<std::vector<float>> decodeAll(AudioFile& file) {
    std::vector<std::vector<float>> samples;
    for (std::vector<std::vector<float>> block; file.read(block);) {
        samples.resize(block.size());
        for (std::size_t channel = 0; channel < block.size(); ++channel) {
            samples[channel].insert(samples[channel].end(), block[channel].begin(), block[channel].end());
        }
    }
    return samples;
}

void writeInBlocks(AudioFileWriter& writer, const std::vector<std::vector<float>>& signal, std::size_t block) {
    for (std::size_t start = 0; start < signal.front().size(); start += block) {
        std::vector<std::span<const float>> views;
        for (const auto& channel : signal) {
            views.emplace_back(channel.data() + start, std::min(block, channel.size() - start));
        }
        writer.write(views);
    }
}

std::vector<std::string> probe(const std::filesystem::path& file, const std::string& entry) {
    return outputLines("ffprobe -v error -select_streams a:0 -show_entries " + entry +
                       " -of default=noprint_wrappers=1:nokey=1 '" + file.string() + "'");
}

std::vector<std::string> ffprobe(const std::filesystem::path& file, const std::string& arguments) {
    std::vector<std::string> lines =
        outputLines("ffprobe -v error " + arguments + " -of csv=p=0 '" + file.string() + "'");
    std::erase(lines, std::string());
    return lines;
}

double signalToNoiseDecibels(const std::vector<float>& reference, const std::vector<float>& copy, long offset) {
    double signal = 0, noise = 0;
    for (std::size_t index = 0; index < reference.size(); ++index) {
        const long at = long(index) + offset;
        const double other = at >= 0 && at < long(copy.size()) ? copy[std::size_t(at)] : 0.0;
        signal += double(reference[index]) * reference[index];
        noise += (reference[index] - other) * (reference[index] - other);
    }
    return 10 * std::log10(signal / noise);
}

SF_INFO sndfileInfo(const std::filesystem::path& file) {
    SF_INFO info{};
    if (SNDFILE* handle = sf_open(file.c_str(), SFM_READ, &info)) sf_close(handle);
    return info;
}

void writeSoundFile(const std::filesystem::path& file, const std::vector<std::vector<float>>& channels, int rate,
                    int format) {
    SF_INFO info{0, rate, static_cast<int>(channels.size()), format, 0, 0};
    SNDFILE* handle = sf_open(file.c_str(), SFM_WRITE, &info);
    if (!handle) throw std::runtime_error("cannot write " + file.string());
    std::vector<float> interleaved;
    for (std::size_t frame = 0; frame < channels.front().size(); ++frame) {
        for (const auto& channel : channels) interleaved.push_back(channel[frame]);
    }
    sf_writef_float(handle, interleaved.data(), static_cast<sf_count_t>(channels.front().size()));
    sf_close(handle);
}

std::vector<std::vector<float>> readChannels(const std::filesystem::path& file) {
    SF_INFO info{};
    SNDFILE* handle = sf_open(file.c_str(), SFM_READ, &info);
    if (!handle) throw std::runtime_error("cannot read " + file.string());
    std::vector<float> interleaved(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_float(handle, interleaved.data(), info.frames);
    sf_close(handle);
    std::vector<std::vector<float>> channels(static_cast<std::size_t>(info.channels));
    for (std::size_t i = 0; i < interleaved.size(); ++i) channels[i % channels.size()].push_back(interleaved[i]);
    return channels;
}

SoundFile readSoundFile(const std::filesystem::path& file) {
    const SF_INFO info = sndfileInfo(file);
    return {info.samplerate, info.format, readChannels(file)};
}

void claimFrames(std::vector<char>& flac, std::uint64_t frames) {
    // "fLaC", the block header, then 10 bytes before the 36-bit count.
    flac[21] = static_cast<char>((flac[21] & 0xF0) | ((frames >> 32) & 0x0F));
    for (int k = 0; k < 4; ++k) flac[22 + k] = static_cast<char>(frames >> (24 - 8 * k));
}

std::vector<char> readBytes(const std::filesystem::path& file) {
    std::ifstream input(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(input), std::istreambuf_iterator<char>()};
}

void writeBytes(const std::filesystem::path& file, const std::vector<char>& bytes) {
    std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
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

}  // namespace audiotest
}  // namespace vesh
