// Writing in the common formats and in the source's format with its
// fallback; a failed write leaves nothing behind.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <limits>
#include <thread>

#include "AudioIO/AudioFileWriter.h"
#include "AudioIO/TemporaryFiles.h"
#include "OutputSize.h"
#include "ReplacementFile.h"
#include "TestSupport.h"

namespace vesh {
namespace {

using namespace audiotest;
using BitDepth = CommonAudioFileFormat::BitDepth;
using FileType = CommonAudioFileFormat::FileType;
using Channel = AudioStream::Channel;

constexpr int formatCode = SF_FORMAT_TYPEMASK | SF_FORMAT_SUBMASK;

AudioStream testStream(std::size_t length = 4410, std::int64_t rate = 44100) {
    auto left = sine(440, double(rate), length, 0.9);
    auto right = sine(1000, double(rate), length, 0.5);
    left[0] = -1.0f;
    right[0] = 0.999f;
    return makeStream({Channel(rate, left), Channel(rate, right)}, rate);
}

struct CommonCase {
    CommonAudioFileFormat format;
    int expectedFormat;
    float tolerance;
};

const CommonCase commonCases[] = {
    {{BitDepth::sixteen, FileType::wav}, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1.0f / 32768},
    {{BitDepth::twentyFour, FileType::wav}, SF_FORMAT_WAV | SF_FORMAT_PCM_24, 1.0f / 8388608},
    {{BitDepth::thirtyTwo, FileType::wav}, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0},
    {{BitDepth::sixteen, FileType::aiff}, SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 1.0f / 32768},
    {{BitDepth::twentyFour, FileType::aiff}, SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 1.0f / 8388608},
    {{BitDepth::thirtyTwo, FileType::aiff}, SF_FORMAT_AIFF | SF_FORMAT_FLOAT, 0},
    {{BitDepth::sixteen, FileType::flac}, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1.0f / 32768},
    {{BitDepth::twentyFour, FileType::flac}, SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 1.0f / 8388608},
    {{BitDepth::thirtyTwo, FileType::flac}, SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 1.0f / 8388608},  // no float FLAC
};

class CommonFormatWriting : public ::testing::TestWithParam<CommonCase> {};

TEST_P(CommonFormatWriting, ReadsBackTheSameSamplesWithinTheFormatsPrecision) {
    const CommonCase& c = GetParam();
    TemporaryFolder folder;
    const auto file = folder / ("out." + c.format.pathExtension());
    const AudioStream stream = testStream(48000, 48000);
    stream.write(file, c.format);
    const SF_INFO info = sndfileInfo(file);
    EXPECT_EQ(info.format & formatCode, c.expectedFormat);
    EXPECT_EQ(info.frames, 48000);
    EXPECT_EQ(info.samplerate, 48000);
    const AudioStream readBack(file);
    ASSERT_EQ(readBack.channels().size(), 2u);
    for (std::size_t channel = 0; channel < 2; ++channel) {
        EXPECT_LE(largestDifference(stream.channels()[channel].samples, readBack.channels()[channel].samples),
                  c.tolerance);
    }
    EXPECT_EQ(entries(folder.path()), std::vector<std::string>{file.filename().string()});
}

INSTANTIATE_TEST_SUITE_P(AudioFileWriting, CommonFormatWriting, ::testing::ValuesIn(commonCases), [](const auto& info) {
    return info.param.format.pathExtension() + std::to_string(static_cast<int>(info.param.format.bitDepth));
});

TEST(AudioFileWriting, NonFiniteSamplesBecomeSilenceAndLoudSamplesClip) {
    TemporaryFolder folder;
    const float infinity = std::numeric_limits<float>::infinity();
    const AudioStream stream = makeStream(
        {Channel(8000, {std::numeric_limits<float>::quiet_NaN(), infinity, -infinity, 1.5f, -1.5f, 0.25f})}, 8000);
    stream.write(folder / "int.wav", {BitDepth::sixteen, FileType::wav});
    stream.write(folder / "float.wav", {BitDepth::thirtyTwo, FileType::wav});
    EXPECT_EQ(AudioStream(folder / "int.wav").channels()[0].samples,
              (std::vector<float>{0, 0, 0, 32767.0f / 32768, -1, 0.25f}));
    EXPECT_EQ(AudioStream(folder / "float.wav").channels()[0].samples,
              (std::vector<float>{0, 0, 0, 1.5f, -1.5f, 0.25f}));
}

TEST(AudioFileWriting, ClippedSamplesOfIntegerOutputsAreCountedWithTheirPeak) {
    TemporaryFolder folder;
    const AudioFile source(fixture("mono8k.wav", "-f lavfi -i sine=sample_rate=8000:duration=0.1 -c:a pcm_s16le"));
    const std::vector<float> loud = {0.5f, 1.0f, 1.5f, -2.0f, 0.25f};
    const auto clippingOf = [&](CommonAudioFileFormat format) {
        AudioFileWriter writer(folder / ("out." + format.pathExtension()), format, source, 8000);
        const std::span<const float> channel(loud);
        writer.write(std::span(&channel, 1));
        writer.commit();
        return writer.clipping();
    };
    for (const CommonAudioFileFormat format : {CommonAudioFileFormat{BitDepth::sixteen, FileType::wav},
                                               CommonAudioFileFormat{BitDepth::twentyFour, FileType::flac}}) {
        const auto clipping = clippingOf(format);
        ASSERT_TRUE(clipping) << format.pathExtension();
        EXPECT_EQ(clipping->clippedSamples, 2);
        EXPECT_NEAR(clipping->peakDecibels, 6.02, 0.01);
    }
    EXPECT_FALSE(clippingOf({BitDepth::thirtyTwo, FileType::aiff}));
}

TEST(AudioFileWriting, ReplacedFileKeepsItsPermissionsButNoSpecialBits) {
    using std::filesystem::perms;
    TemporaryFolder folder;
    writeBytes(folder / "old.wav", {'o', 'l', 'd'});
    const auto permissions = perms::owner_read | perms::owner_write | perms::owner_exec | perms::group_read;
    std::filesystem::permissions(folder / "old.wav", permissions | perms::set_uid | perms::set_gid | perms::sticky_bit);
    testStream().write(folder / "old.wav", {BitDepth::sixteen, FileType::wav});
    EXPECT_EQ(sndfileInfo(folder / "old.wav").frames, 4410);
    EXPECT_EQ(std::filesystem::status(folder / "old.wav").permissions(), permissions);
}

TEST(AudioFileWritingFailures, RefusedStreamsAndUnusableLocationsLeaveEverythingAsItWas) {
    TemporaryFolder folder;
    writeBytes(folder / "keep.wav", {'o', 'l', 'd'});
    writeBytes(folder / "plain file", {'x'});
    std::filesystem::create_directory(folder / "taken.wav");
    const CommonAudioFileFormat format{BitDepth::sixteen, FileType::wav};

    const AudioError noChannels = expectAudioError([&] { makeStream({}, 44100).write(folder / "keep.wav", format); });
    EXPECT_EQ(noChannels.failedOperation(), AudioError::Operation::writeAudioFile);
    EXPECT_EQ(baseAs<AudioServiceError>(noChannels)->code(), AudioServiceError::Code::failedToConstructFormat);
    const AudioStream ragged = makeStream({Channel(8000, {1, 2}), Channel(8000, {1})}, 8000);
    EXPECT_TRUE(baseAs<std::invalid_argument>(expectAudioError([&] { ragged.write(folder / "keep.wav", format); })));
    expectAudioError([&] { makeStream({Channel(0, {0.5f})}, 0).write(folder / "keep.wav", format); });

    const auto systemError = [&](const std::filesystem::path& target) {
        const auto base = baseAs<AudioLibraryError>(expectAudioError([&] { testStream().write(target, format); }));
        return base ? base->code() : 0;
    };
    EXPECT_EQ(systemError(folder / "none" / "a.wav"), ENOENT);
    EXPECT_EQ(systemError(folder / "plain file" / "a.wav"), ENOTDIR);
    systemError(folder / "taken.wav");

    EXPECT_EQ(readBytes(folder / "keep.wav"), (std::vector<char>{'o', 'l', 'd'}));
    EXPECT_EQ(entries(folder.path()), (std::vector<std::string>{"keep.wav", "plain file", "taken.wav"}));
}

TEST(AudioFileWritingFailures, FullOrReadOnlyDiskKeepsTheOldFileAndLeavesNoPartialOne) {
    TemporaryFolder folder;
    const SmallDisk disk(folder / "disk", "64k");
    if (!disk.mounted()) GTEST_SKIP() << "mounting a file system is not permitted here";
    writeBytes(disk / "take.wav", {'o', 'l', 'd'});
    const AudioError full = expectAudioError([&] {
        testStream(441000).write(disk / "take.wav", {BitDepth::thirtyTwo, FileType::wav});
    });
    EXPECT_EQ(full.failedOperation(), AudioError::Operation::writeAudioFile);
    EXPECT_EQ(readBytes(disk / "take.wav"), (std::vector<char>{'o', 'l', 'd'}));
    EXPECT_EQ(entries(disk.path()), std::vector<std::string>{"take.wav"});

    ASSERT_TRUE(disk.makeReadOnly());
    const AudioError readOnly = expectAudioError([&] {
        testStream().write(disk / "new.wav", {BitDepth::sixteen, FileType::wav});
    });
    EXPECT_EQ(baseAs<AudioLibraryError>(readOnly)->code(), EROFS);
}

std::string stereo(int rate = 44100) { return twoSines(rate, "0.5"); }

struct MatchingCase {
    std::string name, arguments;
    float tolerance;  // negative: lossy, samples not compared
};
std::ostream& operator<<(std::ostream& stream, const MatchingCase& c) { return stream << c.name; }

const MatchingCase matchingCases[] = {
    {"u8.wav", stereo() + " -c:a pcm_u8", 1.0f / 128},
    {"s16.wav", stereo() + " -c:a pcm_s16le", 1.0f / 32768},
    {"s24.wav", stereo() + " -c:a pcm_s24le", 1.0f / 8388608},
    {"s32.wav", stereo() + " -c:a pcm_s32le", 1e-7f},
    {"f32.wav", stereo() + " -c:a pcm_f32le", 0},
    {"f64.wav", stereo() + " -c:a pcm_f64le", 0},
    {"s8.aif", stereo() + " -c:a pcm_s8", 1.0f / 128},
    {"s16.aif", stereo(22050) + " -c:a pcm_s16be", 1.0f / 32768},
    {"f32.aif", stereo() + " -c:a pcm_f32be", 0},
    {"s16.flac", stereo() + " -c:a flac -sample_fmt s16", 1.0f / 32768},
    {"s24.flac", stereo(96000) + " -c:a flac -sample_fmt s32", 1.0f / 8388608},
    {"lame.mp3", stereo() + " -c:a libmp3lame", -1},
    {"vorbis.ogg", stereo() + " -c:a libvorbis", -1},
    {"speech.opus", stereo(48000) + " -c:a libopus", -1},
};

class MatchingWrite : public ::testing::TestWithParam<MatchingCase> {};

TEST_P(MatchingWrite, ReproducesTheStoredFormatOfTheSource) {
    const auto source = fixture("source-" + GetParam().name, GetParam().arguments);
    TemporaryFolder folder;
    const auto target = folder / ("copy" + source.extension().string());
    const AudioFile sourceFile(source);
    const AudioStream stream(sourceFile);
    EXPECT_EQ(stream.write(target, sourceFile, CommonAudioFileFormat{BitDepth::sixteen, FileType::wav}), target);
    EXPECT_EQ(sndfileInfo(target).format & formatCode, sndfileInfo(source).format & formatCode);
    EXPECT_EQ(sndfileInfo(target).samplerate, sourceFile.sampleRate());
    if (GetParam().tolerance >= 0) {
        const AudioStream copy(target);
        for (std::size_t channel = 0; channel < 2; ++channel) {
            EXPECT_LE(largestDifference(stream.channels()[channel].samples, copy.channels()[channel].samples),
                      GetParam().tolerance);
        }
    }
    EXPECT_EQ(entries(folder.path()), std::vector<std::string>{target.filename().string()});
}

INSTANTIATE_TEST_SUITE_P(AudioFileWriting, MatchingWrite, ::testing::ValuesIn(matchingCases),
                         [](const auto& info) { return caseName(info.param.name); });

// With the source's format, a lossy output keeps at least the source's bit
// rate, and not much more: a constant one exactly, a variable one on average
// or, for Vorbis, by its nominal rate.
TEST(AudioFileWriting, LossyOutputsMatchingTheSourceKeepItsBitRate) {
    struct Case {
        std::string name, arguments, entry;
    };
    const Case cases[] = {
        {"cbr.mp3", pinkNoise(44100) + " -c:a libmp3lame -b:a 128k", "stream=bit_rate"},
        {"cbr48.mp3", pinkNoise(48000) + " -c:a libmp3lame -b:a 192k", "stream=bit_rate"},
        {"vbr.mp3", pinkNoise(44100) + " -c:a libmp3lame -q:a 3", "format=bit_rate"},
        {"q7.ogg", pinkNoise(44100) + " -c:a libvorbis -q:a 7", "stream=bit_rate"},
        {"opus.opus", pinkNoise(48000) + " -c:a libopus -b:a 160k", "format=bit_rate"},
        {"noise.m4a", pinkNoise(44100) + " -c:a aac -b:a 96k", "stream=bit_rate"},
        {"noise192.m4a", pinkNoise(48000) + " -c:a aac -b:a 192k", "stream=bit_rate"},
        {"noise.aac", pinkNoise(44100) + " -c:a aac -b:a 128k", "format=bit_rate"},
    };
    TemporaryFolder folder;
    for (const Case& c : cases) {
        const auto source = fixture("rate-" + c.name, c.arguments);
        const auto target = folder / ("copy-" + c.name);
        const AudioFile sourceFile(source);
        EXPECT_EQ(AudioStream(sourceFile).write(target, sourceFile, std::nullopt), target);
        const double sourceRate = std::stod(probe(source, c.entry).at(0));
        const double copyRate = std::stod(probe(target, c.entry).at(0));
        EXPECT_GE(copyRate, 0.98 * sourceRate) << c.name;
        EXPECT_LE(copyRate, 1.3 * sourceRate) << c.name;
    }
}

// Tags travel to every output that can hold them, the Broadcast WAV time
// reference moved to the output's rate.
TEST(AudioFileWriting, TagsAndTheBroadcastTimeReferenceTravelToTheOutput) {
    const std::string tags =
        " -metadata title=Interview -metadata artist='Ada L' -metadata album=Archive -metadata date=2024-05-01"
        " -metadata comment='second take' -metadata track=7";
    AudioMetadata expected{"Interview", "Ada L", "Archive", "2024-05-01", "second take", "7", "Field recorder", 441000};
    const AudioFile wav(fixture("tagged.wav", stereo() + tags +
                                                  " -metadata description='Field recorder' -metadata "
                                                  "time_reference=441000 -write_bext 1 -c:a pcm_s16le"));
    EXPECT_EQ(wav.metadata(), expected);

    TemporaryFolder folder;
    // Of a stereo file written with a tenth of a second of silence.
    const auto writtenTags = [](AudioFileWriter writer) {
        const std::vector<float> silence(4410);
        writer.write(std::vector<std::span<const float>>(2, silence));
        return AudioFile(writer.commit().value()).metadata();
    };
    expected.timeReference = 480000;
    EXPECT_EQ(writtenTags(AudioFileWriter(folder / "out.wav", {BitDepth::sixteen, FileType::wav}, wav, 48000)),
              expected);
    expected.description.clear();
    expected.timeReference.reset();
    EXPECT_EQ(writtenTags(AudioFileWriter(folder / "out.flac", {BitDepth::twentyFour, FileType::flac}, wav, 44100)),
              expected);

    // With the source's format: what the source had.
    for (const auto& [codec, extension] :
         {std::pair{"libmp3lame", "mp3"}, std::pair{"libvorbis", "ogg"}, std::pair{"aac", "m4a"}}) {
        const AudioFile source(fixture(std::string("tagged.") + extension, stereo() + tags + " -c:a " + codec));
        AudioMetadata copied = writtenTags(
            AudioFileWriter(folder / (std::string("same.") + extension), source, source.sampleRate(), std::nullopt));
        // ID3 as the MP3 encoder writes it holds the year alone.
        if (extension == std::string("mp3") && copied.date == "2024") copied.date = "2024-05-01";
        EXPECT_EQ(copied, source.metadata()) << extension;
        EXPECT_EQ(copied.title, "Interview") << extension;
    }
}

// What the source's format cannot hold (an encoder the writer lacks, another
// rate or channel count) is written in the fallback format under its extension.
TEST(AudioFileWriting, UnwritableSourceFormatFallsBackUnderTheFallbacksExtension) {
    TemporaryFolder folder;
    const AudioFile source(fixture("source.ac3", stereo() + " -c:a ac3"));
    const AudioStream stream(source);
    const auto written =
        stream.write(folder / "out.ac3", source, CommonAudioFileFormat{BitDepth::sixteen, FileType::wav});
    EXPECT_EQ(written, folder / "out.wav");
    // The source declares stereo, so the WAV header that keeps speaker positions is written.
    EXPECT_EQ(sndfileInfo(written).format & formatCode, SF_FORMAT_WAVEX | SF_FORMAT_PCM_16);
    EXPECT_EQ(sndfileInfo(written).frames, stream.length());
    const AudioError noFallback =
        expectAudioError([&] { static_cast<void>(stream.write(folder / "b.ac3", source, std::nullopt)); });
    EXPECT_EQ(baseAs<AudioError>(noFallback)->failedOperation(), AudioError::Operation::writeAudioFile);
    EXPECT_EQ(entries(folder.path()), std::vector<std::string>{"out.wav"});

    const AudioFile s24(fixture("source-" + matchingCases[2].name, matchingCases[2].arguments));
    const AudioStream pcm(s24);
    const auto faster = pcm.resampled(48000, SampleRateConverterAlgorithm::normal, AudioQuality::maximum)
                            .write(folder / "a.wav", s24, CommonAudioFileFormat{BitDepth::twentyFour, FileType::aiff});
    EXPECT_EQ(faster, folder / "a.aif");
    EXPECT_EQ(sndfileInfo(faster).samplerate, 48000);
    AudioStream mono = pcm;
    mono.channels().pop_back();
    EXPECT_EQ(mono.write(folder / "b.wav", s24, CommonAudioFileFormat{BitDepth::sixteen, FileType::flac}),
              folder / "b.flac");

    // A failed fallback is two write errors deep.
    const AudioError missing = expectAudioError([&] {
        static_cast<void>(
            mono.write(folder / "none" / "a.wav", s24, CommonAudioFileFormat{BitDepth::sixteen, FileType::wav}));
    });
    EXPECT_EQ(missing.failedOperation(), AudioError::Operation::writeAudioFile);
    const auto inner = baseAs<AudioError>(missing);
    ASSERT_TRUE(inner.has_value());
    EXPECT_EQ(inner->failedOperation(), AudioError::Operation::writeAudioFile);
    EXPECT_EQ(baseAs<AudioLibraryError>(*inner)->code(), ENOENT);
}

// Finished files are moved into place without replacing anything, by the
// no-replace rename or, where the file system has none, by a hard link.
int renameUnsupported(const char*, const char*) {
    errno = EINVAL;
    return -1;
}

class CommitWithoutReplacing : public ::testing::TestWithParam<int (*)(const char*, const char*)> {};

TEST_P(CommitWithoutReplacing, MovesToAFreeNameAndLeavesATakenOneAlone) {
    TemporaryFolder folder;
    writeBytes(folder / ".new", {'n', 'e', 'w'});
    EXPECT_TRUE(detail::moveWithoutReplacing(folder / ".new", folder / "take.wav", GetParam()));
    EXPECT_EQ(entries(folder.path()), std::vector<std::string>{"take.wav"});

    writeBytes(folder / ".newer", {'2'});
    EXPECT_FALSE(detail::moveWithoutReplacing(folder / ".newer", folder / "take.wav", GetParam()));
    EXPECT_EQ(readBytes(folder / "take.wav"), (std::vector<char>{'n', 'e', 'w'}));
    EXPECT_EQ(readBytes(folder / ".newer"), std::vector<char>{'2'});
}

INSTANTIATE_TEST_SUITE_P(AudioFileWriting, CommitWithoutReplacing,
                         ::testing::Values(&detail::renameWithoutReplacingCall, &renameUnsupported),
                         [](const auto& info) { return info.index == 0 ? "Rename" : "HardLink"; });

std::string thisHost() {
    char name[HOST_NAME_MAX + 1] = {};
    ::gethostname(name, HOST_NAME_MAX);
    return name;
}

TEST(AudioFileWriting, TemporaryFilesOfProcessesGoneFromThisHostAreRemoved) {
    TemporaryFolder folder;
    const auto makeTemporary = [&](const std::string& name) {
        std::string pattern = temporaryFileTemplate(folder / "", name);
        const int descriptor = ::mkstemps(pattern.data(), 4);
        EXPECT_GE(descriptor, 0);
        ::close(descriptor);
        return std::filesystem::path(pattern).filename().string();
    };
    // One made by a process that has ended, as if it had been killed while writing.
    const pid_t child = ::fork();
    if (child == 0) {
        makeTemporary("killed.wav");
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    const std::string live = makeTemporary(std::string(300, 'n'));
    EXPECT_LE(live.size(), 255u);
    EXPECT_NE(live.find(".vesh@" + thisHost() + "." + std::to_string(::getpid()) + "."), std::string::npos);
    const std::string otherHost = ".a.wav.vesh@elsewhere." + std::to_string(child) + ".abcdef.tmp";
    const std::string unknownOwner = ".b.wav.vesh-abcdef.tmp";
    writeBytes(folder / otherHost, {'x'});
    writeBytes(folder / unknownOwner, {'x'});
    writeBytes(folder / "c.wav", {'x'});
    ASSERT_EQ(entries(folder.path()).size(), 5u);

    EXPECT_EQ(removeAbandonedTemporaryFiles(folder / ""), 1u);
    std::vector<std::string> kept{live, otherHost, unknownOwner, "c.wav"};
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(entries(folder.path()), kept);
}

// Large files given up are freed by a background process: their names go
// at once and all their storage comes back.
TEST(AudioFileWriting, DiscardedLargeFilesAreFreedInFull) {
    TemporaryFolder folder;
    const SmallDisk disk(folder / "disk", "96m");
    if (!disk.mounted()) GTEST_SKIP() << "mounting a file system is not permitted here";
    const auto freeBytes = [&] {
        struct statvfs space {};
        ::statvfs(disk.path().c_str(), &space);
        return static_cast<std::uint64_t>(space.f_bavail) * space.f_frsize;
    };
    const std::uint64_t empty = freeBytes();
    const auto fill = [](int descriptor) {
        const std::vector<char> block(1 << 20, 'x');
        for (int k = 0; k < 40; ++k) ASSERT_EQ(::write(descriptor, block.data(), block.size()), 1 << 20);
    };
    const auto expectFreedSoon = [&] {
        for (int wait = 0; wait < 100 && freeBytes() < empty; ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        EXPECT_EQ(freeBytes(), empty);
    };

    const int named = ::open((disk / "named").c_str(), O_CREAT | O_WRONLY, 0600);
    fill(named);
    ::close(named);
    removeDiscarding(disk / "named");
    EXPECT_TRUE(entries(disk.path()).empty());
    expectFreedSoon();

    const int unnamed = ::open(disk.path().c_str(), O_TMPFILE | O_RDWR, 0600);
    ASSERT_GE(unnamed, 0);
    fill(unnamed);
    EXPECT_LT(freeBytes(), empty);
    closeDiscarding(unnamed);
    expectFreedSoon();
}

// The size decision for frames of 8 bytes (stereo 32-bit float).
TEST(AudioFileWriting, SizeDecisionSwitchesWavToRf64AndRefusesWhatAFileTypeCannotHold) {
    using detail::decideSize;
    using detail::SizeDecision;
    using Kind = detail::SizeLimitKind;
    const std::uint64_t hour = 3600ull * 192000;  // at 192 kHz: about 5.5 GB
    const std::uint64_t fourGiB = std::uint64_t{1} << 32;
    EXPECT_EQ(decideSize(Kind::wav, 8, hour / 2), SizeDecision::fits);
    EXPECT_EQ(decideSize(Kind::wav, 8, hour), SizeDecision::useLargeFileWav);
    // An announced length is no count: RF64 already short of 4 GiB, and when nothing is announced.
    EXPECT_EQ(decideSize(Kind::wav, 8, fourGiB / 8 - 1000), SizeDecision::useLargeFileWav);
    EXPECT_EQ(decideSize(Kind::wav, 8, std::nullopt), SizeDecision::useLargeFileWav);
    EXPECT_EQ(decideSize(Kind::thirtyTwoBitSizes, 8, hour / 2), SizeDecision::fits);
    EXPECT_EQ(decideSize(Kind::thirtyTwoBitSizes, 8, hour), SizeDecision::tooLarge);
    EXPECT_EQ(decideSize(Kind::thirtySixBitFrames, 8, 24 * hour), SizeDecision::fits);
    EXPECT_EQ(decideSize(Kind::thirtySixBitFrames, 8, std::uint64_t{1} << 36), SizeDecision::tooManyFrames);
    EXPECT_EQ(decideSize(Kind::none, 8, 24 * hour), SizeDecision::fits);
    // While writing, a WAV file longer than announced stops fitting at 4 GiB.
    EXPECT_TRUE(detail::stillFits(Kind::wav, 8, hour / 2));
    EXPECT_FALSE(detail::stillFits(Kind::wav, 8, fourGiB / 8));
}

TEST(AudioFileWriting, LongOutputsAreRf64OrRefusedBeforeAnythingIsWritten) {
    TemporaryFolder folder;
    testStream(100).write(folder / "source.wav", {BitDepth::twentyFour, FileType::wav});
    const AudioFile source(folder / "source.wav");
    const std::int64_t threeHours = 3 * 3600 * 192000;

    AudioFileWriter large(folder / "large.wav", {BitDepth::thirtyTwo, FileType::wav}, source, 44100, threeHours);
    EXPECT_EQ(large.estimatedSize(), std::uint64_t(threeHours) * 2 * 4);
    const std::vector<float> samples(100, 0.25f);
    const std::vector<std::span<const float>> channels{samples, samples};
    large.write(channels);
    ASSERT_EQ(large.commit(), folder / "large.wav");
    // Written as RF64 and, having stayed small, completed as a WAV file with the extensible header.
    EXPECT_EQ(sndfileInfo(folder / "large.wav").format & formatCode, SF_FORMAT_WAVEX | SF_FORMAT_FLOAT);
    EXPECT_EQ(sndfileInfo(folder / "large.wav").frames, 100);

    const AudioError aiff = expectAudioError([&] {
        AudioFileWriter(folder / "large.aif", {BitDepth::thirtyTwo, FileType::aiff}, source, 44100, threeHours);
    });
    EXPECT_EQ(baseAs<UnwritableOutputError>(aiff)->code(), UnwritableOutputError::Code::tooLarge);
    EXPECT_EQ(entries(folder.path()), (std::vector<std::string>{"large.wav", "source.wav"}));
}

}  // namespace
}  // namespace vesh
