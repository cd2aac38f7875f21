// Decoding every kind of file the application accepts, and bad input.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <random>

#include "TestSupport.h"

namespace vesh {
namespace {

using namespace audiotest;

struct DecodeCase {
    std::string name, arguments;
    int rate, channels;
    bool lossless;
};
std::ostream& operator<<(std::ostream& stream, const DecodeCase& c) { return stream << c.name; }

const DecodeCase decodeCases[] = {
    {"pcm16.wav", twoSines(44100, "1") + ",atrim=end_sample=1000 -c:a pcm_s16le", 44100, 2, true},
    {"pcm24.wav", twoSines(44100, "1") + " -c:a pcm_s24le", 44100, 2, true},
    {"float32.wav", twoSines(44100, "1") + " -c:a pcm_f32le", 44100, 2, true},
    {"pcm24.aif", twoSines(22050, "1") + " -c:a pcm_s24be", 22050, 2, true},
    {"pcm16.flac", twoSines(44100, "1") + " -c:a flac -sample_fmt s16", 44100, 2, true},
    {"pcm24.flac", twoSines(96000, "1") + " -c:a flac -sample_fmt s32", 96000, 2, true},
    {"mono.aif", "-f lavfi -i sine=frequency=440:sample_rate=8000:duration=1", 8000, 1, true},
    {"lame.mp3", twoSines(44100, "1") + " -c:a libmp3lame", 44100, 2, false},
    {"aac.m4a", twoSines(44100, "1") + " -c:a aac", 44100, 2, false},
    {"vorbis.ogg", twoSines(44100, "1") + " -c:a libvorbis", 44100, 2, false},
    {"speech.opus", twoSines(48000, "1") + " -c:a libopus", 48000, 2, false},
    {"movie.mp4", "-f lavfi -i testsrc=size=64x48:rate=10:duration=1 " + twoSines(44100, "1") + " -c:v mpeg4 -c:a aac",
     44100, 2, false},
};

class Decoding : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Decoding, GivesTheChannelsRateAndLengthOfTheFile) {
    const DecodeCase& c = GetParam();
    const auto file = fixture(c.name, c.arguments);
    const AudioFile audioFile(file);
    const AudioStream stream(audioFile);
    EXPECT_EQ(audioFile.sampleRate(), c.rate);
    EXPECT_EQ(stream.sampleRate(), c.rate);
    ASSERT_EQ(stream.channels().size(), static_cast<std::size_t>(c.channels));
    // Codec priming and padding are trimmed where the file states them, as
    // ffprobe's own decoding does.
    std::int64_t decodedFrames = 0;
    for (const auto& frame : probe(file, "frame=nb_samples")) decodedFrames += std::stoll(frame);
    EXPECT_EQ(stream.length(), decodedFrames);
    for (const auto& channel : stream.channels()) {
        EXPECT_EQ(channel.sampleRate, c.rate);
        EXPECT_EQ(static_cast<std::int64_t>(channel.samples.size()), stream.length());
    }
    const auto length = static_cast<std::size_t>(stream.length());
    if (c.lossless) {
        EXPECT_LT(largestDifference(stream.channels()[0].samples, sine(440, c.rate, length, 0.125)), 2e-4f);
        if (c.channels == 2) {
            EXPECT_LT(largestDifference(stream.channels()[1].samples, sine(1000, c.rate, length, 0.125)), 2e-4f);
        }
    } else {
        double energy = 0;  // lossy codecs keep the level: RMS of a sine of amplitude 1/8
        for (const float sample : stream.channels()[1].samples) energy += double(sample) * sample;
        EXPECT_NEAR(std::sqrt(energy / double(length)), 0.125 / std::sqrt(2.0), 0.01);
    }
}

INSTANTIATE_TEST_SUITE_P(AudioFileReading, Decoding, ::testing::ValuesIn(decodeCases),
                         [](const auto& info) { return caseName(info.param.name); });

TEST(AudioFileReading, DeclaredLayoutRidesAlongToTheWrittenFileAndAnUndeclaredOneStaysAbsent) {
    TemporaryFolder folder;
    const auto surround = fixture("surround51.wav",
                                  "-f lavfi -i sine=sample_rate=48000:duration=0.25 "
                                  "-af 'pan=5.1|FL=c0|FR=c0|FC=c0|LFE=c0|BL=c0|BR=c0' -c:a pcm_s16le");
    const AudioStream stream(surround);
    ASSERT_EQ(stream.channels().size(), 6u);
    EXPECT_EQ(layoutOf(stream)->positions.size(), 6u);
    stream.resampled(44100, SampleRateConverterAlgorithm::normal, AudioQuality::maximum)
        .write(folder / "surround.wav",
               {CommonAudioFileFormat::BitDepth::twentyFour, CommonAudioFileFormat::FileType::wav});
    EXPECT_EQ(probe(folder / "surround.wav", "stream=channel_layout"), std::vector<std::string>{"5.1"});
    // Side channels are kept apart from the back ones.
    for (const std::string layout : {"5.1(side)", "7.1"}) {
        const AudioStream side(
            fixture("layout-" + layout + ".wav",
                    "-f lavfi -i sine=sample_rate=48000:duration=0.25 -af 'aformat=channel_layouts=" + layout +
                        "' -c:a pcm_s16le"));
        side.write(folder / "side.wav",
                   {CommonAudioFileFormat::BitDepth::sixteen, CommonAudioFileFormat::FileType::wav});
        EXPECT_EQ(probe(folder / "side.wav", "stream=channel_layout"), std::vector<std::string>{layout});
    }

    const AudioStream plain(fixture("pcm16.wav", decodeCases[0].arguments));
    EXPECT_EQ(layoutOf(plain), std::nullopt);
    plain.write(folder / "plain.wav", {CommonAudioFileFormat::BitDepth::sixteen, CommonAudioFileFormat::FileType::wav});
    EXPECT_EQ(probe(folder / "plain.wav", "stream=channel_layout"), std::vector<std::string>{"unknown"});
    EXPECT_EQ(sndfileInfo(folder / "plain.wav").format & SF_FORMAT_TYPEMASK, SF_FORMAT_WAV);
}

// A failure to read a location is a readAudioFile error around another one.
AudioError readFailure(const std::filesystem::path& file) {
    AudioError error = expectAudioError([&] { static_cast<void>(AudioStream(file)); });
    EXPECT_EQ(error.failedOperation(), AudioError::Operation::readAudioFile) << file;
    const auto inner = baseAs<AudioError>(error);
    EXPECT_TRUE(inner && inner->failedOperation() == AudioError::Operation::readAudioFile && inner->base()) << file;
    return error;
}

// A canonical 44-byte header of a 16-bit PCM WAV file with the given fields.
std::vector<char> wavHeader(std::uint16_t channels, std::uint32_t rate, std::uint32_t dataSize) {
    std::vector<char> header(44);
    const auto put = [&](std::size_t at, std::uint32_t value, std::size_t width) {
        std::memcpy(&header[at], &value, width);
    };
    std::memcpy(&header[0], "RIFF\xff\xff\xff\xffWAVEfmt ", 16);
    put(16, 16, 4), put(20, 1, 2), put(22, channels, 2), put(24, rate, 4), put(28, rate * channels * 2u, 4);
    put(32, channels * 2u, 2), put(34, 16, 2);
    std::memcpy(&header[36], "data", 4);
    put(40, dataSize, 4);
    header.resize(header.size() + 1024);
    return header;
}

TEST(AudioFileReadingFailures, MissingNonAudioAndDamagedInputFailsCleanly) {
    TemporaryFolder folder;
    const AudioError opening = expectAudioError([&] { AudioFile file(folder / "missing.wav"); });
    EXPECT_EQ(opening.failedOperation(), AudioError::Operation::readAudioFile);
    EXPECT_EQ(baseAs<AudioLibraryError>(opening)->code(), -ENOENT);
    EXPECT_EQ(baseAs<AudioLibraryError>(*baseAs<AudioError>(readFailure(folder / "missing.wav")))->code(), -ENOENT);

    std::filesystem::create_directory(folder / "folder.wav");
    writeBytes(folder / "empty.wav", {});
    std::vector<char> noise(4096);
    std::mt19937 random(1234);
    for (char& byte : noise) byte = static_cast<char>(random());
    writeBytes(folder / "noise.wav", noise);
    const std::string text = "Not audio, just words.\n";
    writeBytes(folder / "notes.txt", {text.begin(), text.end()});
    writeBytes(folder / "no-rate.wav", wavHeader(2, 0, 1024));
    writeBytes(folder / "no-channels.wav", wavHeader(0, 44100, 1024));
    for (const char* name : {"folder.wav", "empty.wav", "noise.wav", "notes.txt", "no-rate.wav", "no-channels.wav"}) {
        readFailure(folder / name);
    }
    // 2 frames per second would make 1 KiB into minutes of audio.
    writeBytes(folder / "two-hertz.wav", wavHeader(1, 2, 1024));
    const auto refusal = baseAs<AudioLibraryError>(expectAudioError([&] { AudioFile file(folder / "two-hertz.wav"); }));
    ASSERT_TRUE(refusal);
    EXPECT_NE(std::string(refusal->what()).find("2 frames per second is not supported"), std::string::npos);
    readFailure(fixture("picture.png", "-f lavfi -i color=size=32x32 -frames:v 1"));
    readFailure(fixture("silent-movie.mp4", "-f lavfi -i testsrc=size=64x48:rate=10:duration=0.5 -c:v mpeg4"));
}

// A 16-bit mono file of `samples` with, before the audio, a small chunk of
// tags and a text chunk claiming `hugeBytes`; the huge chunk's bytes are
// left unwritten, so the file is sparse and costs no disk.
void writeWithHugeChunk(const std::filesystem::path& file, bool aiff, const std::vector<std::int16_t>& samples,
                        std::uint32_t hugeBytes) {
    std::ofstream out(file, std::ios::binary);
    const auto word = [&](std::uint32_t value, int width) {
        for (int k = 0; k < width; ++k) {
            const int shift = aiff ? 8 * (width - 1 - k) : 8 * k;
            out.put(static_cast<char>(value >> shift));
        }
    };
    const auto chunk = [&](const char* id, std::uint32_t size) { out.write(id, 4), word(size, 4); };
    const std::uint32_t audioBytes = static_cast<std::uint32_t>(samples.size() * 2);
    if (aiff) {
        chunk("FORM", 4 + 26 + 14 + 8 + hugeBytes + 16 + audioBytes);
        out.write("AIFF", 4);
        chunk("COMM", 18), word(1, 2), word(static_cast<std::uint32_t>(samples.size()), 4), word(16, 2);
        // 44100 as an 80-bit extended float.
        out.write("\x40\x0E\xAC\x44\0\0\0\0\0\0", 10);
        chunk("NAME", 6), out.write("Title\0", 6);
        chunk("ANNO", hugeBytes);
        out.seekp(hugeBytes, std::ios::cur);
        chunk("SSND", 8 + audioBytes), word(0, 4), word(0, 4);
    } else {
        chunk("RIFF", 4 + 24 + 26 + 20 + hugeBytes + 8 + audioBytes);
        out.write("WAVE", 4);
        chunk("fmt ", 16), word(1, 2), word(1, 2), word(44100, 4), word(88200, 4), word(2, 2), word(16, 2);
        chunk("LIST", 18), out.write("INFO", 4), chunk("INAM", 6), out.write("Title\0", 6);
        chunk("LIST", 4 + 8 + hugeBytes), out.write("INFO", 4), chunk("ICMT", hugeBytes);
        out.seekp(hugeBytes, std::ios::cur);
        chunk("data", audioBytes);
    }
    for (const std::int16_t sample : samples) word(static_cast<std::uint16_t>(sample), 2);
}

// A damaged or hostile file that claims a gigabyte of tags costs neither that
// memory nor that time: the chunk is skipped, the audio and the other tags read.
TEST(AudioFileReading, AHugeTagChunkIsSkippedAndTheRestRead) {
    TemporaryFolder folder;
    std::vector<std::int16_t> samples(44100);
    for (std::size_t k = 0; k < samples.size(); ++k) samples[k] = static_cast<std::int16_t>(k * 7 % 20000 - 10000);
    for (const bool aiff : {false, true}) {
        SCOPED_TRACE(aiff ? "AIFF" : "WAV");
        const auto file = folder / (aiff ? "tags.aiff" : "tags.wav");
        writeWithHugeChunk(file, aiff, samples, std::uint32_t{1} << 30);
        rusage before{};
        ::getrusage(RUSAGE_SELF, &before);
        const AudioFile opened(file);
        EXPECT_EQ(opened.metadata().title, "Title");
        const AudioStream stream(file);
        rusage after{};
        ::getrusage(RUSAGE_SELF, &after);
        EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 256 * 1024) << "KiB more at the peak";
        ASSERT_EQ(stream.length(), static_cast<std::int64_t>(samples.size()));
        const std::vector<float>& decoded = stream.channels().front().samples;
        for (std::size_t k = 0; k < samples.size(); k += 997) {
            EXPECT_EQ(decoded[k], static_cast<float>(samples[k]) / 32768.0f) << k;
        }
    }
}

