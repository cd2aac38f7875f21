// The file engine against a straightforward whole-file computation, on real
// files and the small test models.

#include "Engine/Engine.h"
#include "Engine/Preview.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <limits>
#include <random>
#include <thread>

#include "AudioIO/AudioError.h"
#include "AudioIO/AudioStream.h"
#include "FullBandSpeechEnhancer/VariableLengthSpeechEnhancer.h"

namespace vesh {
namespace {

using Response = ProcessingOptions::Response;

std::filesystem::path testModel(const std::string& name) { return std::filesystem::path(VESH_TEST_MODELS_DIR) / name; }

VariableLengthSpeechEnhancer makeEnhancer(const std::string& model) {
    return VariableLengthSpeechEnhancer(VariableLengthSpeechEnhancer::productParameters(ComputeUnits::cpuOnly),
                                        testModel(model));
}

std::vector<float> noise(std::size_t length, unsigned seed, float amplitude = 0.2f) {
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> distribution(-amplitude, amplitude);
    std::vector<float> samples(length);
    for (float& sample : samples) sample = distribution(generator);
    return samples;
}

void writeFloatWav(const std::filesystem::path& path, const std::vector<std::vector<float>>& channels, int rate) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = static_cast<int>(channels.size());
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    std::vector<float> interleaved(channels.size() * channels.front().size());
    for (std::size_t frame = 0; frame < channels.front().size(); ++frame) {
        for (std::size_t channel = 0; channel < channels.size(); ++channel) {
            interleaved[frame * channels.size() + channel] = channels[channel][frame];
        }
    }
    sf_writef_float(file, interleaved.data(), static_cast<sf_count_t>(channels.front().size()));
    sf_close(file);
}

std::vector<std::vector<float>> readChannels(const std::filesystem::path& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    EXPECT_NE(file, nullptr) << path;
    if (!file) return {};
    std::vector<float> interleaved(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_float(file, interleaved.data(), info.frames);
    sf_close(file);
    std::vector<std::vector<float>> channels(static_cast<std::size_t>(info.channels));
    for (std::size_t i = 0; i < interleaved.size(); ++i) channels[i % channels.size()].push_back(interleaved[i]);
    return channels;
}

std::vector<std::string> folderEntries(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// The whole-file computation: decode, 48 kHz, enhance each channel whole,
// mix, output rate.
std::vector<std::vector<float>> wholeFileReference(const std::filesystem::path& source,
                                                   VariableLengthSpeechEnhancer& enhancer, double mix,
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
    std::vector<std::vector<float>> channels;
    for (const auto& channel : output.channels()) channels.push_back(channel.samples);
    return channels;
}

void expectClose(const std::vector<std::vector<float>>& actual, const std::vector<std::vector<float>>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t channel = 0; channel < actual.size(); ++channel) {
        ASSERT_EQ(actual[channel].size(), expected[channel].size()) << "channel " << channel;
        float largest = 0.0f;
        for (std::size_t k = 0; k < actual[channel].size(); ++k) {
            largest = std::max(largest, std::fabs(actual[channel][k] - expected[channel][k]));
        }
        EXPECT_LE(largest, 1e-6f) << "channel " << channel;
    }
}

class Engine : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vesh-engine-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        folder = pattern;
        std::filesystem::create_directory(folder / "out");
    }
    void TearDown() override { std::filesystem::remove_all(folder); }

    ProcessingOptions options(VariableLengthSpeechEnhancer& enhancer) {
        ProcessingOptions result;
        result.outputFormat = {{CommonAudioFileFormat::BitDepth::thirtyTwo, CommonAudioFileFormat::FileType::wav},
                               44100};
        result.enhancer = &enhancer;
        result.handleProgress = [this](std::span<const double> entries) {
            // Before the source is open there are no entries yet.
            if (!entries.empty()) reports.emplace_back(entries.begin(), entries.end());
            return Response::continueProcessing;
        };
        return result;
    }

