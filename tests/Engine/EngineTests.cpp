// The file engine against a straightforward whole-file computation, on real
// files and the small test models.

#include "Engine/Engine.h"
#include "Engine/Preview.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <numeric>
#include <thread>

#include "FullBandSpeechEnhancer/VariableLengthSpeechEnhancer.h"
#include "Loudness/Loudness.h"
#include "Signals.h"
#include "TestSupport.h"

namespace vesh {
namespace {

using namespace audiotest;
using test::noise;
using Response = ProcessingOptions::Response;
using Kind = ProcessingError::Kind;
using Channels = std::vector<std::vector<float>>;

VariableLengthSpeechEnhancer makeEnhancer(const std::string& model) {
    return VariableLengthSpeechEnhancer(VariableLengthSpeechEnhancer::productParameters(ComputeUnits::cpuOnly),
                                        std::filesystem::path(VESH_TEST_MODELS_DIR) / model);
}

// The whole-file computation: decode, 48 kHz, enhance each channel whole,
// mix, output rate.
Channels wholeFileReference(const std::filesystem::path& source, VariableLengthSpeechEnhancer& enhancer, double mix,
                            std::int64_t outputRate) {
    const AudioStream at48k =
        AudioStream(source).resampled(VariableLengthSpeechEnhancer::productSampleRate,
                                      SampleRateConverterAlgorithm::mastering, AudioQuality::maximum);
    const AudioStream mixed = at48k.map([&](const AudioStream::Channel& channel) {
        std::vector<float> wet = enhancer.enhance(channel.samples);
        const auto wetShare = static_cast<float>(mix);
        const auto dryShare = static_cast<float>(1.0 - mix);
        for (std::size_t k = 0; k < wet.size(); ++k) wet[k] = wet[k] * wetShare + channel.samples[k] * dryShare;
        return AudioStream::Channel(channel.sampleRate, std::move(wet));
    });
    const AudioStream output = mixed.resampled(outputRate, SampleRateConverterAlgorithm::normal, AudioQuality::maximum);
    Channels channels;
    for (const auto& channel : output.channels()) channels.push_back(channel.samples);
    return channels;
}

void expectClose(const Channels& actual, const Channels& expected, float tolerance = 1e-6f) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t channel = 0; channel < actual.size(); ++channel) {
        EXPECT_LE(largestDifference(actual[channel], expected[channel]), tolerance) << "channel " << channel;
    }
}

// The audio stream numbered `index` of the file, decoded whole.
Channels decodedStream(const std::filesystem::path& file, int index) {
    AudioFile stream(file, index);
    return decodeAll(stream);
}

// The ProcessingError that `action` throws (a test failure when it throws none).
ProcessingError expectProcessingError(const std::function<void()>& action) {
    try {
        action();
    } catch (const ProcessingError& error) {
        return error;
    }
    ADD_FAILURE() << "expected a ProcessingError";
    return ProcessingError(Kind::unexpected);
}

Kind kindOf(const std::function<void()>& action) { return expectProcessingError(action).kind(); }

// The message of the error's base, which an AudioError gives down its whole chain.
std::string baseMessage(const ProcessingError& error) {
    try {
        if (error.base()) std::rethrow_exception(error.base());
    } catch (const std::exception& base) {
        return base.what();
    }
    return {};
}

class Engine : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::create_directory(out); }
    // Whatever a test left in the output folder is a valid file of its
    // format with audio in it.
    void TearDown() override {
        for (const std::string& name : entries(out)) {
            if (!std::filesystem::is_regular_file(out / name)) continue;
            try {
                EXPECT_GT(AudioStream(out / name).length(), 0) << name;
            } catch (const AudioError& error) {
                ADD_FAILURE() << name << " does not decode: " << error.what();
            }
        }
    }

    ProcessingOptions options(VariableLengthSpeechEnhancer& enhancer) {
        ProcessingOptions result;
        result.outputFormat = {BitDepth::thirtyTwo, SampleRate::fortyFourPointOne, AudioFileFormat::wav};
        result.enhancer = &enhancer;
        result.handleProgress = [this](std::span<const double> entries) {
            // Before the source is open there are no entries yet.
            if (!entries.empty()) reports.emplace_back(entries.begin(), entries.end());
            return Response::continueProcessing;
        };
        return result;
    }

    TemporaryFolder folder;
    const std::filesystem::path out = folder / "out";
    std::vector<std::vector<double>> reports;
};