// Cut files and headers that claim more than is there: the frames present
// are decoded; a stream that ends well before its stated length is damaged
// from there to its end; a claim the file's size cannot hold is not believed.
TEST(AudioFileReadingFailures, CutOrOverstatedFilesDecodeTheFramesPresentAndEndInDamage) {
    TemporaryFolder folder;
    std::vector<char> cut = readBytes(fixture("pcm16.wav", decodeCases[0].arguments));
    const auto data = std::search(cut.begin(), cut.end(), "data", "data" + 4) - cut.begin() + 8;
    cut.resize(static_cast<std::size_t>(data) + 400 * 4 + 2);  // in the middle of frame 401
    writeBytes(folder / "cut.wav", cut);
    EXPECT_EQ(AudioStream(folder / "cut.wav").length(), 400);

    // Sizes of nearly 4 GiB (12 hours) in the header of a 1 KiB file.
    writeBytes(folder / "overstated.wav", wavHeader(2, 44100, 0xFFFFFFF0u));
    AudioFile overstated(folder / "overstated.wav");
    EXPECT_LE(overstated.announcedLength().value_or(0), (44 + 1024) / 4);
    EXPECT_EQ(AudioStream(overstated).length(), 256);
    EXPECT_EQ(overstated.damagedStretches(), (std::vector<DamagedStretch>{{256 / 44100.0, 256 / 44100.0, true}}));

    // 2 s of FLAC claiming 12 hours.
    const auto intact = fixture("two-seconds.flac", twoSines(48000, "2") + " -c:a flac");
    std::vector<char> bytes = readBytes(intact);
    ASSERT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "fLaC");
    claimFrames(bytes, 12ull * 3600 * 48000);
    writeBytes(folder / "claiming.flac", bytes);
    AudioFile claiming(folder / "claiming.flac");
    EXPECT_EQ(claiming.announcedLength(), std::nullopt);
    EXPECT_EQ(AudioStream(claiming).length(), 2 * 48000);
    EXPECT_EQ(claiming.damagedStretches(), (std::vector<DamagedStretch>{{2.0, 2.0, true}}));
    AudioFile whole(intact);
    EXPECT_EQ(AudioStream(whole).length(), 2 * 48000);
    EXPECT_TRUE(whole.damagedStretches().empty());
}