    std::filesystem::path folder;
    std::vector<std::vector<double>> reports;
};

// 7 s at 44.1 kHz: four segments at 48 kHz, the last one partial.
constexpr std::size_t sevenSeconds = 7 * 44100;

TEST_F(Engine, StreamingGivesTheWholeFileResultForDistinctChannels) {
    auto enhancer = makeEnhancer("reversed.onnx");
    const auto source = folder / "stereo.wav";
    writeFloatWav(source, {noise(sevenSeconds, 1), noise(sevenSeconds, 2, 0.05f)}, 44100);

    ProcessingOptions chosen = options(enhancer);
    chosen.wetDryMix = 0.7;
    const ProcessingResult result = processFile(source, folder / "out" / "stereo.wav", chosen);
    EXPECT_EQ(result.writtenTo, folder / "out" / "stereo.wav");
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

TEST_F(Engine, IdenticalChannelsAreEnhancedOnceAtTheSourceRateAndFormat) {
    auto enhancer = makeEnhancer("scale-half.onnx");
    const auto source = folder / "dual-mono.wav";
    const auto mono = noise(sevenSeconds, 3);
    writeFloatWav(source, {mono, mono}, 44100);

    ProcessingOptions chosen = options(enhancer);
    chosen.matchSourceFormat = true;
    chosen.outputFormat.sampleRate = 96000;  // not used when matching the source
    const ProcessingResult result = processFile(source, folder / "out" / "dual-mono.wav", chosen);
    const auto written = readChannels(result.writtenTo);
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[0], written[1]);
    expectClose(written, wholeFileReference(source, enhancer, 1.0, 44100));
    EXPECT_EQ(reports.back(), std::vector<double>{1.0});
}

TEST_F(Engine, AShortFileAtTheProcessingRateIsWrittenWithoutConversion) {
    auto enhancer = makeEnhancer("scale-half.onnx");
    const auto source = folder / "short.wav";
    writeFloatWav(source, {noise(30000, 4)}, 48000);
    ProcessingOptions chosen = options(enhancer);
    chosen.outputFormat.sampleRate = 48000;
    const ProcessingResult result = processFile(source, folder / "out" / "short.wav", chosen);
    expectClose(readChannels(result.writtenTo), wholeFileReference(source, enhancer, 1.0, 48000));
}

TEST_F(Engine, NonFiniteSamplesCountAsSilence) {
    auto enhancer = makeEnhancer("scale-half.onnx");
    // One NaN, one +Inf and a run of both; the reference has 0 in their places.
    auto zeroed = noise(sevenSeconds, 10);
    auto damaged = zeroed;
    damaged[20000] = std::numeric_limits<float>::quiet_NaN();
    damaged[150000] = std::numeric_limits<float>::infinity();
    zeroed[20000] = zeroed[150000] = 0.0f;
    for (std::size_t k = 250000; k < 250050; ++k) {
        damaged[k] = k % 2 == 0 ? std::numeric_limits<float>::quiet_NaN() : -std::numeric_limits<float>::infinity();
        zeroed[k] = 0.0f;
    }
    writeFloatWav(folder / "zeroed.wav", {zeroed}, 44100);
    writeFloatWav(folder / "damaged.wav", {damaged}, 44100);

    const auto reference =
        readChannels(processFile(folder / "zeroed.wav", folder / "out" / "zeroed.wav", options(enhancer)).writtenTo);
    const auto written =
        readChannels(processFile(folder / "damaged.wav", folder / "out" / "damaged.wav", options(enhancer)).writtenTo);
    ASSERT_EQ(written.size(), 1u);
    for (const float sample : written[0]) ASSERT_TRUE(std::isfinite(sample));
    EXPECT_EQ(written, reference);
}