// 7 s at 44.1 kHz: four segments at 48 kHz, the last one partial.
constexpr std::size_t sevenSeconds = 7 * 44100;

TEST_F(Engine, StreamingGivesTheWholeFileResultForDistinctChannels) {
    auto enhancer = makeEnhancer("reversed.onnx");
    const auto source = folder / "stereo.wav";
    writeSoundFile(source, {noise(sevenSeconds, 0.2f, 1), noise(sevenSeconds, 0.05f, 2)}, 44100);

    ProcessingOptions chosen = options(enhancer);
    chosen.wetDryMix = 0.7;
    const ProcessingResult result = processFile(source, out / "stereo.wav", chosen);
    EXPECT_EQ(result.writtenTo, out / "stereo.wav");
    expectClose(readChannels(result.writtenTo), wholeFileReference(source, enhancer, 0.7, 44100));

    // One entry per channel throughout, rising from 0 to 1 over both passes.
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ(reports.front(), (std::vector<double>{0.0, 0.0}));
    EXPECT_EQ(reports.back(), (std::vector<double>{1.0, 1.0}));
    for (std::size_t i = 1; i < reports.size(); ++i) {
        ASSERT_EQ(reports[i].size(), 2u);
        EXPECT_GE(reports[i][0], reports[i - 1][0]);
    }
}

// Shorter than one segment, at the processing rate: nothing to join or convert.
TEST_F(Engine, IdenticalChannelsOfAShortFileAreEnhancedOnceAtTheSourceRateAndFormat) {
    auto enhancer = makeEnhancer("scale-half.onnx");
    const auto source = folder / "dual-mono.wav";
    const auto mono = noise(30000, 0.2f, 3);
    writeSoundFile(source, {mono, mono}, 48000);

    ProcessingOptions chosen = options(enhancer);
    chosen.matchSourceFormat = true;
    chosen.outputFormat.sampleRate = SampleRate::ninetySix;  // not used when matching the source
    const ProcessingResult result = processFile(source, out / "dual-mono.wav", chosen);
    const auto written = readChannels(result.writtenTo);
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[0], written[1]);
    expectClose(written, wholeFileReference(source, enhancer, 1.0, 48000));
    EXPECT_EQ(reports.back(), std::vector<double>{1.0});
}

// A video with a stereo and a mono stream (16-bit, at other rates): each is
// cleaned in its own place as a file of it alone would be, and progress runs
// over both.
TEST_F(Engine, EveryAudioStreamOfAVideoIsCleanedInItsPlace) {
    auto enhancer = makeEnhancer("reversed.onnx");
    const std::string noiseSource = "-f lavfi -i anoisesrc=amplitude=0.2:duration=3:sample_rate=";
    const auto source = fixture("two-languages.mov",
                                "-f lavfi -i testsrc=size=64x48:rate=25:duration=3 " + noiseSource + "44100:seed=1 " +
                                    noiseSource + "44100:seed=2 " + noiseSource +
                                    "48000:seed=3 -filter_complex '[1:a][2:a]amerge=inputs=2[stereo]' -map 0:v -map "
                                    "'[stereo]' -map 3:a -c:v mpeg4 -c:a pcm_s16le -metadata:s:a:0 language=eng "
                                    "-metadata:s:a:1 language=deu");
    writeSoundFile(folder / "stereo.wav", decodedStream(source, 1), 44100);
    writeSoundFile(folder / "mono.wav", decodedStream(source, 2), 48000);

    ProcessingOptions chosen = options(enhancer);
    chosen.matchSourceFormat = true;
    chosen.wetDryMix = 0.7;
    const ProcessingResult result = processFile(source, out / "two-languages.mov", chosen);
    ASSERT_EQ(result.writtenTo, out / "two-languages.mov");
    // 16-bit samples: half a step apart at most.
    const float step = 1.0f / 32768;
    expectClose(decodedStream(result.writtenTo, 1), wholeFileReference(folder / "stereo.wav", enhancer, 0.7, 44100),
                step);
    expectClose(decodedStream(result.writtenTo, 2), wholeFileReference(folder / "mono.wav", enhancer, 0.7, 48000),
                step);

    // The mono stream first, then the stereo one, each half of the whole.
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ(reports.front(), std::vector<double>{0.0});
    EXPECT_EQ(reports.back(), (std::vector<double>{1.0, 1.0}));
    const auto mean = [](const std::vector<double>& entries) {
        return std::accumulate(entries.begin(), entries.end(), 0.0) / double(entries.size());
    };
    for (std::size_t i = 1; i < reports.size(); ++i) {
        EXPECT_GE(mean(reports[i]), mean(reports[i - 1]));
        EXPECT_TRUE(reports[i].size() == 1 ? mean(reports[i]) <= 0.5 : mean(reports[i]) >= 0.5) << i;
    }
}

