#include "Loudness/Loudness.h"

#include <ebur128.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

namespace vesh {
namespace {

constexpr std::int64_t sampleRate = 48000;
constexpr double minusInfinity = -std::numeric_limits<double>::infinity();
constexpr Loudness::Mode allModes[] = {Loudness::Mode::momentary, Loudness::Mode::shortTerm,
                                       Loudness::Mode::integrated};

std::vector<float> sine(double seconds, double frequency, double amplitude, std::int64_t rate = sampleRate) {
    std::vector<float> samples(static_cast<std::size_t>(seconds * static_cast<double>(rate)));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * frequency *
                                                             static_cast<double>(i) / static_cast<double>(rate)));
    }
    return samples;
}

std::vector<float> noise(double seconds, double amplitude, unsigned seed) {
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> distribution(-1.0f, 1.0f);
    std::vector<float> samples(static_cast<std::size_t>(seconds * sampleRate));
    for (auto& sample : samples) {
        sample = static_cast<float>(amplitude) * distribution(generator);
    }
    return samples;
}

std::vector<float> joined(std::vector<float> head, const std::vector<float>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

double measure(const std::vector<float>& samples, Loudness::Mode mode, std::int64_t rate = sampleRate) {
    return Loudness(samples, rate, mode).unitsRelativeToFullScale();
}

// The library fed every sample in one call.
double measureAllAtOnce(const std::vector<float>& samples, int modeFlag, int (*query)(ebur128_state*, double*)) {
    ebur128_state* state = ebur128_init(1, sampleRate, modeFlag);
    EXPECT_NE(state, nullptr);
    ebur128_set_channel(state, 0, EBUR128_LEFT);
    EXPECT_EQ(ebur128_add_frames_float(state, samples.data(), samples.size()), EBUR128_SUCCESS);
    double value = 0.0;
    EXPECT_EQ(query(state, &value), EBUR128_SUCCESS);
    ebur128_destroy(&state);
    return value;
}

TEST(Loudness, EmptyAndSilentSignalsMeasureMinusInfinityInEveryMode) {
    const std::vector<float> silence(3 * sampleRate, 0.0f);
    for (const auto mode : allModes) {
        EXPECT_EQ(measure({}, mode), minusInfinity) << static_cast<int>(mode);
        EXPECT_EQ(measure(silence, mode), minusInfinity) << static_cast<int>(mode);
    }
}

TEST(Loudness, FullScaleSineReadsMinusThreeLufsIntegrated) {
    EXPECT_NEAR(measure(sine(5.0, 997.0, 1.0), Loudness::Mode::integrated), -3.01, 0.05);
    // 20 dB quieter reads 20 LU lower.
    EXPECT_NEAR(measure(sine(5.0, 997.0, 0.1), Loudness::Mode::integrated), -23.01, 0.05);
}

TEST(Loudness, MomentaryAndShortTermDependOnlyOnTheirWindow) {
    const auto tail = sine(3.2, 440.0, 0.25);
    const auto afterSilence = joined(std::vector<float>(2 * sampleRate, 0.0f), tail);
    const auto afterNoise = joined(noise(2.0, 0.9, 1), tail);

    // The tail is longer than either window, so what came before hardly
    // matters (only the K-weighting filter's memory carries over)...
    for (const auto mode : {Loudness::Mode::momentary, Loudness::Mode::shortTerm}) {
        EXPECT_NEAR(measure(afterSilence, mode), measure(afterNoise, mode), 0.01) << static_cast<int>(mode);
    }
    // ...while the integrated loudness sees everything.
    EXPECT_GT(measure(afterNoise, Loudness::Mode::integrated), measure(afterSilence, Loudness::Mode::integrated) + 3.0);

    // A loud burst 1 s before the end is inside the short-term window only.
    auto burst = sine(5.0, 440.0, 0.05);
    const auto loud = noise(0.3, 0.9, 2);
    std::copy(loud.begin(), loud.end(), burst.end() - sampleRate - static_cast<std::ptrdiff_t>(loud.size()));
    const auto quiet = sine(5.0, 440.0, 0.05);
    EXPECT_NEAR(measure(burst, Loudness::Mode::momentary), measure(quiet, Loudness::Mode::momentary), 0.01);
    EXPECT_GT(measure(burst, Loudness::Mode::shortTerm), measure(quiet, Loudness::Mode::shortTerm) + 3.0);
}

TEST(Loudness, FeedingOneSecondAtATimeMatchesFeedingEverythingAtOnce) {
    // 3.7 s: three whole blocks and a partial one.
    const auto samples = joined(noise(1.5, 0.3, 3), sine(2.2, 1000.0, 0.5));
    EXPECT_DOUBLE_EQ(measure(samples, Loudness::Mode::momentary),
                     measureAllAtOnce(samples, EBUR128_MODE_M, ebur128_loudness_momentary));
    EXPECT_DOUBLE_EQ(measure(samples, Loudness::Mode::shortTerm),
                     measureAllAtOnce(samples, EBUR128_MODE_S, ebur128_loudness_shortterm));
    EXPECT_DOUBLE_EQ(measure(samples, Loudness::Mode::integrated),
                     measureAllAtOnce(samples, EBUR128_MODE_I, ebur128_loudness_global));
}

TEST(Loudness, ComparesAndHashesByValue) {
    const Loudness target(-24.0);
    const Loudness measured(sine(4.0, 997.0, std::pow(10.0, -16.99 / 20.0)), sampleRate, Loudness::Mode::integrated);
    EXPECT_NEAR(measured.unitsRelativeToFullScale(), -20.0, 0.05);
    EXPECT_LT(target, measured);
    EXPECT_GT(target, Loudness(minusInfinity));
    EXPECT_EQ(Loudness(-24.0), target);
    EXPECT_NE(Loudness(-23.0), target);
    EXPECT_EQ(Loudness(-0.0), Loudness(0.0));
    EXPECT_EQ(std::hash<Loudness>{}(Loudness(-0.0)), std::hash<Loudness>{}(Loudness(0.0)));
}

TEST(Loudness, RatesTheLibraryCannotMeasureReportFailedToAllocateMemory) {
    const auto samples = noise(0.5, 0.3, 4);
    for (const std::int64_t rate : {std::int64_t{-48000}, std::int64_t{-1}, std::int64_t{0}, std::int64_t{15},
                                    std::int64_t{16}, std::int64_t{17}, std::int64_t{2822401}}) {
        try {
            Loudness(samples, rate, Loudness::Mode::integrated);
            ADD_FAILURE() << "no error at " << rate << " Hz";
        } catch (const Loudness::Error& error) {
            EXPECT_EQ(error.code(), Loudness::Error::Code::failedToAllocateMemory) << rate;
        }
    }
    // The library's buffers are too small at 16 and 17 Hz (it writes past
    // them), so measuring starts at 18 Hz; the top of its range is measured.
    EXPECT_NO_THROW(Loudness(samples, 18, Loudness::Mode::integrated));
    EXPECT_NO_THROW(Loudness(samples, 2822400, Loudness::Mode::momentary));
}

}  // namespace
}  // namespace vesh