// Containers that a demuxer stops following with an error other than
// invalid data: a WavPack file cut inside a block (an input/output error of
// the demuxer's own), and an MPEG-4 file whose sample table gives one packet
// an absurd size (an allocation failure). The audio before the damage is
// kept, as for other damage to the end, instead of the whole file refused.
TEST(AudioFileReadingDamage, DemuxerErrorsMidFileEndTheAudioAtTheDamage) {
    TemporaryFolder folder;
    std::vector<char> wavpack = readBytes(fixture("two-seconds.wv", twoSines(44100, "2") + " -c:a wavpack"));
    wavpack.resize(wavpack.size() * 6 / 10);
    writeBytes(folder / "cut.wv", wavpack);

    std::vector<char> mpeg4 = readBytes(fixture("two-seconds.m4a", twoSines(44100, "2") + " -c:a aac"));
    const auto table = std::search(mpeg4.begin(), mpeg4.end(), "stsz", "stsz" + 4);
    ASSERT_NE(table, mpeg4.end());
    // After the name: version and flags, the common size (0), the count.
    std::size_t count = 0;
    for (int k = 12; k < 16; ++k) count = count << 8 | static_cast<unsigned char>(table[k]);
    const auto entry = table + 16 + 4 * static_cast<std::ptrdiff_t>(count / 2);
    std::copy_n("\x7f\xff\xff\xf0", 4, entry);
    writeBytes(folder / "huge-packet.m4a", mpeg4);

    for (const char* name : {"cut.wv", "huge-packet.m4a"}) {
        SCOPED_TRACE(name);
        AudioFile damaged(folder / name);
        const std::int64_t length = AudioStream(damaged).length();
        EXPECT_GT(length, 44100 / 2);
        EXPECT_LT(length, 2 * 44100 * 9 / 10);
        ASSERT_EQ(damaged.damagedStretches().size(), 1u);
        EXPECT_TRUE(damaged.damagedStretches().front().untilEnd);
    }
}