TEST_F(Engine, NonFiniteAndImplausiblyLargeSamplesCountAsSilenceAndAreTold) {
    auto enhancer = makeEnhancer("scale-half.onnx");
    // One NaN, one +Inf, a run of both and three values far beyond any real
    // level; the reference has 0 in their places. A loud sample of +40 dBFS
    // stays as it is in both.
    auto zeroed = noise(sevenSeconds, 0.2f, 10);
    zeroed[100000] = 100.0f;
    auto damaged = zeroed;
    damaged[20000] = std::numeric_limits<float>::quiet_NaN();
    damaged[150000] = std::numeric_limits<float>::infinity();
    damaged[160000] = 1e20f;
    damaged[170000] = -std::numeric_limits<float>::max();
    damaged[180000] = 1001.0f;
    zeroed[20000] = zeroed[150000] = zeroed[160000] = zeroed[170000] = zeroed[180000] = 0.0f;
    for (std::size_t k = 250000; k < 250050; ++k) {
        damaged[k] = k % 2 == 0 ? std::numeric_limits<float>::quiet_NaN() : -std::numeric_limits<float>::infinity();
        zeroed[k] = 0.0f;
    }
    writeSoundFile(folder / "zeroed.wav", {zeroed}, 44100);
    writeSoundFile(folder / "damaged.wav", {damaged}, 44100);

    const ProcessingResult intact = processFile(folder / "zeroed.wav", out / "zeroed.wav", options(enhancer));
    EXPECT_EQ(intact.replacedSamples, 0);
    const ProcessingResult result = processFile(folder / "damaged.wav", out / "damaged.wav", options(enhancer));
    const auto written = readChannels(result.writtenTo);
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written, readChannels(intact.writtenTo));
    EXPECT_EQ(result.replacedSamples, 55);
    ASSERT_EQ(result.warnings().size(), 1u);
    EXPECT_EQ(result.warnings().front().rfind("55 samples of the source were not a number or far beyond", 0), 0u)
        << result.warnings().front();

    // A whole file 18 dB above full scale is a level, not damage.
    auto loud = noise(sevenSeconds, 0.2f, 13);
    for (float& sample : loud) sample *= 8.0f;
    writeSoundFile(folder / "loud.wav", {loud}, 44100);
    const ProcessingResult loudResult = processFile(folder / "loud.wav", out / "loud.wav", options(enhancer));
    EXPECT_EQ(loudResult.replacedSamples, 0);
    EXPECT_TRUE(loudResult.warnings().empty());
}

// A 16-bit mono WAV file at 48 kHz whose data chunk holds `dataBytes` zero bytes.
std::vector<char> wavWithData(std::uint32_t dataBytes) {
    std::vector<char> bytes(44 + dataBytes);
    const auto put = [&](std::size_t at, std::uint32_t value, std::size_t width) {
        std::memcpy(&bytes[at], &value, width);
    };
    std::memcpy(&bytes[0], "RIFF", 4), put(4, 36 + dataBytes, 4), std::memcpy(&bytes[8], "WAVEfmt ", 8);
    put(16, 16, 4), put(20, 1, 2), put(22, 1, 2), put(24, 48000, 4), put(28, 96000, 4), put(32, 2, 2), put(34, 16, 2);
    std::memcpy(&bytes[36], "data", 4), put(40, dataBytes, 4);
    return bytes;
}

TEST_F(Engine, ASourceWithoutAudioFailsAndWritesNothing) {
    auto enhancer = makeEnhancer("identity.onnx");
    writeBytes(folder / "empty.wav", wavWithData(0));
    writeBytes(folder / "half-a-frame.wav", wavWithData(1));
    for (const AudioFileFormat type : allAudioFileFormats()) {
        for (const char* name : {"empty.wav", "half-a-frame.wav"}) {
            SCOPED_TRACE(name);
            ProcessingOptions chosen = options(enhancer);
            chosen.outputFormat.bitDepth = BitDepth::sixteen;
            chosen.outputFormat.fileFormat = type;
            const ProcessingError error =
                expectProcessingError([&] { processFile(folder / name, out / "take", chosen); });
            EXPECT_EQ(error.kind(), Kind::sourceNotAudio);
            EXPECT_NE(baseMessage(error).find("holds no audio"), std::string::npos) << baseMessage(error);
            EXPECT_TRUE(entries(out).empty());
        }
    }
}

