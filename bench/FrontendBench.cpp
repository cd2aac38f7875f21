// Cost of the gammatone front end at the enhancer's segment length.
//
// N = 98304 signal samples + 8192 padding = 106496 = 2^13 x 13 at 48 kHz.
// transformInput does one forward DFT and 512 inverse DFTs of length N plus
// O(N) work per row: it grows as 512 x N log N. transformOutput does 256
// forward DFTs and one inverse: 256 x N log N. A frontend holds the two banks,
// 2 x 512 rows of N floats, plus about 8 x N floats of DFT and work buffers;
// the caller's feature matrix adds 768 x N floats. Everything is linear in N.
//
// The baselines: one forward and one inverse DFT of length N (transformInput
// should cost 512 inverse DFTs plus its element-wise stages, transformOutput
// 256 forward DFTs), and the element-wise stages alone. FFTW reuses what a
// `measure` plan learnt for later plans of the same length in the process,
// so compare the two planning efforts in separate runs, e.g.
// --benchmark_filter='measure:0|Magnitude|Compress' then 'measure:1'.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "FullBandFrontend/DiscreteFourierTransform.h"
#include "FullBandFrontend/Frontend.h"

namespace {

using namespace vesh;

constexpr std::int64_t signalLength = 98304;
constexpr std::int64_t trailingPadding = 8192;
constexpr std::int64_t paddedLength = signalLength + trailingPadding;
constexpr std::int64_t sampleRate = 48000;
constexpr double mebibyte = 1024.0 * 1024.0;

PlanningEffort effortOf(const benchmark::State& state) {
    return state.range(0) == 0 ? PlanningEffort::estimate : PlanningEffort::measure;
}

struct FrontendFixture {
    std::unique_ptr<Frontend> frontend;
    double constructionSeconds = 0;
    std::vector<float> signal;
    std::vector<float> features;

    explicit FrontendFixture(PlanningEffort effort) {
        const auto start = std::chrono::steady_clock::now();
        frontend = std::make_unique<Frontend>(signalLength, trailingPadding, sampleRate, 1, effort);
        constructionSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::mt19937 generator(5);
        std::uniform_real_distribution<float> uniform(-0.5f, 0.5f);
        signal.resize(signalLength);
        for (float& sample : signal) {
            sample = uniform(generator);
        }
        features.resize(static_cast<std::size_t>(768 * paddedLength));
        frontend->transformInput(signal, features);
    }

    // The bytes of the frontend's banks, its transform's four work buffers of
    // N floats, and the DFT wrappers' aligned buffers (N floats and N/2 + 1
    // complex values each).
    double frontendBytes() const {
        const double bankBytes = static_cast<double>(frontend->forwardFilterbank().samples.size() +
                                                     frontend->inverseFilterbank().samples.size()) *
                                 sizeof(float);
        const double workFloats = 4.0 * paddedLength + 2.0 * (paddedLength + 2.0 * (paddedLength / 2 + 1));
        return bankBytes + workFloats * sizeof(float);
    }
};

FrontendFixture& fixture(PlanningEffort effort) {
    static std::map<PlanningEffort, std::unique_ptr<FrontendFixture>> fixtures;
    auto& entry = fixtures[effort];
    if (!entry) {
        entry = std::make_unique<FrontendFixture>(effort);
    }
    return *entry;
}

void addMemoryCounters(benchmark::State& state, const FrontendFixture& data) {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["frontend_MiB"] = data.frontendBytes() / mebibyte;
    state.counters["maxrss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
    state.counters["construct_s"] = data.constructionSeconds;
}

void BM_TransformInput(benchmark::State& state) {
    FrontendFixture& data = fixture(effortOf(state));
    for (auto _ : state) {
        data.frontend->transformInput(data.signal, data.features);
        benchmark::DoNotOptimize(data.features.data());
    }
    addMemoryCounters(state, data);
}
BENCHMARK(BM_TransformInput)->ArgName("measure")->Arg(0)->Arg(1)->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_TransformOutput(benchmark::State& state) {
    FrontendFixture& data = fixture(effortOf(state));
    std::vector<float> result(signalLength);
    for (auto _ : state) {
        data.frontend->transformOutput(data.features, data.signal, result);
        benchmark::DoNotOptimize(result.data());
    }
    addMemoryCounters(state, data);
}
BENCHMARK(BM_TransformOutput)->ArgName("measure")->Arg(0)->Arg(1)->Iterations(5)->Unit(benchmark::kMillisecond);

void BM_ForwardDFT(benchmark::State& state) {
    ForwardDiscreteFourierTransform transform(paddedLength, effortOf(state));
    std::vector<float> buffer(paddedLength, 0.25f);
    for (auto _ : state) {
        transform.transform(buffer, buffer);
        benchmark::DoNotOptimize(buffer.data());
    }
}
BENCHMARK(BM_ForwardDFT)->ArgName("measure")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_InverseDFT(benchmark::State& state) {
    InverseDiscreteFourierTransform transform(paddedLength, effortOf(state));
    std::vector<float> buffer(paddedLength, 0.25f);
    for (auto _ : state) {
        transform.transform(buffer, buffer);
        benchmark::DoNotOptimize(buffer.data());
    }
}
BENCHMARK(BM_InverseDFT)->ArgName("measure")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// The element-wise stages of transformInput over its 256 x N envelope values.
void BM_FindMagnitude(benchmark::State& state) {
    const std::vector<float> subbands(static_cast<std::size_t>(512 * paddedLength), 0.25f);
    std::vector<float> magnitude(static_cast<std::size_t>(256 * paddedLength));
    for (auto _ : state) {
        Frontend::findMagnitude(subbands, magnitude);
        benchmark::DoNotOptimize(magnitude.data());
    }
}
BENCHMARK(BM_FindMagnitude)->Iterations(5)->Unit(benchmark::kMillisecond);

void BM_PowerCompress(benchmark::State& state) {
    std::vector<float> magnitude(static_cast<std::size_t>(256 * paddedLength));
    for (std::size_t i = 0; i < magnitude.size(); ++i) {
        magnitude[i] = static_cast<float>(i % 1000) * 1e-3f;
    }
    std::vector<float> compressed(magnitude.size());
    for (auto _ : state) {
        Frontend::powerCompress(magnitude, compressed);
        benchmark::DoNotOptimize(compressed.data());
    }
}
BENCHMARK(BM_PowerCompress)->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
