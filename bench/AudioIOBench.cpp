// Decoding, resampling (44.1 kHz to 48 kHz, mastering, maximum) and writing a
// ten-minute stereo recording: speed as a multiple of real time, and the
// process's peak resident memory as a multiple of the decoded size.

#include <benchmark/benchmark.h>
#include <sndfile.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <cmath>
#include <filesystem>
#include <numbers>
#include <random>
#include <stdexcept>
#include <vector>

#include "AudioIO/AudioStream.h"

namespace {

constexpr int sourceRate = 44100;
constexpr int channelCount = 2;
constexpr double durationSeconds = 600;
constexpr auto frameCount = static_cast<std::int64_t>(durationSeconds * sourceRate);
constexpr double decodedBytes = double(frameCount) * channelCount * sizeof(float);

// A folder with the ten-minute source, written block by block so that making
// it leaves no mark on the peak memory measured later.
class Workspace {
public:
    Workspace() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vesh-audioio-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot create a folder for the benchmark");
        folder_ = pattern;
        SF_INFO info{};
        info.samplerate = sourceRate;
        info.channels = channelCount;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* file = sf_open(source().c_str(), SFM_WRITE, &info);
        if (!file) throw std::runtime_error("cannot create the benchmark's source file");
        std::mt19937 random(7);
        std::normal_distribution<float> noise(0.0f, 0.05f);
        std::vector<float> block(4096 * channelCount);
        for (std::int64_t start = 0; start < frameCount; start += 4096) {
            const auto frames = std::min<std::int64_t>(4096, frameCount - start);
            for (std::int64_t frame = 0; frame < frames; ++frame) {
                const double time = double(start + frame) / sourceRate;
                const auto tone = static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * 220 * time));
                block[static_cast<std::size_t>(frame * channelCount)] = tone + noise(random);
                block[static_cast<std::size_t>(frame * channelCount + 1)] = 0.5f * tone + noise(random);
            }
            sf_writef_float(file, block.data(), frames);
        }
        sf_close(file);
    }
    ~Workspace() {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    std::filesystem::path source() const { return folder_ / "source.wav"; }
    std::filesystem::path output() const { return folder_ / "output.wav"; }

private:
    std::filesystem::path folder_;
};

const Workspace& workspace() {
    static const Workspace instance;
    return instance;
}

double peakResidentBytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) * 1024.0;
}

void reportCounters(benchmark::State& state) {
    state.counters["xRealTime"] =
        benchmark::Counter(durationSeconds * double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["peakRSSxDecoded"] = peakResidentBytes() / decodedBytes;
}

const vesh::CommonAudioFileFormat outputFormat{vesh::CommonAudioFileFormat::BitDepth::twentyFour,
                                               vesh::CommonAudioFileFormat::FileType::wav};

// What the application does with every file: first, so that the peak memory
// figure belongs to this pipeline alone.
void DecodeResampleWrite(benchmark::State& state) {
    const auto& files = workspace();
    for (auto _ : state) {
        const vesh::AudioStream decoded(files.source());
        const vesh::AudioStream resampled =
            decoded.resampled(48000, vesh::SampleRateConverterAlgorithm::mastering, vesh::AudioQuality::maximum);
        resampled.write(files.output(), outputFormat);
    }
    reportCounters(state);
}

void Decode(benchmark::State& state) {
    const auto& files = workspace();
    for (auto _ : state) {
        const vesh::AudioStream decoded(files.source());
        benchmark::DoNotOptimize(decoded.length());
    }
    reportCounters(state);
}

void Resample(benchmark::State& state) {
    const vesh::AudioStream decoded(workspace().source());
    for (auto _ : state) {
        const vesh::AudioStream resampled =
            decoded.resampled(48000, vesh::SampleRateConverterAlgorithm::mastering, vesh::AudioQuality::maximum);
        benchmark::DoNotOptimize(resampled.length());
    }
    reportCounters(state);
}

void Write(benchmark::State& state) {
    const auto& files = workspace();
    const vesh::AudioStream decoded(files.source());
    for (auto _ : state) decoded.write(files.output(), outputFormat);
    reportCounters(state);
}

// Baseline for the decoder: the same file read straight into one interleaved
// float buffer by libsndfile.
void BaselineSndfileRead(benchmark::State& state) {
    const auto& files = workspace();
    for (auto _ : state) {
        SF_INFO info{};
        SNDFILE* file = sf_open(files.source().c_str(), SFM_READ, &info);
        std::vector<float> samples(static_cast<std::size_t>(info.frames * info.channels));
        benchmark::DoNotOptimize(sf_readf_float(file, samples.data(), info.frames));
        sf_close(file);
    }
    reportCounters(state);
}

BENCHMARK(DecodeResampleWrite)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Decode)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Resample)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Write)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BaselineSndfileRead)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