// Content the decoder refuses as audio (bytes of no known format, a video
// without sound) is told apart from a source that cannot be read at all.
TEST_F(Engine, ASourceThatIsNotAudioIsToldApartFromOneThatCannotBeRead) {
    auto enhancer = makeEnhancer("identity.onnx");
    writeBytes(folder / "random.wav", std::vector<char>(4000, 'x'));
    writeBytes(folder / "notes.txt", {'n', 'o', 't', 'e', 's', '\n'});
    const auto silentVideo = fixture("silent.mp4", "-f lavfi -i testsrc=size=64x64:duration=0.2 -an -c:v mpeg4");
    for (const auto& source : {folder / "random.wav", folder / "notes.txt", silentVideo}) {
        SCOPED_TRACE(source);
        EXPECT_EQ(kindOf([&] { processFile(source, out / "take.wav", options(enhancer)); }), Kind::sourceNotAudio);
    }
    for (const auto& source : {folder / "missing.wav", folder.path()}) {
        SCOPED_TRACE(source);
        EXPECT_EQ(kindOf([&] { processFile(source, out / "take.wav", options(enhancer)); }), Kind::readingSource);
    }
    EXPECT_TRUE(entries(out).empty());
}

// Noise in syllable-like bursts of 0.2 s with pauses, scaled by `gain`.
std::vector<float> burstsOfNoise(std::size_t count, float gain, unsigned seed) {
    std::vector<float> samples = noise(static_cast<std::int64_t>(count), 0.5f, seed);
    for (std::size_t k = 0; k < count; ++k) samples[k] *= (k / 9600) % 3 == 2 ? 0.02f * gain : gain;
    return samples;
}

double integratedLoudness(const std::vector<float>& channel, std::int64_t rate) {
    return Loudness(channel, rate, Loudness::Mode::integrated).unitsRelativeToFullScale();
}

TEST_F(Engine, ALoudnessTargetIsReachedByOneGainOrStopsAtTheTruePeakCeiling) {
    // Removes nothing: the output before its gain is the source.
    auto enhancer = makeEnhancer("zeros.onnx");
    const std::size_t length = 6 * 44100;
    // From about -44 to -6 LUFS: every level is brought to the target.
    for (const float gain : {0.012f, 0.12f, 0.9f}) {
        for (const double target : {LoudnessTarget::podcastLoudness, LoudnessTarget::broadcastLoudness}) {
            SCOPED_TRACE(testing::Message() << "gain " << gain << ", target " << target);
            const auto source = folder / "take.wav";
            writeSoundFile(source, {burstsOfNoise(length, gain, 3)}, 44100);
            ProcessingOptions chosen = options(enhancer);
            chosen.loudnessTarget = LoudnessTarget{target};
            const ProcessingResult result = processFile(source, out / "take.wav", chosen);
            const Channels written = readChannels(result.writtenTo);
            ASSERT_TRUE(result.loudness);
            EXPECT_FALSE(result.loudness->limitedByTruePeak);
            EXPECT_NEAR(integratedLoudness(written[0], 44100), target, 0.5);
            EXPECT_NEAR(result.loudness->reachedLoudness, target, 0.01);
            // The whole file is scaled by one gain: the enhanced signal keeps its shape.
            const double ratio = std::pow(10.0, result.loudness->gainDecibels / 20.0);
            const Channels unadjusted = wholeFileReference(source, enhancer, 1.0, 44100);
            for (std::size_t k = 1000; k < length; k += 7919) {
                EXPECT_NEAR(written[0][k], unadjusted[0][k] * ratio, 1e-4 * ratio);
            }
            EXPECT_TRUE(result.warnings().empty());
            std::filesystem::remove(result.writtenTo);
        }
    }

    // Quiet speech with one loud click: reaching -16 LUFS would put the
    // click far past the ceiling, so the gain stops there and says so.
    std::vector<float> clicked = burstsOfNoise(length, 0.03f, 5);
    clicked[length / 2] = 0.9f;
    writeSoundFile(folder / "click.wav", {clicked, clicked}, 44100);
    ProcessingOptions chosen = options(enhancer);
    chosen.loudnessTarget = LoudnessTarget{LoudnessTarget::podcastLoudness};
    const ProcessingResult limited = processFile(folder / "click.wav", out / "click.wav", chosen);
    ASSERT_TRUE(limited.loudness);
    EXPECT_TRUE(limited.loudness->limitedByTruePeak);
    EXPECT_LT(limited.loudness->reachedLoudness, LoudnessTarget::podcastLoudness - 3.0);
    const Channels written = readChannels(limited.writtenTo);
    ProgrammeMeter meter(44100, 2);
    const std::vector<std::span<const float>> views{written[0], written[1]};
    meter.add(views);
    const ProgrammeLevel level = meter.level();
    EXPECT_NEAR(level.truePeakDecibels, LoudnessTarget::truePeakCeiling, 0.05);
    EXPECT_NEAR(level.integrated.unitsRelativeToFullScale(), limited.loudness->reachedLoudness, 0.05);
    ASSERT_EQ(limited.warnings().size(), 1u);
    EXPECT_NE(limited.warnings()[0].find("-16.0 LUFS would have pushed the true peak past -1 dBTP"), std::string::npos)
        << limited.warnings()[0];

    // Silence has no loudness to reach: it stays silent, and is told.
    writeSoundFile(folder / "silence.wav", {std::vector<float>(length, 0.0f)}, 44100);
    const ProcessingResult silent = processFile(folder / "silence.wav", out / "silence.wav", chosen);
    ASSERT_TRUE(silent.loudness);
    EXPECT_TRUE(silent.loudness->silent);
    const Channels silence = readChannels(silent.writtenTo);
    EXPECT_EQ(std::count(silence[0].begin(), silence[0].end(), 0.0f), static_cast<std::ptrdiff_t>(length));
    ASSERT_EQ(silent.warnings().size(), 1u);
    EXPECT_NE(silent.warnings()[0].find("silent"), std::string::npos);

    // Off: no adjustment is made or told.
    chosen.loudnessTarget = {};
    EXPECT_FALSE(processFile(folder / "click.wav", out / "off.wav", chosen).loudness);
}