// Bytes damaged inside the audio data of compressed files: every file still
// decodes; a packet the decoder rejects becomes silence of its length and its
// stretch is reported; the audio before the first damaged stretch is
// untouched. The length stays that of the intact file within one packet
// (FLAC's 4608 frames), for damage that the container itself hides from the
// decoder (a frame header no longer found) cannot be measured.
TEST(AudioFileReadingDamage, DamagedPacketsBecomeSilenceOfTheirLengthAndAreReported) {
    TemporaryFolder folder;
    std::mt19937 random(20261207);
    int concealed = 0;
    for (const auto& [codec, format] :
         {std::pair{"flac", "flac"}, std::pair{"libmp3lame", "mp3"}, std::pair{"aac", "m4a"}}) {
        const std::string extension = format;
        const auto source = fixture("damage." + extension, twoSines(44100, "2") + " -c:a " + codec);
        const AudioStream intact(source);
        const auto original = readBytes(source);
        for (int round = 0; round < 12; ++round) {
            std::vector<char> bytes = original;
            // Into the middle third, clear of headers and indexes.
            const std::size_t at = bytes.size() / 3 + random() % (bytes.size() / 3);
            for (std::size_t k = 0; k < 24; ++k) bytes[at + k] = static_cast<char>(random());
            const auto file = folder / ("damaged-" + std::to_string(round) + "." + extension);
            writeBytes(file, bytes);
            AudioFile damaged(file);
            const AudioStream stream(damaged);
            const auto& stretches = damaged.damagedStretches();
            if (stretches.empty()) continue;
            ++concealed;
            EXPECT_NEAR(double(stream.length()), double(intact.length()), 4608.0) << file;
            const auto before = static_cast<std::size_t>(stretches.front().start * 44100.0);
            ASSERT_GT(before, 0u) << file;
            for (std::size_t channel = 0; channel < 2; ++channel) {
                const auto& samples = stream.channels()[channel].samples;
                const auto& reference = intact.channels()[channel].samples;
                EXPECT_EQ(std::vector<float>(samples.begin(), samples.begin() + before / 2),
                          std::vector<float>(reference.begin(), reference.begin() + before / 2))
                    << file;
            }
            for (const DamagedStretch& stretch : stretches) {
                EXPECT_LT(stretch.start, stretch.end) << file;
                EXPECT_LE(stretch.end, double(intact.length()) / 44100.0 + 0.05) << file;
            }
        }
    }
    EXPECT_GT(concealed, 6);
}

