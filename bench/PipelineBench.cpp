// The whole processing of one file: a 10-minute stereo 44.1 kHz recording is
// read, converted to 48 kHz, enhanced channel by channel, mixed with the dry
// signal, converted back to 44.1 kHz and written, with the shipped model
// (or the model named by VESH_MODEL_PATH).
//
// Pipeline: the application core's own batch, run in a child process so that
// its peak resident memory is its own; reported as a multiple of the decoded
// 48 kHz stream. PipelinePhases: the same steps in this process, timed one by
// one; its "enhance" phase is the enhancer-only figure of the same run, and
// the summary gives the share of the time spent outside the model.

#include <QCoreApplication>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <sndfile.h>
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <numbers>
#include <random>
#include <string>

#include "AudioIO/AudioFile.h"
#include "AudioIO/AudioStream.h"
#include "FullBandSpeechEnhancer/VariableLengthSpeechEnhancer.h"
#include "app/Brain.h"

using namespace vesh;

namespace {

constexpr int inputRate = 44100;
constexpr double durationSeconds = 600.0;
constexpr double decoded48kBytes = durationSeconds * 48000.0 * 2 * sizeof(float);

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double peakResidentBytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) * 1024.0;  // kilobytes on Linux
}

// Two distinct channels of tones and noise, as 16-bit WAV.
std::filesystem::path benchmarkInput() {
    static const std::filesystem::path path = [] {
        const auto folder = std::filesystem::temp_directory_path() / "vesh-pipeline-bench";
        std::filesystem::create_directories(folder);
        const auto file = folder / "ten-minutes-stereo-44k1.wav";
        if (std::filesystem::exists(file)) return file;
        const auto frames = static_cast<std::size_t>(durationSeconds * inputRate);
        std::vector<float> interleaved(frames * 2);
        std::mt19937 generator(7);
        std::normal_distribution<float> hiss(0.0f, 0.03f);
        for (std::size_t i = 0; i < frames; ++i) {
            const double t = double(i) / inputRate;
            const double voice =
                0.3 * std::sin(2 * std::numbers::pi * 180 * t) * (0.5 + 0.5 * std::sin(2 * std::numbers::pi * 3 * t));
            interleaved[2 * i] = static_cast<float>(voice) + hiss(generator);
            interleaved[2 * i + 1] = static_cast<float>(0.8 * voice) + hiss(generator);
        }
        SF_INFO info{};
        info.samplerate = inputRate;
        info.channels = 2;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* sound = sf_open(file.c_str(), SFM_WRITE, &info);
        if (sound == nullptr) throw std::runtime_error("cannot write the benchmark input");
        sf_writef_float(sound, interleaved.data(), static_cast<sf_count_t>(frames));
        sf_close(sound);
        return file;
    }();
    return path;
}

class NoQuestions : public UserInteraction {
public:
    ExistingFileAnswer askAboutExistingFile(const std::string&) override { return ExistingFileAnswer::replace; }
    std::optional<std::filesystem::path> chooseOutputFolder() override { return std::nullopt; }
};

// Child process: one batch of the application core. Prints its processing
// time and its peak resident memory.
int runPipelineChild(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    const QTemporaryDir folder;
    NoQuestions interaction;
    Brain brain(std::make_unique<QSettings>(folder.filePath("settings.ini"), QSettings::IniFormat), interaction);
    QSignalSpy loaded(&brain, &Brain::modelIsLoadingChanged);
    if (brain.modelIsLoading() && !loaded.wait(600000)) return 1;
    if (brain.error()) {
        std::fprintf(stderr, "%s\n", brain.error()->description().c_str());
        return 1;
    }
    brain.setOutputFolder(std::filesystem::path(folder.path().toStdString()));
    brain.setOutputFormatMatchesInput(true);
    brain.setWetDryMix(0.8);

    QSignalSpy finished(&brain, &Brain::batchFinished);
    const auto start = Clock::now();
    brain.processDroppedFiles({std::filesystem::path(argv[2])});
    if (!finished.wait(3600000) || brain.alertIsDisplayed()) return 1;
    std::printf("%.6f %.0f\n", secondsSince(start), peakResidentBytes());
    return 0;
}

std::map<std::string, double> results;