TEST(LoudnessTarget, NamesAndTheNumbersTheyAccept) {
    EXPECT_EQ(LoudnessTarget::fromName("off"), LoudnessTarget{});
    EXPECT_EQ(LoudnessTarget::fromName("off")->name(), "off");
    for (const auto& [name, level] : {std::pair{"podcast", -16.0}, std::pair{"broadcast", -23.0},
                                      std::pair{"-18.5", -18.5}, std::pair{"-40", -40.0}, std::pair{"-5", -5.0}}) {
        EXPECT_EQ(LoudnessTarget::fromName(name)->integratedLoudness, level) << name;
        EXPECT_EQ(LoudnessTarget::fromName(name)->name(), name);
    }
    for (const char* refused : {"", "-40.5", "-4.9", "0", "16", "nan", "-inf", "-16 ", "-16LUFS", "Podcast", "1e1"}) {
        EXPECT_FALSE(LoudnessTarget::fromName(refused)) << refused;
    }
}

TEST_F(Engine, CancellingLeavesNothingBehindInEitherPassOrWhileWaitingForAPipe) {
    auto enhancer = makeEnhancer("identity.onnx");
    const auto source = folder / "stereo.wav";
    writeSoundFile(source, {noise(sevenSeconds, 0.2f, 5), noise(sevenSeconds, 0.2f, 6)}, 44100);
    for (const double stopAt : {0.0, 0.05, 0.5, 0.99}) {
        ProcessingOptions chosen = options(enhancer);
        chosen.handleProgress = [stopAt](std::span<const double> entries) {
            return !entries.empty() && entries.front() >= stopAt ? Response::stopProcessing
                                                                 : Response::continueProcessing;
        };
        SCOPED_TRACE(stopAt);
        EXPECT_EQ(kindOf([&] { processFile(source, out / "stereo.wav", chosen); }), Kind::cancelled);
        EXPECT_TRUE(entries(out).empty());
    }

    // A pipe that nobody writes to: the wait for its data ends too.
    const auto pipe = folder / "silent-pipe.wav";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    ProcessingOptions chosen = options(enhancer);
    const auto start = std::chrono::steady_clock::now();
    chosen.handleProgress = [&](std::span<const double>) {
        return std::chrono::steady_clock::now() - start > std::chrono::milliseconds(300) ? Response::stopProcessing
                                                                                         : Response::continueProcessing;
    };
    EXPECT_EQ(kindOf([&] { processFile(pipe, out / "x.wav", chosen); }), Kind::cancelled);
    EXPECT_TRUE(entries(out).empty());
}

