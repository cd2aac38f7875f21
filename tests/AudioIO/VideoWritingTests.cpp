// Writing a file with video in its own format: the video, subtitles and
// chapters copied as they are, the decoded audio stream replaced by the
// samples written in the source's codec and timing. The commit rules, shared
// with the AAC writer, are checked there.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <tuple>

#include "AudioIO/AudioFileWriter.h"
#include "TestSupport.h"

namespace vesh {
namespace {

using namespace audiotest;
using BitDepth = CommonAudioFileFormat::BitDepth;
using FileType = CommonAudioFileFormat::FileType;

// A subtitle file or chapters as a data URI, so that a fixture needs no other file.
std::string dataUri(const std::string& format, const std::string& text) {
    return " -f " + format + " -i 'data:text/plain," + text + "'";
}

// Four seconds of test picture, speech-like sweeps that start late (at
// `audioStart` seconds, so that a lost start time shows) in the given
// audio codec, two subtitles, two chapters and a language tag.
std::string movie(const std::string& videoCodec, const std::string& audioStart, const std::string& audioCodec,
                  const std::string& subtitleCodec) {
    std::string arguments =
        "-f lavfi -i testsrc=size=96x64:rate=25:duration=4 -itsoffset " + audioStart +
        " -f lavfi -i 'aevalsrc=0.3*sin(2*PI*(200+150*t)*t)|0.2*sin(2*PI*(700-100*t)*t):s=48000:d=3.4'";
    if (!subtitleCodec.empty()) {
        arguments += dataUri("srt",
                             "1\n00:00:01,000 --> 00:00:02,500\nHello\n\n2\n00:00:03,000 --> "
                             "00:00:03,800\nAgain\n");
    }
    arguments += dataUri("ffmetadata",
                         ";FFMETADATA1\ntitle=Talk\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=2000\n"
                         "title=Opening\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=2000\nEND=4000\ntitle=Rest\n");
    const std::string metadataInput = subtitleCodec.empty() ? "2" : "3";
    arguments += " -map 0 -map 1" + std::string(subtitleCodec.empty() ? "" : " -map 2 -c:s " + subtitleCodec) +
                 " -map_metadata " + metadataInput + " -map_chapters " + metadataInput + " -c:v " + videoCodec +
                 " -g 12 -c:a " + audioCodec + " -metadata:s:a language=eng";
    return arguments;
}

struct VideoCase {
    std::string name, arguments;
    std::string audioCodec, subtitleCodec;
    bool lossy;
};
std::ostream& operator<<(std::ostream& stream, const VideoCase& c) { return stream << c.name; }

const VideoCase videoCases[] = {
    {"talk.mp4", movie("libx264 -preset ultrafast", "0.5", "aac -b:a 128k", "mov_text"), "aac", "mov_text", true},
    {"talk.mkv", movie("libvpx-vp9 -deadline realtime -cpu-used 8", "0.3", "libopus -b:a 96k", "srt"), "opus", "subrip",
     true},
    {"talk.mov", movie("libx264 -preset ultrafast", "0.25", "pcm_s16le", ""), "pcm_s16le", "", false},
};

double number(const std::vector<std::string>& lines) { return lines.empty() ? NAN : std::stod(lines.front()); }

double firstAudioFrameTime(const std::filesystem::path& file) {
    return number(ffprobe(file, "-select_streams a:0 -read_intervals %+#1 -show_entries frame=pts_time"));
}

double firstPacketTime(const std::filesystem::path& file, const std::string& stream = "a:0") {
    return number(ffprobe(file, "-select_streams " + stream + " -read_intervals %+#1 -show_entries packet=pts_time"));
}

const std::string videoPackets =
    "-select_streams v:0 -show_data_hash md5 -show_entries packet=pts_time,dts_time,flags,data_hash";

// Bits per second of the audio packets.
double audioBitRate(const std::filesystem::path& file) {
    const auto sizes = ffprobe(file, "-select_streams a:0 -show_entries packet=size");
    const double bytes = std::accumulate(sizes.begin(), sizes.end(), 0.0,
                                         [](double sum, const std::string& size) { return sum + std::stod(size); });
    const auto duration = ffprobe(file, "-select_streams a:0 -show_entries packet=duration_time");
    const double seconds = std::accumulate(duration.begin(), duration.end(), 0.0,
                                           [](double sum, const std::string& d) { return sum + std::stod(d); });
    return bytes * 8 / seconds;
}

// The shift of `copy` against `reference` within 96 samples of `expected`
// at which they match best, and the signal-to-noise ratio there.
std::pair<long, double> bestMatch(const std::vector<float>& reference, const std::vector<float>& copy, long expected) {
    std::pair<long, double> best{expected, -INFINITY};
    for (long shift = expected - 96; shift <= expected + 96; ++shift) {
        const double decibels = signalToNoiseDecibels(reference, copy, shift);
        if (decibels > best.second) best = {shift, decibels};
    }
    return best;
}

class VideoSameFormat : public ::testing::TestWithParam<VideoCase> {};

TEST_P(VideoSameFormat, CopiesEverythingButTheAudioWhichKeepsItsCodecAndTiming) {
    const VideoCase& c = GetParam();
    const auto source = fixture("video-" + c.name, c.arguments);
    AudioFile sourceFile(source);
    TemporaryFolder folder;
    const auto target = folder / c.name;
    const CommonAudioFileFormat fallback{BitDepth::sixteen, FileType::wav};
    EXPECT_EQ(AudioFileWriter::locationMatching(target, sourceFile, fallback), target);

    // What the source decodes to is written back, in blocks of an odd size,
    // once reading has measured its bit rate.
    const std::vector<std::vector<float>> readBack = decodeAll(sourceFile);
    AudioFileWriter writer(target, sourceFile, 48000, fallback, std::int64_t(readBack.front().size()));
    EXPECT_EQ(writer.location(), target);
    writeInBlocks(writer, readBack, 777);
    ASSERT_EQ(writer.commit(), target);
    EXPECT_GE(writer.estimatedSize(), std::filesystem::file_size(target));
    EXPECT_EQ(entries(folder.path()), std::vector<std::string>{c.name});

    const auto sourceVideo = ffprobe(source, videoPackets);
    EXPECT_GT(sourceVideo.size(), 90u);
    EXPECT_EQ(ffprobe(target, videoPackets), sourceVideo);
    const std::string streams = "-show_entries stream=codec_type,codec_name,channels:stream_tags=language";
    const std::string chapters = "-show_entries chapter=start_time,end_time:chapter_tags=title";
    EXPECT_EQ(ffprobe(target, chapters), ffprobe(source, chapters));
    EXPECT_EQ(ffprobe(target, chapters).size(), 2u);
    const auto written = ffprobe(target, streams);
    EXPECT_EQ(written, ffprobe(source, streams));
    EXPECT_NE(std::find(written.begin(), written.end(), c.audioCodec + ",audio,2,eng"), written.end());
    if (!c.subtitleCodec.empty()) {
        EXPECT_EQ(
            std::count_if(written.begin(), written.end(),
                          [&](const std::string& line) { return line.starts_with(c.subtitleCodec + ",subtitle"); }),
            1);
        const std::string texts = "-select_streams s:0 -show_entries packet=pts_time,duration_time";
        EXPECT_EQ(ffprobe(target, texts), ffprobe(source, texts));
    }
    if (c.lossy) {
        EXPECT_GE(audioBitRate(target), 0.98 * audioBitRate(source));
    }

    // An audio frame, at most, apart (and the millisecond to which an
    // MPEG-4 edit list rounds); the muxer records priming as it can.
    const double frame = 1024.0 / 48000 + 0.001;
    const double duration = number(ffprobe(source, "-show_entries format=duration"));
    EXPECT_NEAR(number(ffprobe(target, "-show_entries format=duration")), duration, frame);
    EXPECT_NEAR(firstPacketTime(target), firstPacketTime(source), frame);
    // Decoded, the copy presents every sample at its source's time within
    // a millisecond (the container's timing may round to one): the samples
    // line up by their timestamps.
    const long expectedShift = std::lround((firstAudioFrameTime(source) - firstAudioFrameTime(target)) * 48000);
    const AudioStream copy(target);
    ASSERT_EQ(copy.channels().size(), 2u);
    for (std::size_t channel = 0; channel < 2; ++channel) {
        const auto [bestShift, best] = bestMatch(readBack[channel], copy.channels()[channel].samples, expectedShift);
        EXPECT_GE(best, 20) << channel;
        EXPECT_LE(std::abs(bestShift - expectedShift), 48) << channel;
    }
}

INSTANTIATE_TEST_SUITE_P(AudioFileWriting, VideoSameFormat, ::testing::ValuesIn(videoCases),
                         [](const auto& info) { return caseName(info.param.name); });

// A second audio stream of another codec, rate and channel count, which
// starts later: the copy holds new audio in place of each, in the source's
// order, with its codec, rate, channels, language and start, interleaved
// by time with the video, whose packets stay as they were.
TEST(AudioFileWriting, EveryAudioStreamOfAVideoIsReplacedInItsPlace) {
    const auto source = fixture(
        "video-two-languages.mkv",
        "-f lavfi -i testsrc=size=64x48:rate=25:duration=12 -f lavfi -i "
        "'aevalsrc=0.3*sin(2*PI*(200+50*t)*t)|0.2*sin(2*PI*(700-20*t)*t):s=48000:d=11.5' -itsoffset 0.4 -f lavfi -i "
        "sine=frequency=300:sample_rate=44100:duration=11 -map 0 -map 1 -map 2 -c:v mpeg4 -g 12 -c:a:0 libopus "
        "-b:a:0 96k -c:a:1 flac -metadata:s:a:0 language=eng -metadata:s:a:1 language=deu");
    AudioFile first(source);
    const std::vector<std::vector<float>> firstSamples = decodeAll(first);
    TemporaryFolder folder;
    const auto target = folder / "talk.mkv";
    AudioFileWriter writer(target, first, 48000, std::nullopt, std::int64_t(firstSamples.front().size()));
    ASSERT_EQ(writer.otherAudioStreams(), std::vector<int>{2});

    AudioFile second(source, 2);
    const std::size_t secondLength = decodeAll(second).front().size();
    // Another signal than the source's, so that the copy shows what was given.
    const std::vector<float> tone = sine(1000, 44100, secondLength, 0.25);
    std::size_t delivered = 0;
    writer.addAudioStream(second, [&](std::vector<std::vector<float>>& block) {
        const std::size_t count = std::min<std::size_t>(5000, tone.size() - delivered);
        block.assign(1, std::vector<float>(tone.begin() + long(delivered), tone.begin() + long(delivered + count)));
        delivered += count;
        return count > 0;
    });
    writeInBlocks(writer, firstSamples, 4096);
    ASSERT_EQ(writer.commit(), target);
    EXPECT_GE(writer.estimatedSize(), std::filesystem::file_size(target));

    const std::string streams =
        "-show_entries stream=index,codec_type,codec_name,sample_rate,channels,channel_layout:stream_tags=language";
    EXPECT_EQ(ffprobe(target, streams), ffprobe(source, streams));
    EXPECT_EQ(ffprobe(target, videoPackets), ffprobe(source, videoPackets));
    const double frame = 1024.0 / 44100 + 0.001;
    EXPECT_NEAR(firstPacketTime(target, "a:0"), firstPacketTime(source, "a:0"), frame);
    EXPECT_NEAR(firstPacketTime(target, "a:1"), firstPacketTime(source, "a:1"), frame);
    // Interleaved as written: no packet comes more than a second after one
    // that is later.
    double latest = -INFINITY;
    for (const std::string& time : ffprobe(target, "-show_entries packet=dts_time")) {
        if (time == "N/A") continue;
        latest = std::max(latest, std::stod(time));
        EXPECT_GT(std::stod(time), latest - 1.0);
    }

    AudioFile firstCopy(target, 1);
    const auto firstWritten = decodeAll(firstCopy);
    ASSERT_EQ(firstWritten.size(), 2u);
    for (std::size_t channel = 0; channel < 2; ++channel) {
        EXPECT_GE(bestMatch(firstSamples[channel], firstWritten[channel], 0).second, 20) << channel;
    }
    AudioFile secondCopy(target, 2);
    const auto secondWritten = decodeAll(secondCopy);
    ASSERT_EQ(secondWritten.size(), 1u);
    EXPECT_LE(largestDifference(secondWritten.front(), tone), 1e-4f);
}

// A video whose sample table is damaged so that its picture size is unknown
// cannot be copied: its audio goes to the fallback format, as for any video
// that cannot be written.
TEST(AudioFileWriting, AVideoOfUnknownPictureSizeFallsBackToAnAudioFile) {
    const auto intact = fixture("video-mpeg4.mp4",
                                "-f lavfi -i testsrc=size=64x48:rate=10:duration=1.5 -f lavfi -i "
                                "sine=frequency=440:sample_rate=44100:duration=1.5 -c:v mpeg4 -c:a aac");
    TemporaryFolder folder;
    std::vector<char> bytes = readBytes(intact);
    const std::string box = "stts";
    const auto table = std::search(bytes.begin(), bytes.end(), box.begin(), box.end());
    ASSERT_NE(table, bytes.end());
    // The first entry's sample duration, 1024 ticks, made 2^29 times longer.
    table[20] = 0x20;
    writeBytes(folder / "damaged.mp4", bytes);
    const AudioFile sourceFile(folder / "damaged.mp4");
    const CommonAudioFileFormat fallback{BitDepth::sixteen, FileType::wav};
    EXPECT_EQ(AudioFileWriter::locationMatching(folder / "out" / "damaged.mp4", sourceFile, fallback),
              folder / "out" / "damaged.wav");
}

}  // namespace
}  // namespace vesh