void Pipeline(benchmark::State& state) {
    const std::string command = "'" + std::filesystem::read_symlink("/proc/self/exe").string() +
                                "' --pipeline-child '" + benchmarkInput().string() + "'";
    for (auto _ : state) {
        FILE* child = popen(command.c_str(), "r");
        double seconds = 0.0;
        double peakBytes = 0.0;
        const bool read = child != nullptr && std::fscanf(child, "%lf %lf", &seconds, &peakBytes) == 2;
        if (child == nullptr || pclose(child) != 0 || !read) {
            state.SkipWithError("the pipeline failed");
            return;
        }
        state.SetIterationTime(seconds);
        results["pipeline"] = seconds;
        state.counters["xRealTime"] = durationSeconds / seconds;
        state.counters["peakRSS_MiB"] = peakBytes / (1024.0 * 1024.0);
        state.counters["peakRSS_per_decoded48k"] = peakBytes / decoded48kBytes;
    }
}

void PipelinePhases(benchmark::State& state) {
    const ModelParameters parameters{98304, 24576, 48000, ComputeUnits::all};
    VariableLengthSpeechEnhancer enhancer(parameters);
    const auto output = std::filesystem::temp_directory_path() / "vesh-pipeline-bench" / "phases-output.wav";
    for (auto _ : state) {
        std::map<std::string, double> phase;
        auto start = Clock::now();
        const AudioFile file(benchmarkInput());
        const AudioStream decoded(file);
        phase["read"] = secondsSince(start);

        start = Clock::now();
        const AudioStream at48k =
            decoded.resampled(48000, SampleRateConverterAlgorithm::mastering, AudioQuality::maximum);
        phase["resample48k"] = secondsSince(start);

        std::vector<std::vector<float>> enhanced;
        start = Clock::now();
        for (const auto& channel : at48k.channels()) {
            enhanced.emplace_back(channel.samples.size());
            enhancer.enhance(channel.samples, enhanced.back(), [](VariableLengthSpeechEnhancer::Progress) {
                return VariableLengthSpeechEnhancer::ProgressResponse::continueProcessing;
            });
        }
        phase["enhance"] = secondsSince(start);

        start = Clock::now();
        std::size_t index = 0;
        const AudioStream mixed = at48k.map([&](const AudioStream::Channel& channel) {
            std::vector<float>& wet = enhanced[index++];
            for (std::size_t k = 0; k < wet.size(); ++k) wet[k] = wet[k] * 0.8f + channel.samples[k] * 0.2f;
            return AudioStream::Channel(channel.sampleRate, std::move(wet));
        });
        phase["mix"] = secondsSince(start);

        start = Clock::now();
        const AudioStream atInputRate =
            mixed.resampled(file.sampleRate(), SampleRateConverterAlgorithm::normal, AudioQuality::maximum);
        phase["resample44k1"] = secondsSince(start);

        start = Clock::now();
        atInputRate.write(
            output, file,
            CommonAudioFileFormat{CommonAudioFileFormat::BitDepth::twentyFour, CommonAudioFileFormat::FileType::wav});
        phase["write"] = secondsSince(start);

        double total = 0.0;
        for (const auto& [name, seconds] : phase) {
            total += seconds;
            state.counters[name + "_s"] = seconds;
        }
        state.SetIterationTime(total);
        state.counters["xRealTime"] = durationSeconds / total;
        state.counters["enhancer_xRealTime"] = durationSeconds / phase["enhance"];
        state.counters["share_outside_model"] = 1.0 - phase["enhance"] / total;
        results["phases"] = total;
        results["enhance"] = phase["enhance"];
    }
    std::filesystem::remove(output);
}

BENCHMARK(Pipeline)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(PipelinePhases)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char* argv[]) {
    if (argc == 3 && std::strcmp(argv[1], "--pipeline-child") == 0) return runPipelineChild(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (results.contains("enhance") && results.contains("pipeline")) {
        std::printf(
            "10 min stereo 44.1 kHz: batch %.2f s (%.1fx real time); phases %.2f s, of which the enhancer "
            "%.2f s (%.1fx real time) and %.1f%% outside it\n",
            results["pipeline"], durationSeconds / results["pipeline"], results["phases"], results["enhance"],
            durationSeconds / results["enhance"], 100.0 * (1.0 - results["enhance"] / results["phases"]));
    }
    return 0;
}