TEST_F(Engine, ASourceThatChangesBetweenThePassesFails) {
    auto enhancer = makeEnhancer("identity.onnx");
    const auto source = folder / "changing.wav";
    writeSoundFile(source, {noise(sevenSeconds, 0.2f, 7)}, 44100);
    ProcessingOptions chosen = options(enhancer);
    bool changed = false;
    chosen.handleProgress = [&](std::span<const double> entries) {
        // The first pass ends at the measuring share of the entry.
        if (!changed && !entries.empty() && entries.front() > 0.0) {
            std::ofstream(source, std::ios::app) << "more";
            changed = true;
        }
        return Response::continueProcessing;
    };
    EXPECT_EQ(kindOf([&] { processFile(source, out / "changing.wav", chosen); }), Kind::sourceChanged);
    EXPECT_TRUE(entries(out).empty());
}

TEST_F(Engine, APipeIsCopiedReadTwiceAndTheCopyRemoved) {
    auto enhancer = makeEnhancer("scale-half.onnx");
    const auto stored = folder / "stored.wav";
    writeSoundFile(stored, {noise(sevenSeconds, 0.2f, 8), noise(sevenSeconds, 0.2f, 9)}, 44100);
    const auto pipe = folder / "pipe.wav";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);

    std::thread writer([&] {
        std::ofstream into(pipe, std::ios::binary);
        std::ifstream from(stored, std::ios::binary);
        into << from.rdbuf();
    });
    const ProcessingResult result = processFile(pipe, out / "piped.wav", options(enhancer));
    writer.join();
    expectClose(readChannels(result.writtenTo), wholeFileReference(stored, enhancer, 1.0, 44100));
    EXPECT_EQ(entries(out), std::vector<std::string>{"piped.wav"});
}

// A folder that takes no files at all is checked through the command line.
TEST_F(Engine, AReadOnlyFolderIsFoundByItsProbe) {
    const SmallDisk disk(folder / "disk", "64k");
    if (!disk.mounted()) GTEST_SKIP() << "mounting a file system is not permitted here";
    ASSERT_TRUE(disk.makeReadOnly());
    const ProcessingError readOnly = expectProcessingError([&] { prepareOutputFolder(disk.path()); });
    EXPECT_EQ(readOnly.kind(), Kind::folderNotWritable);
    EXPECT_NE(baseMessage(readOnly).find(disk.path().string() + "”: Read-only file system"), std::string::npos)
        << baseMessage(readOnly);
}

TEST_F(Engine, ANameTooLongOrTooLittleSpaceEndsTheFileBeforeDecoding) {
    auto enhancer = makeEnhancer("identity.onnx");
    const auto source = folder / "take.wav";
    writeSoundFile(source, {noise(sevenSeconds, 0.2f, 11)}, 44100);
    EXPECT_EQ(kindOf([&] { processFile(source, out / (std::string(300, 'n') + ".wav"), options(enhancer)); }),
              Kind::nameTooLong);
    EXPECT_TRUE(entries(out).empty());

    const SmallDisk disk(folder / "disk", "256k");
    if (!disk.mounted()) GTEST_SKIP() << "mounting a file system is not permitted here";
    // 7 s of float mono need about 1.2 MB at 44.1 kHz and 1.3 MB converted to 48 kHz.
    const ProcessingError space =
        expectProcessingError([&] { processFile(source, disk / "take.wav", options(enhancer)); });
    EXPECT_EQ(space.kind(), Kind::notEnoughSpace);
    EXPECT_NE(baseMessage(space).find("about 2.6 MB"), std::string::npos) << baseMessage(space);
    EXPECT_TRUE(entries(disk.path()).empty());
    EXPECT_TRUE(reports.empty());  // nothing was decoded
}

