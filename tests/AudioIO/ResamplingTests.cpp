// Resampling: exact lengths, time alignment, the end of a channel, and every
// algorithm and quality.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "Signals.h"
#include "TestSupport.h"

namespace vesh {
namespace {

using namespace audiotest;
using Channel = AudioStream::Channel;
using Algorithm = SampleRateConverterAlgorithm;

AudioStream mono(std::vector<float> samples, std::int64_t rate) {
    return makeStream({Channel(rate, std::move(samples))}, rate);
}

TEST(Resampling, OutputHoldsTheWholePartOfTheConvertedLength) {
    struct Case {
        std::size_t length;
        std::int64_t from, to, expected;
    };
    for (const Case c : {Case{44100, 44100, 48000, 48000}, Case{48000, 48000, 44100, 44100},
                         Case{1001, 96000, 48000, 500}, Case{100000, 44100, 48000, 108843}, Case{1, 44100, 48000, 1},
                         Case{1, 48000, 44100, 0}, Case{0, 44100, 48000, 0}, Case{12345, 16000, 48000, 37035}}) {
        SCOPED_TRACE(std::to_string(c.length) + " samples from " + std::to_string(c.from) + " to " +
                     std::to_string(c.to));
        const AudioStream output =
            mono(sine(440, 44100, c.length), c.from).resampled(c.to, Algorithm::mastering, AudioQuality::maximum);
        EXPECT_EQ(output.length(), c.expected);
        EXPECT_EQ(output.sampleRate(), c.to);
        EXPECT_EQ(output.channels().at(0).sampleRate, c.to);
    }
    const std::vector<float> noise = test::noise(20000, 0.5f);
    const AudioStream same = mono(noise, 48000).resampled(48000, Algorithm::normal, AudioQuality::maximum);
    EXPECT_LT(largestDifference(same.channels()[0].samples, noise), 1e-6f) << "at the same rate";
}

// The linear-phase algorithms give the analytic sine at the new rate and
// keep an impulse at its time.
TEST(Resampling, LinearPhaseAlgorithmsKeepTheSignalInTime) {
    const AudioStream input = mono(sine(1000, 44100, 44100), 44100);
    const auto expected = sine(1000, 48000, 48000);
    std::vector<float> impulse(44100, 0.0f);
    impulse[22050] = 1.0f;  // at half a second
    for (const Algorithm algorithm : {Algorithm::normal, Algorithm::mastering}) {
        SCOPED_TRACE(static_cast<int>(algorithm));
        const auto output = input.resampled(48000, algorithm, AudioQuality::maximum).channels()[0].samples;
        // Up to 500 samples (about 10 ms) from either end, where the cut-off sine rings.
        EXPECT_LT(largestDifference({output.begin() + 500, output.end() - 500},
                                    {expected.begin() + 500, expected.end() - 500}),
                  1e-5f);
        for (const std::int64_t rate : {16000, 48000, 96000}) {
            const auto moved =
                mono(impulse, 44100).resampled(rate, algorithm, AudioQuality::high).channels()[0].samples;
            const auto peak = std::max_element(moved.begin(), moved.end()) - moved.begin();
            EXPECT_NEAR(double(peak), double(rate) / 2, 1.0) << "to " << rate;
        }
    }
}

// Every algorithm and quality: the exact length, the level of a low tone,
// and nothing of a channel's beginning fed again after its end.
TEST(Resampling, EveryAlgorithmAndQualityPassesALowToneAndEndsInSilence) {
    std::vector<float> burst(8000, 0.0f);
    for (std::size_t index = 0; index < 200; ++index) burst[index] = index % 2 ? 0.9f : -0.9f;
    for (const Algorithm algorithm : {Algorithm::normal, Algorithm::mastering, Algorithm::minimumPhase}) {
        for (const AudioQuality quality : {AudioQuality::minimum, AudioQuality::low, AudioQuality::medium,
                                           AudioQuality::high, AudioQuality::maximum}) {
            SCOPED_TRACE(std::to_string(static_cast<int>(algorithm)) + "/" + std::to_string(static_cast<int>(quality)));
            const auto output =
                mono(sine(500, 44100, 4410), 44100).resampled(32000, algorithm, quality).channels()[0].samples;
            ASSERT_EQ(output.size(), 3200u);
            double energy = 0;
            for (std::size_t index = 400; index < 2800; ++index) energy += double(output[index]) * output[index];
            EXPECT_NEAR(std::sqrt(energy / 2400), 0.5 / std::sqrt(2.0), 0.01);
        }
        const auto output = mono(burst, 44100).resampled(48000, algorithm, AudioQuality::maximum).channels()[0].samples;
        const auto tail = std::minmax_element(output.end() - 1000, output.end());
        EXPECT_LT(std::max(-*tail.first, *tail.second), 1e-5f) << static_cast<int>(algorithm);
    }
}

TEST(Resampling, ChannelsConvertFromTheirOwnRatesInOrderAndKeepTheLayout) {
    const detail::ChannelLayout layout{{0, 1}};
    const AudioStream input = makeStream(
        {Channel(44100, sine(440, 44100, 4410)), Channel(22050, std::vector<float>(2205, 0.0f))}, 44100, layout);
    const AudioStream output = input.resampled(48000, Algorithm::normal, AudioQuality::medium);
    ASSERT_EQ(output.channels().size(), 2u);
    EXPECT_EQ(output.channels()[0].samples.size(), 4800u);
    EXPECT_EQ(output.channels()[1].samples.size(), 4800u);
    EXPECT_GT(*std::max_element(output.channels()[0].samples.begin(), output.channels()[0].samples.end()), 0.4f);
    EXPECT_EQ(layoutOf(output), layout);

    const AudioStream none = makeStream({}, 48000, layout).resampled(44100, Algorithm::normal, AudioQuality::low);
    EXPECT_TRUE(none.channels().empty());
    EXPECT_EQ(none.sampleRate(), 44100);
    EXPECT_EQ(layoutOf(none), layout);
}

TEST(Resampling, ImpossibleRatesAndLengthsAreResampleErrors) {
    const AudioStream input = mono(sine(440, 44100, 100), 44100);
    const auto failure = [](const AudioStream& stream, std::int64_t rate) {
        const AudioError error =
            expectAudioError([&] { static_cast<void>(stream.resampled(rate, Algorithm::normal, AudioQuality::low)); });
        EXPECT_EQ(error.failedOperation(), AudioError::Operation::resampleAudioStream);
        const auto base = baseAs<AudioServiceError>(error);
        return base ? std::optional(base->code()) : std::nullopt;
    };
    EXPECT_EQ(failure(input, 0), AudioServiceError::Code::failedToConstructFormat);
    EXPECT_EQ(failure(makeStream({Channel(-8000, {0.5f})}, 8000), 48000),
              AudioServiceError::Code::failedToConstructFormat);
    EXPECT_EQ(failure(input, std::int64_t{1} << 40),
              AudioServiceError::Code::failedToConstructBuffer);  // too many frames
}

}  // namespace
}  // namespace vesh