TEST_F(Engine, CancellingLeavesNothingBehindInEitherPass) {
    auto enhancer = makeEnhancer("identity.onnx");
    const auto source = folder / "stereo.wav";
    writeFloatWav(source, {noise(sevenSeconds, 5), noise(sevenSeconds, 6)}, 44100);
    for (const double stopAt : {0.0, 0.05, 0.5, 0.99}) {
        ProcessingOptions chosen = options(enhancer);
        chosen.handleProgress = [stopAt](std::span<const double> entries) {
            return !entries.empty() && entries.front() >= stopAt ? Response::stopProcessing
                                                                 : Response::continueProcessing;
        };
        try {
            processFile(source, folder / "out" / "stereo.wav", chosen);
            ADD_FAILURE() << "not cancelled at " << stopAt;
        } catch (const ProcessingError& error) {
            EXPECT_EQ(error.code(), ProcessingError::Code::cancelled);
        }
        EXPECT_TRUE(folderEntries(folder / "out").empty()) << "cancelled at " << stopAt;
    }
}

TEST_F(Engine, ASourceThatChangesBetweenThePassesFails) {
    auto enhancer = makeEnhancer("identity.onnx");
    const auto source = folder / "changing.wav";
    writeFloatWav(source, {noise(sevenSeconds, 7)}, 44100);
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
    try {
        processFile(source, folder / "out" / "changing.wav", chosen);
        ADD_FAILURE() << "a changed source was processed";
    } catch (const AudioError& error) {
        EXPECT_EQ(error.failedOperation(), AudioError::Operation::readAudioFile);
        try {
            std::rethrow_exception(error.base());
        } catch (const ProcessingError& base) {
            EXPECT_EQ(base.code(), ProcessingError::Code::sourceChanged);
        }
    }
    EXPECT_TRUE(folderEntries(folder / "out").empty());
}

TEST_F(Engine, APipeIsCopiedReadTwiceAndTheCopyRemoved) {
    auto enhancer = makeEnhancer("scale-half.onnx");
    const auto stored = folder / "stored.wav";
    writeFloatWav(stored, {noise(sevenSeconds, 8), noise(sevenSeconds, 9)}, 44100);
    const auto pipe = folder / "pipe.wav";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);

    std::thread writer([&] {
        std::ofstream into(pipe, std::ios::binary);
        std::ifstream from(stored, std::ios::binary);
        into << from.rdbuf();
    });
    const ProcessingResult result = processFile(pipe, folder / "out" / "piped.wav", options(enhancer));
    writer.join();
    expectClose(readChannels(result.writtenTo), wholeFileReference(stored, enhancer, 1.0, 44100));
    EXPECT_EQ(folderEntries(folder / "out"), std::vector<std::string>{"piped.wav"});
}

TEST_F(Engine, CancellingWhileAPipeHasNoWriterActsAtOnce) {
    auto enhancer = makeEnhancer("identity.onnx");
    const auto pipe = folder / "silent-pipe.wav";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    ProcessingOptions chosen = options(enhancer);
    const auto start = std::chrono::steady_clock::now();
    chosen.handleProgress = [&](std::span<const double>) {
        return std::chrono::steady_clock::now() - start > std::chrono::milliseconds(300) ? Response::stopProcessing
                                                                                         : Response::continueProcessing;
    };
    EXPECT_THROW(processFile(pipe, folder / "out" / "x.wav", chosen), ProcessingError);
    EXPECT_TRUE(folderEntries(folder / "out").empty());
}

// The refusal inside the AudioError(writeAudioFile) that `action` throws.
UnwritableOutputError expectRefusal(const std::function<void()>& action) {
    try {
        action();
    } catch (const AudioError& error) {
        EXPECT_EQ(error.failedOperation(), AudioError::Operation::writeAudioFile);
        try {
            std::rethrow_exception(error.base());
        } catch (const UnwritableOutputError& refusal) {
            return refusal;
        } catch (...) {
        }
    }
    ADD_FAILURE() << "no refusal";
    return UnwritableOutputError(UnwritableOutputError::Code::folderNotWritable, "");
}

