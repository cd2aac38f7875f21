// The whole processing of one file: a stereo 44.1 kHz recording is read,
// converted to 48 kHz, enhanced channel by channel, mixed with the dry
// signal, converted back to 44.1 kHz and written.
//
// Every run happens in a child process, so that its peak resident memory is
// its own.
// - PipelineRun/Engine and PipelineRun/WholeFile: a 10-minute file with the shipped
//   model (or the one VESH_MODEL_PATH names), through the streaming engine and
//   through the whole-file path (decode all, enhance whole channels, write
//   all) in the same run; the summary gives their ratio.
// - MemoryRun/Engine/60 and /180: peak resident memory of the engine on a
//   1-hour and a 3-hour file; MemoryRun/WholeFile/60 the whole-file path on
//   the 1-hour file. These use the identity test model, which costs next to
//   nothing per segment, so that they finish quickly; the model's own memory
//   does not depend on the file's length.

#include <benchmark/benchmark.h>
#include <sndfile.h>
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <numbers>
#include <random>
#include <string>

#include "AudioIO/AudioFile.h"
#include "AudioIO/AudioStream.h"
#include "Engine/Engine.h"
#include "FullBandSpeechEnhancer/VariableLengthSpeechEnhancer.h"

using namespace vesh;

namespace {

constexpr int inputRate = 44100;
constexpr double wetDryMix = 0.8;

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double peakResidentMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

std::filesystem::path benchFolder() {
    const auto folder = std::filesystem::temp_directory_path() / "vesh-pipeline-bench";
    std::filesystem::create_directories(folder);
    return folder;
}

// Two distinct channels of tones and noise, as 16-bit WAV, written in blocks.
std::filesystem::path benchmarkInput(int minutes) {
    const auto file = benchFolder() / ("stereo-44k1-" + std::to_string(minutes) + "min.wav");
    if (std::filesystem::exists(file)) return file;
    SF_INFO info{};
    info.samplerate = inputRate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* sound = sf_open(file.c_str(), SFM_WRITE, &info);
    if (sound == nullptr) throw std::runtime_error("cannot write the benchmark input");
    std::mt19937 generator(7);
    std::normal_distribution<float> hiss(0.0f, 0.03f);
    const std::size_t frames = static_cast<std::size_t>(minutes) * 60 * inputRate;
    std::vector<float> block(2 * inputRate);
    for (std::size_t start = 0; start < frames; start += inputRate) {
        for (std::size_t i = 0; i < static_cast<std::size_t>(inputRate); ++i) {
            const double t = double(start + i) / inputRate;
            const double voice =
                0.3 * std::sin(2 * std::numbers::pi * 180 * t) * (0.5 + 0.5 * std::sin(2 * std::numbers::pi * 3 * t));
            block[2 * i] = static_cast<float>(voice) + hiss(generator);
            block[2 * i + 1] = static_cast<float>(0.8 * voice) + hiss(generator);
        }
        sf_writef_float(sound, block.data(), inputRate);
    }
    sf_close(sound);
    return file;
}

std::unique_ptr<VariableLengthSpeechEnhancer> loadEnhancer(const std::string& model) {
    const ModelParameters parameters = VariableLengthSpeechEnhancer::productParameters(ComputeUnits::all);
    if (model.empty()) return std::make_unique<VariableLengthSpeechEnhancer>(parameters);
    return std::make_unique<VariableLengthSpeechEnhancer>(parameters, model);
}

// The path every file took before the engine: whole streams in memory.
void processWholeFile(const std::filesystem::path& source, const std::filesystem::path& target,
                      VariableLengthSpeechEnhancer& enhancer) {
    const AudioFile file(source);
    const AudioStream at48k =
        AudioStream(file).resampled(VariableLengthSpeechEnhancer::productSampleRate,
                                    SampleRateConverterAlgorithm::mastering, AudioQuality::maximum);
    const AudioStream mixed = at48k.map([&](const AudioStream::Channel& channel) {
        std::vector<float> wet(channel.samples.size());
        enhancer.enhance(channel.samples, wet, {});
        const auto wetShare = static_cast<float>(wetDryMix);
        const auto dryShare = static_cast<float>(1.0 - wetDryMix);
        for (std::size_t k = 0; k < wet.size(); ++k) wet[k] = wet[k] * wetShare + channel.samples[k] * dryShare;
        return AudioStream::Channel(channel.sampleRate, std::move(wet));
    });
    mixed.resampled(file.sampleRate(), SampleRateConverterAlgorithm::normal, AudioQuality::maximum)
        .write(
            target, file,
            CommonAudioFileFormat{CommonAudioFileFormat::BitDepth::twentyFour, CommonAudioFileFormat::FileType::wav});
}

// Child process: `--child engine|whole <input> <model or "">`. Prints the
// processing time and the peak resident memory.
int runChild(char* argv[]) {
    const std::string path = argv[2];
    const std::filesystem::path input = argv[3];
    const auto enhancer = loadEnhancer(argv[4]);
    const auto output = benchFolder() / ("out-" + path + ".wav");
    const auto start = Clock::now();
    if (path == "whole") {
        processWholeFile(input, output, *enhancer);
    } else {
        ProcessingOptions options;
        options.matchSourceFormat = true;
        options.wetDryMix = wetDryMix;
        options.enhancer = enhancer.get();
        processFile(input, output, options);
    }
    const double seconds = secondsSince(start);
    std::filesystem::remove(output);
    std::printf("%.6f %.1f\n", seconds, peakResidentMiB());
    return 0;
}

std::map<std::string, double> results;

// Runs a child and returns its seconds and peak MiB.
std::pair<double, double> child(const std::string& path, const std::filesystem::path& input, const std::string& model) {
    const std::string command = "'" + std::filesystem::read_symlink("/proc/self/exe").string() + "' --child " + path +
                                " '" + input.string() + "' '" + model + "'";
    FILE* process = popen(command.c_str(), "r");
    double seconds = 0.0;
    double mebibytes = 0.0;
    const bool read = process && std::fscanf(process, "%lf %lf", &seconds, &mebibytes) == 2;
    if (!process || pclose(process) != 0 || !read) throw std::runtime_error("the child process failed");
    return {seconds, mebibytes};
}

std::string shippedModel() {
    const char* model = std::getenv("VESH_MODEL_PATH");
    return model ? model : "";
}

std::string identityModel() { return std::string(VESH_TEST_MODELS_DIR) + "/identity.onnx"; }

// `label` names the result; `model` empty is the shipped model.
void PipelineRun(benchmark::State& state, const std::string& path, const std::string& label, const std::string& model) {
    const auto input = benchmarkInput(10);
    for (auto _ : state) {
        const auto [seconds, mebibytes] = child(path, input, model);
        state.SetIterationTime(seconds);
        state.counters["peak_rss_MiB"] = mebibytes;
        results[label] = seconds;
    }
    state.counters["real_time_factor"] = results[label] / 600.0;
}

void MemoryRun(benchmark::State& state, const std::string& path) {
    const auto minutes = static_cast<int>(state.range(0));
    const auto input = benchmarkInput(minutes);
    for (auto _ : state) {
        const auto [seconds, mebibytes] = child(path, input, identityModel());
        state.SetIterationTime(seconds);
        state.counters["peak_rss_MiB"] = mebibytes;
    }
}

}  // namespace