// Two seconds of audio under headers claiming 12 hours: the space check
// believes no more than the file can hold, and the output tells where the
// audio ended.
TEST_F(Engine, AClaimedLengthBeyondTheFileIsNeitherRefusedNorSilent) {
    const SmallDisk disk(folder / "disk", "4m");
    if (!disk.mounted()) GTEST_SKIP() << "mounting a file system is not permitted here";
    auto enhancer = makeEnhancer("identity.onnx");
    std::vector<char> wav = wavWithData(2 * 96000);
    const std::uint32_t claimed = 0xFFFFFFF0u;  // 12.4 hours of 16-bit mono at 48 kHz
    std::memcpy(&wav[40], &claimed, 4);
    writeBytes(folder / "claiming.wav", wav);
    std::vector<char> flac = readBytes(fixture("two-seconds.flac", twoSines(48000, "2") + " -c:a flac"));
    claimFrames(flac, 12ull * 3600 * 48000);
    writeBytes(folder / "claiming.flac", flac);

    for (const char* name : {"claiming.wav", "claiming.flac"}) {
        SCOPED_TRACE(name);
        const ProcessingResult result = processFile(folder / name, disk / name, options(enhancer));
        EXPECT_NEAR(result.duration, 2.0, 0.01);
        EXPECT_EQ(
            result.warnings(),
            std::vector<std::string>{"the source is damaged from 0:02.00 to its end; the audio before it was kept"});
        EXPECT_EQ(AudioStream(result.writtenTo).length(), 2 * 44100);
    }
}

TEST_F(Engine, AnOutputThatAppearsMeanwhileIsReplacedOnlyWhenTheHandlerSaysSo) {
    using Existing = ExistingFileAnswer;
    auto enhancer = makeEnhancer("scale-half.onnx");
    const auto source = folder / "take.wav";
    writeSoundFile(source, {noise(30000, 0.2f, 12)}, 48000);
    const auto target = out / "take.wav";
    const std::vector<char> old{'o', 'l', 'd'};
    for (const std::optional<Existing> response : {std::optional<Existing>(), std::optional(Existing::skip),
                                                   std::optional(Existing::stop), std::optional(Existing::replace)}) {
        std::filesystem::remove(target);
        ProcessingOptions chosen = options(enhancer);
        chosen.handleProgress = [&](std::span<const double>) {
            if (!std::filesystem::exists(target)) writeBytes(target, old);
            return Response::continueProcessing;
        };
        std::vector<std::filesystem::path> asked;
        if (response) {
            chosen.handleExistingFile = [&](const std::filesystem::path& location) {
                asked.push_back(location);
                return *response;
            };
        }
        if (!response) {
            EXPECT_EQ(kindOf([&] { processFile(source, target, chosen); }), Kind::writingOutput);
        } else if (*response == Existing::skip) {
            EXPECT_TRUE(processFile(source, target, chosen).writtenTo.empty());
        } else if (*response == Existing::stop) {
            EXPECT_EQ(kindOf([&] { processFile(source, target, chosen); }), Kind::stoppedAtExistingFile);
        } else {
            EXPECT_EQ(processFile(source, target, chosen).writtenTo, target);
        }
        EXPECT_EQ(readBytes(target) == old, response != Existing::replace);
        EXPECT_EQ(asked, response ? std::vector{target} : std::vector<std::filesystem::path>{});
        EXPECT_EQ(entries(out), std::vector<std::string>{"take.wav"});
    }
}

// 20 s of quiet noise in two distinct channels, loud from 12 s to 15 s:
// every 10-s stretch starting from 5 s to 12 s holds the loud part.
Channels quietWithALoudStretch(std::size_t second, unsigned seed) {
    Channels channels;
    for (unsigned channel = 0; channel < 2; ++channel) {
        channels.push_back(noise(20 * second, 0.01f * float(channel + 1), seed + channel));
        const auto loud = noise(3 * second, 0.5f - 0.2f * float(channel), seed + 2 + channel);
        std::copy(loud.begin(), loud.end(), channels.back().begin() + 12 * second);
    }
    return channels;
}

// The `length` samples of `samples` from `start` on; none when they are not all there.
std::vector<float> part(const std::vector<float>& samples, std::int64_t start, std::size_t length) {
    if (start < 0 || std::size_t(start) + length > samples.size()) return {};
    return {samples.begin() + start, samples.begin() + start + std::ptrdiff_t(length)};
}