// A small file system for one test, where the process may mount one.
struct SmallDisk {
    SmallDisk(const std::filesystem::path& where, const char* options) : where(where) {
        std::filesystem::create_directory(where);
        mounted = ::mount("tmpfs", where.c_str(), "tmpfs", 0, options) == 0;
    }
    ~SmallDisk() {
        if (mounted) ::umount2(where.c_str(), MNT_DETACH);
    }
    std::filesystem::path where;
    bool mounted;
};

TEST_F(Engine, AFolderThatTakesNoFilesIsFoundByItsProbe) {
    const UnwritableOutputError proc = expectRefusal([] { prepareOutputFolder("/proc"); });
    EXPECT_EQ(proc.code(), UnwritableOutputError::Code::folderNotWritable);
    EXPECT_NE(std::string(proc.what()).find("folder “/proc”: "), std::string::npos) << proc.what();

    const SmallDisk disk(folder / "disk", "size=64k");
    if (!disk.mounted) GTEST_SKIP() << "mounting a file system is not permitted here";
    ASSERT_EQ(::mount("tmpfs", disk.where.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=64k"), 0);
    const UnwritableOutputError readOnly = expectRefusal([&] { prepareOutputFolder(disk.where); });
    EXPECT_NE(std::string(readOnly.what()).find(disk.where.string() + "”: Read-only file system"), std::string::npos)
        << readOnly.what();
}

TEST_F(Engine, ANameTooLongOrTooLittleSpaceEndsTheFileBeforeDecoding) {
    auto enhancer = makeEnhancer("identity.onnx");
    const auto source = folder / "take.wav";
    writeFloatWav(source, {noise(sevenSeconds, 11)}, 44100);
    const auto name = expectRefusal(
        [&] { processFile(source, folder / "out" / (std::string(300, 'n') + ".wav"), options(enhancer)); });
    EXPECT_EQ(name.code(), UnwritableOutputError::Code::nameTooLong);
    EXPECT_TRUE(folderEntries(folder / "out").empty());

    const SmallDisk disk(folder / "disk", "size=256k");
    if (!disk.mounted) GTEST_SKIP() << "mounting a file system is not permitted here";
    // 7 s of float mono need about 1.2 MB at 44.1 kHz and 1.3 MB converted to 48 kHz.
    const auto space = expectRefusal([&] { processFile(source, disk.where / "take.wav", options(enhancer)); });
    EXPECT_EQ(space.code(), UnwritableOutputError::Code::notEnoughSpace);
    EXPECT_NE(std::string(space.what()).find("about 2.6 MB"), std::string::npos) << space.what();
    EXPECT_TRUE(folderEntries(disk.where).empty());
    EXPECT_TRUE(reports.empty());  // nothing was decoded
}

TEST_F(Engine, AnOutputThatAppearsMeanwhileIsReplacedOnlyWhenTheHandlerSaysSo) {
    using Existing = ProcessingOptions::ExistingFileResponse;
    auto enhancer = makeEnhancer("scale-half.onnx");
    const auto source = folder / "take.wav";
    writeFloatWav(source, {noise(30000, 12)}, 48000);
    const auto target = folder / "out" / "take.wav";
    const auto keep = [&] {
        std::ifstream file(target);
        return std::string(std::istreambuf_iterator<char>(file), {}) == "keep me";
    };
    for (const std::optional<Existing> response : {std::optional<Existing>(), std::optional(Existing::skip),
                                                   std::optional(Existing::stop), std::optional(Existing::replace)}) {
        std::filesystem::remove(target);
        ProcessingOptions chosen = options(enhancer);
        chosen.handleProgress = [&](std::span<const double>) {
            if (!std::filesystem::exists(target)) std::ofstream(target) << "keep me";
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
            EXPECT_THROW(processFile(source, target, chosen), AudioError);
            EXPECT_TRUE(keep());
        } else if (*response == Existing::skip) {
            EXPECT_TRUE(processFile(source, target, chosen).writtenTo.empty());
            EXPECT_TRUE(keep());
        } else if (*response == Existing::stop) {
            try {
                processFile(source, target, chosen);
                ADD_FAILURE() << "not stopped";
            } catch (const ProcessingError& error) {
                EXPECT_EQ(error.code(), ProcessingError::Code::stoppedAtExistingFile);
            }
            EXPECT_TRUE(keep());
        } else {
            EXPECT_EQ(processFile(source, target, chosen).writtenTo, target);
            EXPECT_EQ(readChannels(target).size(), 1u);
        }
        EXPECT_EQ(asked, response ? std::vector{target} : std::vector<std::filesystem::path>{});
        EXPECT_EQ(folderEntries(folder / "out"), std::vector<std::string>{"take.wav"});
    }
}

// The preview, mixed at a share, against the same stretch of processFile's
// output at that share, written at the processing rate as 32-bit floats so
// that no conversion lies between them.
void expectPreviewMatchesOutput(const std::filesystem::path& source, const std::filesystem::path& target,
                                ProcessingOptions chosen, std::int64_t expectedLength) {
    const double mix = chosen.wetDryMix;
    const std::filesystem::path folder = source.parent_path();
    const auto entriesBefore = folderEntries(folder);
    std::vector<double> lastReport;
    const PreviewStretch stretch =
        preparePreview(source, PreviewOptions{chosen.enhancer, [&](std::span<const double> e) {
                                                  lastReport.assign(e.begin(), e.end());
                                                  return Response::continueProcessing;
                                              }});
    EXPECT_EQ(folderEntries(folder), entriesBefore) << "the preview wrote a file";
    ASSERT_FALSE(lastReport.empty());
    for (const double entry : lastReport) EXPECT_EQ(entry, 1.0);

    chosen.outputFormat = {{CommonAudioFileFormat::BitDepth::thirtyTwo, CommonAudioFileFormat::FileType::wav}, 48000};
    const auto written = readChannels(processFile(source, target, chosen).writtenTo);
    ASSERT_EQ(stretch.sampleRate, 48000);
    ASSERT_EQ(stretch.channelCount(), written.size());
    ASSERT_EQ(std::ssize(stretch.original.front()), expectedLength);
    std::vector<float> mixed(stretch.length());
    for (std::size_t channel = 0; channel < written.size(); ++channel) {
        stretch.mix(channel, 0, mix, mixed);
        ASSERT_LE(static_cast<std::size_t>(stretch.start) + mixed.size(), written[channel].size());
        float largest = 0.0f;
        for (std::size_t k = 0; k < mixed.size(); ++k) {
            largest =
                std::max(largest, std::fabs(mixed[k] - written[channel][static_cast<std::size_t>(stretch.start) + k]));
        }
        EXPECT_LE(largest, 1e-6f) << "channel " << channel;
    }
}

TEST_F(Engine, APreviewIsTheLoudestStretchOfTheOutputOnTheFilesSegmentGrid) {
    // 20 s of quiet, distinct channels with 3 s of loud ones from 12 s on:
    // every 10-s stretch from 5 s to 12 s holds them, and from 5 s on the
    // stretch starts two segments into the file, past the first crossfades.
    constexpr std::size_t second = 48000;
    auto left = noise(20 * second, 11, 0.01f);
    auto right = noise(20 * second, 12, 0.02f);
    const auto loudLeft = noise(3 * second, 13, 0.5f);
    const auto loudRight = noise(3 * second, 14, 0.3f);
    std::copy(loudLeft.begin(), loudLeft.end(), left.begin() + 12 * second);
    std::copy(loudRight.begin(), loudRight.end(), right.begin() + 12 * second);
    const auto source = folder / "long.wav";
    writeFloatWav(source, {left, right}, 48000);

    auto enhancer = makeEnhancer("reversed.onnx");
    ProcessingOptions chosen = options(enhancer);
    chosen.wetDryMix = 0.3;
    expectPreviewMatchesOutput(source, folder / "out" / "long.wav", chosen, 10 * second);
    const PreviewStretch stretch = preparePreview(source, PreviewOptions{&enhancer, {}});
    EXPECT_GE(stretch.start, 5 * 48000);
    EXPECT_LE(stretch.start, 12 * 48000);
}

TEST_F(Engine, AFileShorterThanAPreviewIsPreviewedWhole) {
    // Identical channels at another rate: enhanced once, converted first.
    const auto mono = noise(3 * 44100, 15);
    const auto source = folder / "short.wav";
    writeFloatWav(source, {mono, mono}, 44100);
    auto enhancer = makeEnhancer("reversed.onnx");
    ProcessingOptions chosen = options(enhancer);
    chosen.wetDryMix = 0.6;
    expectPreviewMatchesOutput(source, folder / "out" / "short.wav", chosen, 3 * 48000);
}

TEST_F(Engine, AComparisonPlaysTheLoudestStretchOfTheWrittenFileAgainstTheSource) {
    // Loud noise from 12 s to 15 s of 20 s; the model removes the quiet
    // noise, so the written file is loudest there too.
    constexpr std::size_t second = 44100;
    auto left = noise(20 * second, 21, 0.01f);
    auto right = noise(20 * second, 22, 0.02f);
    const auto loud = noise(3 * second, 23, 0.5f);
    std::copy(loud.begin(), loud.end(), left.begin() + 12 * second);
    std::copy(loud.begin(), loud.end(), right.begin() + 12 * second);
    const auto source = folder / "take.wav";
    writeFloatWav(source, {left, right}, 44100);
    auto enhancer = makeEnhancer("reversed.onnx");
    ProcessingOptions chosen = options(enhancer);
    chosen.outputFormat = {{CommonAudioFileFormat::BitDepth::thirtyTwo, CommonAudioFileFormat::FileType::wav}, 44100};
    const auto target = processFile(source, folder / "out" / "take.wav", chosen).writtenTo;
    const auto entriesBefore = folderEntries(folder / "out");

    const PreviewStretch stretch = prepareComparison(source, target, {});
    EXPECT_EQ(folderEntries(folder / "out"), entriesBefore);
    ASSERT_EQ(stretch.sampleRate, 44100);
    ASSERT_EQ(stretch.channelCount(), 2u);
    ASSERT_EQ(stretch.length(), 10 * second);
    EXPECT_GE(stretch.start, 5 * std::int64_t{second});
    EXPECT_LE(stretch.start, 12 * std::int64_t{second});
    const auto written = readChannels(target);
    const std::vector<std::vector<float>> sources{left, right};
    const auto start = static_cast<std::ptrdiff_t>(stretch.start);
    for (std::size_t channel = 0; channel < 2; ++channel) {
        EXPECT_TRUE(std::equal(stretch.enhanced[channel].begin(), stretch.enhanced[channel].end(),
                               written[channel].begin() + start));
        float largest = 0.0f;
        for (std::size_t k = 0; k < stretch.length(); ++k) {
            largest = std::max(largest, std::fabs(stretch.original[channel][k] -
                                                  sources[channel][static_cast<std::size_t>(start) + k]));
        }
        EXPECT_LE(largest, 1e-4f) << "channel " << channel;
    }

    // A written file with other channels than the source: both heard as
    // the mean of their channels.
    const auto mono = folder / "mono.wav";
    writeFloatWav(mono, {written[0]}, 44100);
    const PreviewStretch mixed = prepareComparison(source, mono, {});
    ASSERT_EQ(mixed.channelCount(), 1u);
    const auto at = static_cast<std::size_t>(mixed.start) + 1000;
    EXPECT_NEAR(mixed.original[0][1000], (left[at] + right[at]) / 2, 1e-4f);
}

}  // namespace
}  // namespace vesh
