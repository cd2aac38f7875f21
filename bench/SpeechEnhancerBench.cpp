// Speed of the speech enhancer on one 10-minute channel at 48 kHz.
//
//   EnhanceTenMinutes/<model>  the whole enhance call; real_time_factor is the
//                              time taken per second of audio, seconds_per_segment
//                              the time per model run, peak_rss_MiB the process's
//                              peak resident memory so far.
//   EnhanceTenMinutes/zeros    the same with a model that does almost nothing:
//                              an upper bound of the time spent outside the
//                              runtime (normalisation, copies, crossfades).
//   ModelPrediction/<model>    the runtime alone, per segment.
//
// The model is the shipped one when it is present, and always the generated
// realistic-size test model. VESH_BENCH_MODEL names another model file.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "FullBandSpeechEnhancer/Model.h"
#include "FullBandSpeechEnhancer/ResourceBundle.h"
#include "FullBandSpeechEnhancer/VariableLengthSpeechEnhancer.h"

namespace {

using vesh::ComputeUnits;
using vesh::ModelParameters;
using vesh::VariableLengthSpeechEnhancer;

constexpr ModelParameters productParameters = VariableLengthSpeechEnhancer::productParameters(ComputeUnits::all);
constexpr std::int64_t sampleRate = productParameters.sampleRate;
constexpr std::int64_t segmentLength = productParameters.processedSegmentLength;
constexpr std::int64_t crossfadeLength = productParameters.crossfadeLength;
constexpr std::int64_t tenMinutes = 600 * sampleRate;

const std::vector<float>& speechLikeSignal() {
    static const std::vector<float> signal = [] {
        // Noise under a syllable-rate envelope, so loudness gating has work.
        std::mt19937 generator(1);
        std::normal_distribution<float> distribution(0.0f, 0.1f);
        std::vector<float> samples(static_cast<std::size_t>(tenMinutes));
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const float envelope = (i / 12000) % 3 == 0 ? 0.05f : 1.0f;
            samples[i] = envelope * distribution(generator);
        }
        return samples;
    }();
    return signal;
}

double peakResidentMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

std::int64_t segmentCount(std::int64_t length) {
    return (length - segmentLength) / (segmentLength - crossfadeLength) + 2;
}

void enhanceTenMinutes(benchmark::State& state, const std::filesystem::path& model) {
    VariableLengthSpeechEnhancer enhancer(productParameters, model);
    const auto& input = speechLikeSignal();
    std::vector<float> output(input.size());
    for (auto _ : state) {
        enhancer.enhance(input, output, {});
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
    const auto iterations = static_cast<double>(state.iterations());
    state.counters["real_time_factor"] =
        benchmark::Counter(iterations * 600.0, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["seconds_per_segment"] =
        benchmark::Counter(iterations * static_cast<double>(segmentCount(tenMinutes)),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["peak_rss_MiB"] = peakResidentMiB();
}

void modelPrediction(benchmark::State& state, const std::filesystem::path& path) {
    vesh::Model model(path, ComputeUnits::all);
    const auto& signal = speechLikeSignal();
    const std::span<const float> segment(signal.data(), segmentLength);
    for (auto _ : state) {
        const vesh::ModelOutput output = model.prediction(vesh::ModelInput(segment));
        benchmark::DoNotOptimize(output.values().data());
    }
}

void registerModel(const std::string& name, const std::filesystem::path& path) {
    benchmark::RegisterBenchmark(("EnhanceTenMinutes/" + name).c_str(), enhanceTenMinutes, path)
        ->Unit(benchmark::kSecond)
        ->UseRealTime()
        ->Iterations(1);
    benchmark::RegisterBenchmark(("ModelPrediction/" + name).c_str(), modelPrediction, path)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
}

}  // namespace

int main(int argc, char** argv) {
    const std::filesystem::path models = VESH_TEST_MODELS_DIR;
    if (const char* chosen = std::getenv("VESH_BENCH_MODEL"); chosen != nullptr && *chosen != '\0') {
        registerModel("chosen", chosen);
    } else {
        const auto shipped = vesh::resourceBundle() / "Model.onnx";
        if (std::filesystem::is_regular_file(shipped)) {
            registerModel("shipped", shipped);
        }
        registerModel("realistic-size", models / "realistic-size.onnx");
    }
    registerModel("zeros", models / "zeros.onnx");

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
