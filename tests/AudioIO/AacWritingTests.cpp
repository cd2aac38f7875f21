// Writing AAC sources in their own format: AAC in an MPEG-4 or ADTS file,
// at the source's rate, channels and bit rate, aligned with the samples
// written once decoded, and under the writer's commit rules.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>
#include <random>

#include "AudioIO/AudioFileWriter.h"
#include "TestSupport.h"

namespace vesh {
namespace {

using namespace audiotest;
using BitDepth = CommonAudioFileFormat::BitDepth;
using FileType = CommonAudioFileFormat::FileType;

struct AacCase {
    std::string name, arguments;
    std::string majorBrand;  // of the MPEG-4 file; empty for ADTS
    int rate, channels;
};
std::ostream& operator<<(std::ostream& stream, const AacCase& c) { return stream << c.name; }

const AacCase aacCases[] = {
    {"stereo.m4a", twoSines(44100, "1") + " -c:a aac -b:a 128k", "M4A ", 44100, 2},
    {"mono.mp4", "-f lavfi -i sine=frequency=300:sample_rate=48000:duration=1 -c:a aac -b:a 96k", "isom", 48000, 1},
    {"adts.aac", twoSines(32000, "1") + " -c:a aac -b:a 128k", "", 32000, 2},
};

// Tones that start at a tenth of a second, so that a decoded copy shifted
// by any number of samples no longer matches.
std::vector<std::vector<float>> gatedTones(int rate, int channels, std::size_t length) {
    std::vector<std::vector<float>> signal;
    for (int channel = 0; channel < channels; ++channel) {
        std::vector<float> tone = sine(channel == 0 ? 440 : 997, rate, length, channel == 0 ? 0.5 : 0.3);
        std::fill(tone.begin(), tone.begin() + rate / 10, 0.0f);
        signal.push_back(std::move(tone));
    }
    return signal;
}

class AacSameFormat : public ::testing::TestWithParam<AacCase> {};

TEST_P(AacSameFormat, WritesAacInTheSourcesContainerAlignedWithTheSamplesWritten) {
    const AacCase& c = GetParam();
    const auto source = fixture("aac-" + c.name, c.arguments);
    const AudioFile sourceFile(source);
    TemporaryFolder folder;
    const auto target = folder / ("out" + source.extension().string());
    const CommonAudioFileFormat fallback{BitDepth::sixteen, FileType::wav};
    EXPECT_EQ(AudioFileWriter::locationMatching(target, sourceFile, fallback), target);

    const std::size_t length = std::size_t(c.rate) * 3 / 2 + 123;
    const auto signal = gatedTones(c.rate, c.channels, length);
    AudioFileWriter writer(target, sourceFile, c.rate, fallback, std::int64_t(length));
    EXPECT_EQ(writer.location(), target);
    writeInBlocks(writer, signal, 777);  // no multiple of the encoder's frame
    EXPECT_TRUE(entries(folder.path()).size() == 1 && entries(folder.path())[0] != target.filename());
    ASSERT_EQ(writer.commit(), target);
    EXPECT_FALSE(writer.clipping());
    EXPECT_GE(writer.estimatedSize(), std::filesystem::file_size(target));
    EXPECT_EQ(entries(folder.path()), std::vector<std::string>{target.filename().string()});

    EXPECT_EQ(probe(target, "stream=codec_name"), std::vector<std::string>{"aac"});
    EXPECT_EQ(probe(target, "stream=sample_rate"), std::vector<std::string>{std::to_string(c.rate)});
    EXPECT_EQ(probe(target, "stream=channels"), std::vector<std::string>{std::to_string(c.channels)});
    const bool adts = c.majorBrand.empty();
    EXPECT_EQ(probe(target, "format=format_name"), std::vector<std::string>{adts ? "aac" : "mov,mp4,m4a,3gp,3g2,mj2"});
    if (!adts) {
        EXPECT_EQ(probe(target, "format_tags=major_brand"), std::vector<std::string>{c.majorBrand});
    }

    const AudioStream copy(target);
    ASSERT_EQ(copy.channels().size(), std::size_t(c.channels));
    EXPECT_NEAR(double(copy.length()), double(length), 1024);
    for (int channel = 0; channel < c.channels; ++channel) {
        EXPECT_GE(signalToNoiseDecibels(signal[channel], copy.channels()[channel].samples), 20) << channel;
    }
}

INSTANTIATE_TEST_SUITE_P(AudioFileWriting, AacSameFormat, ::testing::ValuesIn(aacCases),
                         [](const auto& info) { return caseName(info.param.name); });

TEST(AudioFileWriting, AacOutputsAppearOnlyOnACommitThatFindsTheirPlaceFree) {
    const AudioFile source(fixture("aac-" + aacCases[0].name, aacCases[0].arguments));
    TemporaryFolder folder;
    std::vector<float> samples = sine(440, 44100, 4410, 0.25);
    samples[100] = std::numeric_limits<float>::quiet_NaN();
    samples[200] = std::numeric_limits<float>::infinity();
    samples[300] = -std::numeric_limits<float>::infinity();
    const std::vector<std::span<const float>> block(2, samples);
    {
        AudioFileWriter abandoned(folder / "gone.m4a", source, 44100, std::nullopt, 44100);
        abandoned.write(block);
        EXPECT_EQ(entries(folder.path()).size(), 1u);
    }
    EXPECT_TRUE(entries(folder.path()).empty());

    writeBytes(folder / "taken.m4a", {'o', 'l', 'd'});
    {
        AudioFileWriter writer(folder / "taken.m4a", source, 44100, std::nullopt);
        EXPECT_EQ(writer.estimatedSize(), 0u);
        writer.write(block);
        EXPECT_FALSE(writer.commit());
        EXPECT_EQ(readBytes(folder / "taken.m4a"), (std::vector<char>{'o', 'l', 'd'}));
        EXPECT_EQ(writer.commitReplacing(), folder / "taken.m4a");
    }
    EXPECT_EQ(entries(folder.path()), std::vector<std::string>{"taken.m4a"});
    // Non-finite samples are encoded as silence, not as a burst.
    const AudioStream copy(folder / "taken.m4a");
    float peak = 0;
    for (const float sample : copy.channels()[0].samples) peak = std::max(peak, std::abs(sample));
    EXPECT_LT(peak, 0.4f);

    const AudioError missing =
        expectAudioError([&] { AudioFileWriter(folder / "none" / "a.m4a", source, 44100, std::nullopt); });
    EXPECT_EQ(missing.failedOperation(), AudioError::Operation::writeAudioFile);
    EXPECT_EQ(entries(folder.path()), std::vector<std::string>{"taken.m4a"});
}

TEST(AudioFileWritingFailures, AacOutputOnAFullDiskKeepsTheOldFileAndLeavesNoPartialOne) {
    const AudioFile source(fixture("aac-" + aacCases[0].name, aacCases[0].arguments));
    TemporaryFolder folder;
    const SmallDisk disk(folder / "disk", "64k");
    if (!disk.mounted()) GTEST_SKIP() << "mounting a file system is not permitted here";
    writeBytes(disk / "take.m4a", {'o', 'l', 'd'});
    // Ten seconds of white noise at the source's 128 kbit/s take about 160 kB.
    std::mt19937 generator(7);
    std::uniform_real_distribution<float> uniform(-0.3f, 0.3f);
    std::vector<float> noise(441000);
    for (float& sample : noise) sample = uniform(generator);
    const AudioError full = expectAudioError([&] {
        AudioFileWriter writer(disk / "take.m4a", source, 44100, std::nullopt);
        writer.write(std::vector<std::span<const float>>(2, noise));
        writer.commitReplacing();
    });
    EXPECT_EQ(full.failedOperation(), AudioError::Operation::writeAudioFile);
    EXPECT_EQ(baseAs<AudioLibraryError>(full)->code(), ENOSPC);
    EXPECT_EQ(readBytes(disk / "take.m4a"), (std::vector<char>{'o', 'l', 'd'}));
    EXPECT_EQ(entries(disk.path()), std::vector<std::string>{"take.m4a"});
}

// An MPEG-4 file with video is copied with its video (VideoWritingTests);
// one in a container that is not written, or AAC at another rate, or an
// audio-only source in a QuickTime name falls back.
TEST(AudioFileWriting, AacOnlyWhereTheOutputCanStandInForTheSource) {
    const std::string movie = "-f lavfi -i testsrc=size=64x48:rate=10:duration=1 " + twoSines(44100, "1");
    const AudioFile mpeg4Movie(fixture("aac-movie.mp4", movie + " -c:v mpeg4 -c:a aac"));
    const AudioFile aviMovie(fixture("mp3-movie.avi", movie + " -c:v mpeg4 -c:a libmp3lame"));
    const CommonAudioFileFormat fallback{BitDepth::twentyFour, FileType::flac};
    TemporaryFolder folder;
    EXPECT_EQ(AudioFileWriter::locationMatching(folder / "movie.mp4", mpeg4Movie, fallback), folder / "movie.mp4");
    EXPECT_EQ(AudioFileWriter::locationMatching(folder / "movie.avi", aviMovie, fallback), folder / "movie.flac");
    const AudioFile source(fixture("aac-" + aacCases[0].name, aacCases[0].arguments));
    EXPECT_EQ(AudioFileWriter::locationMatching(folder / "out.mov", source, fallback), folder / "out.flac");
    const AudioFileWriter faster(folder / "out.m4a", source, 48000, fallback);
    EXPECT_EQ(faster.location(), folder / "out.flac");
}

}  // namespace
}  // namespace vesh