BENCHMARK_CAPTURE(PipelineRun, WholeFile, std::string("whole"), std::string("whole"), shippedModel())
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(PipelineRun, Engine, std::string("engine"), std::string("engine"), shippedModel())
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
// Everything but the model: what overlapping the other work with it could save at most.
BENCHMARK_CAPTURE(PipelineRun, EngineWithoutModelCost, std::string("engine"), std::string("overhead"), identityModel())
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(MemoryRun, Engine, std::string("engine"))
    ->Arg(60)
    ->Arg(180)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
// The baseline: the whole-file path on the 1-hour file.
BENCHMARK_CAPTURE(MemoryRun, WholeFile, std::string("whole"))
    ->Arg(60)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

int main(int argc, char* argv[]) {
    if (argc == 5 && std::string(argv[1]) == "--child") {
        try {
            return runChild(argv);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "%s\n", error.what());
            return 1;
        }
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (results.contains("whole") && results.contains("engine")) {
        std::printf("10 min stereo 44.1 kHz: engine %.2f s, whole-file path %.2f s: %.3fx\n", results["engine"],
                    results["whole"], results["engine"] / results["whole"]);
    }
    if (results.contains("overhead") && results.contains("engine")) {
        std::printf("outside the model: %.2f s, %.1f %% of the engine's time\n", results["overhead"],
                    100.0 * results["overhead"] / results["engine"]);
    }
    return 0;
}