// The preview, mixed at a share, against the same stretch of processFile's
// output at that share, written at the processing rate as 32-bit floats so
// that no conversion lies between them.
PreviewStretch expectPreviewMatchesOutput(const std::filesystem::path& source, const std::filesystem::path& target,
                                          ProcessingOptions chosen, std::size_t expectedLength) {
    const auto entriesBefore = entries(source.parent_path());
    std::vector<double> lastReport;
    const PreviewStretch stretch =
        preparePreview(source, PreviewOptions{chosen.enhancer, [&](std::span<const double> e) {
                                                  lastReport.assign(e.begin(), e.end());
                                                  return Response::continueProcessing;
                                              }});
    EXPECT_EQ(entries(source.parent_path()), entriesBefore) << "the preview wrote a file";
    EXPECT_FALSE(lastReport.empty());
    for (const double entry : lastReport) EXPECT_EQ(entry, 1.0);

    chosen.outputFormat = {BitDepth::thirtyTwo, SampleRate::fortyEight, AudioFileFormat::wav};
    const auto written = readChannels(processFile(source, target, chosen).writtenTo);
    EXPECT_EQ(stretch.sampleRate, 48000);
    EXPECT_EQ(stretch.length(), expectedLength);
    EXPECT_EQ(stretch.channelCount(), written.size());
    std::vector<float> mixed(stretch.length());
    for (std::size_t channel = 0; channel < std::min(written.size(), stretch.channelCount()); ++channel) {
        stretch.mix(channel, 0, chosen.wetDryMix, mixed);
        EXPECT_LE(largestDifference(mixed, part(written[channel], stretch.start, mixed.size())), 1e-6f)
            << "channel " << channel;
    }
    return stretch;
}

// A long file's stretch starts two segments in, past the first crossfades;
// a file shorter than a preview, of identical channels at another rate
// (enhanced once, converted first), is previewed whole.
TEST_F(Engine, APreviewIsTheLoudestStretchOfTheOutputOnTheFilesSegmentGridOrAShortFileWhole) {
    writeSoundFile(folder / "long.wav", quietWithALoudStretch(48000, 11), 48000);
    const auto mono = noise(3 * 44100, 0.2f, 15);
    writeSoundFile(folder / "short.wav", {mono, mono}, 44100);
    auto enhancer = makeEnhancer("reversed.onnx");
    ProcessingOptions chosen = options(enhancer);
    chosen.wetDryMix = 0.3;
    const PreviewStretch stretch =
        expectPreviewMatchesOutput(folder / "long.wav", out / "long.wav", chosen, 10 * 48000);
    EXPECT_GE(stretch.start, 5 * 48000);
    EXPECT_LE(stretch.start, 12 * 48000);
    chosen.wetDryMix = 0.6;
    EXPECT_EQ(expectPreviewMatchesOutput(folder / "short.wav", out / "short.wav", chosen, 3 * 48000).start, 0);
}

TEST_F(Engine, AComparisonPlaysTheLoudestStretchOfTheWrittenFileAgainstTheSource) {
    // The model removes the quiet noise, so the written file is loudest there too.
    const auto source = folder / "take.wav";
    const Channels sources = quietWithALoudStretch(44100, 21);
    writeSoundFile(source, sources, 44100);
    auto enhancer = makeEnhancer("reversed.onnx");
    const auto target = processFile(source, out / "take.wav", options(enhancer)).writtenTo;

    const PreviewStretch stretch = prepareComparison(source, target, {});
    EXPECT_EQ(entries(out), std::vector<std::string>{"take.wav"});
    ASSERT_EQ(stretch.sampleRate, 44100);
    ASSERT_EQ(stretch.channelCount(), 2u);
    ASSERT_EQ(stretch.length(), 10 * 44100u);
    EXPECT_GE(stretch.start, 5 * 44100);
    EXPECT_LE(stretch.start, 12 * 44100);
    const auto written = readChannels(target);
    for (std::size_t channel = 0; channel < 2; ++channel) {
        EXPECT_EQ(stretch.enhanced[channel], part(written[channel], stretch.start, stretch.length()));
        EXPECT_LE(largestDifference(stretch.original[channel], part(sources[channel], stretch.start, stretch.length())),
                  1e-4f)
            << "channel " << channel;
    }

    // A written file with other channels than the source: both heard as
    // the mean of their channels.
    const auto mono = folder / "mono.wav";
    writeSoundFile(mono, {written[0]}, 44100);
    const PreviewStretch mixed = prepareComparison(source, mono, {});
    ASSERT_EQ(mixed.channelCount(), 1u);
    const auto at = static_cast<std::size_t>(mixed.start) + 1000;
    EXPECT_NEAR(mixed.original[0][1000], (sources[0][at] + sources[1][at]) / 2, 1e-4f);
}

}  // namespace
}  // namespace vesh