// Seeded byte flips and truncations of small real files: each decodes to a
// well-formed stream or fails with a read error (run under the sanitizers too).
TEST(AudioFileReadingFailures, MutatedFilesDecodeOrFailCleanly) {
    TemporaryFolder folder;
    std::mt19937 random(20261206);
    for (const auto& [codec, format] : {std::pair{"pcm_s16le", "wav"}, std::pair{"flac", "flac"},
                                        std::pair{"libmp3lame", "mp3"}, std::pair{"libvorbis", "ogg"}}) {
        const std::string extension = format;
        const auto original = readBytes(fixture("short." + extension, twoSines(22050, "0.2") + " -c:a " + codec));
        for (int round = 0; round < 40; ++round) {
            std::vector<char> bytes = original;
            if (round % 3 != 1) {
                for (auto flips = 1 + random() % 24; flips > 0; --flips)
                    bytes[random() % bytes.size()] ^= char(1 + random() % 255);
            }
            if (round % 3 != 0) bytes.resize(random() % bytes.size());
            writeBytes(folder / ("mutated." + extension), bytes);
            try {
                const AudioStream stream(folder / ("mutated." + extension));
                ASSERT_GT(stream.sampleRate(), 0);
                ASSERT_FALSE(stream.channels().empty());
                for (const auto& channel : stream.channels()) {
                    ASSERT_EQ(static_cast<std::int64_t>(channel.samples.size()), stream.length());
                    ASSERT_EQ(channel.sampleRate, stream.sampleRate());
                }
            } catch (const AudioError& error) {
                ASSERT_EQ(error.failedOperation(), AudioError::Operation::readAudioFile);
            }
        }
    }
}

}  // namespace
}  // namespace vesh
