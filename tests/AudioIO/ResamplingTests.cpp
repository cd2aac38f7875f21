// Resampling: exact lengths, time alignment, the end of a channel, and every
// algorithm and quality.

#include <gtest/gtest.h>

#include <cmath>

#include "TestSupport.h"

namespace vesh {
namespace {

using namespace audiotest;
using Channel = AudioStream::Channel;
using Algorithm = SampleRateConverterAlgorithm;

AudioStream mono(std::vector<float> samples, std::int64_t rate) {
    return testing::makeAudioStream({Channel(rate, std::move(samples))}, rate);
}

TEST(Resampling, OutputHoldsTheWholePartOfTheConvertedLength) {
    struct Case {
        std::size_t length;
        std::int64_t from, to, expected;
    };
    for (const Case c : {Case{44100, 44100, 48000, 48000}, Case{48000, 48000, 44100, 44100},
                         Case{1001, 96000, 48000, 500}, Case{100000, 44100, 48000, 108843}, Case{1, 44100, 48000, 1},
                         Case{1, 48000, 44100, 0}, Case{0, 44100, 48000, 0}, Case{12345, 16000, 48000, 37035}}) {
        const AudioStream output =
            mono(sine(440, 44100, c.length), c.from).resampled(c.to, Algorithm::mastering, AudioQuality::maximum);
        EXPECT_EQ(output.length(), c.expected) << c.length << " samples from " << c.from << " to " << c.to;
        EXPECT_EQ(output.sampleRate(), c.to);
        EXPECT_EQ(output.channels().at(0).sampleRate, c.to);
    }
}

TEST(Resampling, SameRateKeepsTheSamples) {
    std::vector<float> noise(20000);
    std::uint32_t state = 1;
    for (float& sample : noise) sample = float((state = state * 1664525u + 1013904223u) >> 8) / 16777216.0f - 0.5f;
    const AudioStream output = mono(noise, 48000).resampled(48000, Algorithm::normal, AudioQuality::maximum);
    EXPECT_LT(largestDifference(output.channels()[0].samples, noise), 1e-6f);
}

TEST(Resampling, SineMatchesTheAnalyticSineAtTheNewRate) {
    const AudioStream input = mono(sine(1000, 44100, 44100), 44100);
    const auto expected = sine(1000, 48000, 48000);
    for (const Algorithm algorithm : {Algorithm::normal, Algorithm::mastering}) {
        const auto output = input.resampled(48000, algorithm, AudioQuality::maximum).channels()[0].samples;
        // Up to 500 samples (about 10 ms) from either end, where the cut-off sine rings.
        EXPECT_LT(largestDifference({output.begin() + 500, output.end() - 500},
                                    {expected.begin() + 500, expected.end() - 500}),
                  1e-5f);
    }
}

TEST(Resampling, ImpulseStaysAtTheSameTime) {
    std::vector<float> impulse(44100, 0.0f);
    impulse[22050] = 1.0f;  // at half a second
    for (const Algorithm algorithm : {Algorithm::normal, Algorithm::mastering}) {
        for (const std::int64_t rate : {16000, 48000, 96000}) {
            const auto output =
                mono(impulse, 44100).resampled(rate, algorithm, AudioQuality::high).channels()[0].samples;
            const auto peak = std::max_element(output.begin(), output.end()) - output.begin();
            EXPECT_NEAR(double(peak), double(rate) / 2, 1.0) << static_cast<int>(algorithm) << " to " << rate;
        }
    }
}

TEST(Resampling, NothingFromTheBeginningReappearsAfterTheEnd) {
    std::vector<float> samples(8000, 0.0f);
    for (std::size_t index = 0; index < 200; ++index) samples[index] = index % 2 ? 0.9f : -0.9f;
    for (const Algorithm algorithm : {Algorithm::normal, Algorithm::mastering, Algorithm::minimumPhase}) {
        const auto output =
            mono(samples, 44100).resampled(48000, algorithm, AudioQuality::maximum).channels()[0].samples;
        const float tail = std::abs(*std::max_element(output.end() - 1000, output.end(),
                                                      [](float a, float b) { return std::abs(a) < std::abs(b); }));
        EXPECT_LT(tail, 1e-5f) << static_cast<int>(algorithm);
    }
}

TEST(Resampling, EveryAlgorithmAndQualityGivesTheExactLengthAndPassesALowTone) {
    for (const Algorithm algorithm : {Algorithm::normal, Algorithm::mastering, Algorithm::minimumPhase}) {
        for (const AudioQuality quality : {AudioQuality::minimum, AudioQuality::low, AudioQuality::medium,
                                           AudioQuality::high, AudioQuality::maximum}) {
            const auto output =
                mono(sine(500, 44100, 4410), 44100).resampled(32000, algorithm, quality).channels()[0].samples;
            ASSERT_EQ(output.size(), 3200u);
            double energy = 0;
            for (std::size_t index = 400; index < 2800; ++index) energy += double(output[index]) * output[index];
            EXPECT_NEAR(std::sqrt(energy / 2400), 0.5 / std::sqrt(2.0), 0.01)
                << static_cast<int>(algorithm) << "/" << static_cast<int>(quality);
        }
    }
}

TEST(Resampling, ChannelsConvertFromTheirOwnRatesInOrderAndKeepTheLayout) {
    const detail::ChannelLayout layout{{0, 1}};
    const AudioStream input = detail::AudioStreamAccess::make(
        {Channel(44100, sine(440, 44100, 4410)), Channel(22050, std::vector<float>(2205, 0.0f))}, 44100, layout);
    const AudioStream output = input.resampled(48000, Algorithm::normal, AudioQuality::medium);
    ASSERT_EQ(output.channels().size(), 2u);
    EXPECT_EQ(output.channels()[0].samples.size(), 4800u);
    EXPECT_EQ(output.channels()[1].samples.size(), 4800u);
    EXPECT_GT(*std::max_element(output.channels()[0].samples.begin(), output.channels()[0].samples.end()), 0.4f);
    EXPECT_EQ(detail::AudioStreamAccess::channelLayout(output), layout);

    const AudioStream none =
        detail::AudioStreamAccess::make({}, 48000, layout).resampled(44100, Algorithm::normal, AudioQuality::low);
    EXPECT_TRUE(none.channels().empty());
    EXPECT_EQ(none.sampleRate(), 44100);
    EXPECT_EQ(detail::AudioStreamAccess::channelLayout(none), layout);
}

TEST(Resampling, ImpossibleRatesAndLengthsAreResampleErrors) {
    const AudioStream input = mono(sine(440, 44100, 100), 44100);
    const auto failure = [](const AudioStream& stream, std::int64_t rate) {
        const AudioError error =
            expectAudioError([&] { static_cast<void>(stream.resampled(rate, Algorithm::normal, AudioQuality::low)); });
        EXPECT_EQ(error.failedOperation(), AudioError::Operation::resampleAudioStream);
        return baseAs<AudioServiceError>(error)
            .value_or(AudioServiceError(AudioServiceError::Code::missingFloatChannelData))
            .code();
    };
    EXPECT_EQ(failure(input, 0), AudioServiceError::Code::failedToConstructFormat);
    EXPECT_EQ(failure(testing::makeAudioStream({Channel(-8000, {0.5f})}, 8000), 48000),
              AudioServiceError::Code::failedToConstructFormat);
    EXPECT_EQ(failure(input, std::int64_t{1} << 40),
              AudioServiceError::Code::failedToConstructBuffer);  // too many frames
}

}  // namespace
}  // namespace vesh
