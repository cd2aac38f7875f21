#include "Loudness/Loudness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <numbers>
#include <span>
#include <vector>

#include "Signals.h"

namespace vesh {
namespace {

constexpr std::int64_t sampleRate = 48000;
constexpr double minusInfinity = -std::numeric_limits<double>::infinity();
using Mode = Loudness::Mode;

std::int64_t samples(double seconds) { return static_cast<std::int64_t>(seconds * sampleRate); }

// `seconds` of a sine at the test's rate.
std::vector<float> sine(double seconds, double frequency, double amplitude) {
    return test::sine(frequency, sampleRate, static_cast<std::size_t>(samples(seconds)), amplitude);
}

double measure(std::span<const float> signal, Mode mode) {
    return Loudness(signal, sampleRate, mode).unitsRelativeToFullScale();
}

TEST(Loudness, EmptyAndSilentSignalsMeasureMinusInfinityInEveryMode) {
    const std::vector<float> silence(3 * sampleRate, 0.0f);
    for (const Mode mode : {Mode::momentary, Mode::shortTerm, Mode::integrated}) {
        SCOPED_TRACE(static_cast<int>(mode));
        EXPECT_EQ(measure({}, mode), minusInfinity);
        EXPECT_EQ(measure(silence, mode), minusInfinity);
    }
}

TEST(Loudness, ComparesByValueAgainstMeasuredSines) {
    EXPECT_NEAR(measure(sine(5.0, 997.0, 1.0), Mode::integrated), -3.01, 0.05);
    const Loudness measured(sine(4.0, 997.0, std::pow(10.0, -16.99 / 20.0)), sampleRate, Mode::integrated);
    EXPECT_NEAR(measured.unitsRelativeToFullScale(), -20.0, 0.05);

    const Loudness target(-24.0);
    EXPECT_LT(target, measured);
    EXPECT_GT(target, Loudness(minusInfinity));
    EXPECT_EQ(Loudness(-0.0), Loudness(0.0));
    EXPECT_EQ(std::hash<Loudness>{}(Loudness(-0.0)), std::hash<Loudness>{}(Loudness(0.0)));
}

TEST(Loudness, EachModeSeesOnlyItsWindow) {
    // A quiet sine with a loud stretch 6 to 4 s before the end (inside no
    // window but the integrated one) and a loud burst 1.3 to 1 s before the
    // end (inside the 3 s window, outside the 400 ms one).
    auto signal = sine(8.0, 440.0, 0.05);
    const auto loud = test::noise(samples(2.0), 0.9f, 1);
    std::copy(loud.begin(), loud.end(), signal.end() - samples(6.0));
    std::copy_n(loud.begin(), samples(0.3), signal.end() - samples(1.3));

    // The K-weighting filter's memory is all that carries over from before a window.
    const auto lastSeconds = [&](double seconds) { return std::span(signal).last(samples(seconds)); };
    const double momentary = measure(signal, Mode::momentary);
    const double shortTerm = measure(signal, Mode::shortTerm);
    EXPECT_NEAR(momentary, measure(lastSeconds(0.5), Mode::momentary), 0.01);
    EXPECT_NEAR(shortTerm, measure(lastSeconds(3.5), Mode::shortTerm), 0.01);
    EXPECT_GT(shortTerm, momentary + 3.0);
    EXPECT_GT(measure(signal, Mode::integrated), shortTerm + 3.0);
}

TEST(Loudness, TheMeterFedInBlocksMatchesOneMeasurement) {
    // 3.7 s: three whole one-second blocks and a partial one.
    auto signal = test::noise(samples(1.5), 0.3f, 3);
    const auto tail = sine(2.2, 1000.0, 0.5);
    signal.insert(signal.end(), tail.begin(), tail.end());
    LoudnessMeter meter(sampleRate);
    for (std::size_t start = 0; start < signal.size(); start += 12345) {
        meter.add(std::span(signal).subspan(start, std::min<std::size_t>(12345, signal.size() - start)));
    }
    EXPECT_DOUBLE_EQ(meter.integratedLoudness().unitsRelativeToFullScale(), measure(signal, Mode::integrated));
}

TEST(Loudness, StretchesMeasuredAtOnceAgreeWithOneMeasurement) {
    // Quiet noise with a 50 Hz hum (which the filters hold longest) and loud
    // bursts across each 20-s stretch's start, where a gating block lost or
    // counted twice would move the value by hundredths of a unit.
    auto signal = test::noise(samples(61.3), 0.01f, 7);
    const auto hum = sine(61.3, 50.0, 0.05);
    for (std::size_t i = 0; i < signal.size(); ++i) {
        const double second = static_cast<double>(i) / sampleRate;
        const bool burst = std::fmod(second + 0.7, 20.0) < 1.2;
        signal[i] = signal[i] * (burst ? 60.0f : 1.0f) + hum[i];
    }
    const double whole = measure(signal, Mode::integrated);
    for (const std::size_t stretchesAtOnce : {2, 3}) {
        LoudnessMeter meter(sampleRate, stretchesAtOnce);
        for (std::size_t start = 0; start < signal.size(); start += 100003) {
            meter.add(std::span(signal).subspan(start, std::min<std::size_t>(100003, signal.size() - start)));
        }
        EXPECT_NEAR(meter.integratedLoudness().unitsRelativeToFullScale(), whole, 1e-4) << stretchesAtOnce;
    }

    // Within one stretch nothing is split.
    LoudnessMeter shortSignal(sampleRate, 2);
    shortSignal.add(std::span(signal).first(static_cast<std::size_t>(samples(19.9))));
    EXPECT_DOUBLE_EQ(shortSignal.integratedLoudness().unitsRelativeToFullScale(),
                     measure(std::span(signal).first(static_cast<std::size_t>(samples(19.9))), Mode::integrated));
    EXPECT_EQ(LoudnessMeter(sampleRate, 2).integratedLoudness().unitsRelativeToFullScale(), minusInfinity);
}

TEST(Loudness, RatesTheLibraryCannotMeasureReportFailedToAllocateMemory) {
    const auto signal = test::noise(samples(0.5), 0.3f, 4);
    // The library's buffers are too small at 16 and 17 Hz (it writes past
    // them), so measuring starts at 18 Hz.
    for (const std::int64_t rate : {std::int64_t{-1}, std::int64_t{0}, std::int64_t{17}, std::int64_t{2822401}}) {
        try {
            Loudness(signal, rate, Mode::integrated);
            ADD_FAILURE() << "no error at " << rate << " Hz";
        } catch (const Loudness::Error& error) {
            EXPECT_EQ(error.code(), Loudness::Error::Code::failedToAllocateMemory) << rate;
        }
        EXPECT_THROW(LoudnessMeter{rate}, Loudness::Error) << rate;
        EXPECT_THROW((LoudnessMeter{rate, 2}), Loudness::Error) << rate;
    }
    EXPECT_NO_THROW(Loudness(signal, 18, Mode::integrated));
    EXPECT_NO_THROW(Loudness(signal, 2822400, Mode::momentary));
}

ProgrammeLevel programme(const std::vector<std::vector<float>>& channels, std::size_t blockLength = 10007) {
    ProgrammeMeter meter(sampleRate, channels.size());
    for (std::size_t start = 0; start < channels.front().size(); start += blockLength) {
        std::vector<std::span<const float>> views;
        for (const auto& channel : channels) {
            views.push_back(std::span(channel).subspan(start, std::min(blockLength, channel.size() - start)));
        }
        meter.add(views);
    }
    return meter.level();
}

TEST(ProgrammeMeter, WeighsChannelsByTheirPlaceAndFindsPeaksBetweenSamples) {
    const auto voice = sine(4.0, 997.0, 0.25);
    const std::vector<float> silence(voice.size(), 0.0f);
    const auto integrated = [](const std::vector<std::vector<float>>& channels) {
        return programme(channels).integrated.unitsRelativeToFullScale();
    };
    const double mono = measure(voice, Mode::integrated);
    EXPECT_NEAR(integrated({voice}), mono, 1e-9);
    // Two channels carrying the same sound are 3 dB louder than one.
    EXPECT_NEAR(integrated({voice, voice}), mono + 3.01, 0.01);
    // 5.1: the effects channel does not count, a surround counts 1.5 dB more.
    EXPECT_EQ(integrated({silence, silence, silence, voice, silence, silence}), minusInfinity);
    EXPECT_NEAR(integrated({silence, silence, silence, silence, voice, silence}), mono + 1.5, 0.01);
    // 7.1: the sides are surrounds too; quadraphonic: the back pair.
    EXPECT_NEAR(integrated({silence, silence, silence, silence, silence, silence, silence, voice}), mono + 1.5, 0.01);
    EXPECT_NEAR(integrated({silence, silence, voice, silence}), mono + 1.5, 0.01);

    // A quarter of the rate sampled 45 degrees off its crests: every sample is
    // at 0.5 / sqrt(2) while the wave reaches 0.5 between them.
    std::vector<float> between(voice.size());
    for (std::size_t k = 0; k < between.size(); ++k) {
        between[k] = static_cast<float>(
            0.5 * std::sin(std::numbers::pi / 2.0 * static_cast<double>(k) + 0.25 * std::numbers::pi));
    }
    EXPECT_NEAR(programme({silence, between}).truePeakDecibels, 20.0 * std::log10(0.5), 0.5);
    EXPECT_EQ(programme({silence}).truePeakDecibels, minusInfinity);
    EXPECT_THROW(ProgrammeMeter(sampleRate, 0), Loudness::Error);
}

}  // namespace
}  // namespace vesh
