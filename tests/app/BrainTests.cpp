// The batch controller on real files, real test models and a real event loop.

#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>
#include <sndfile.h>

#include <sys/stat.h>

#include <cmath>
#include <fstream>
#include <tuple>
#include <vector>

#include "TestSupport.h"

using namespace vesh;
using namespace vesh::testing;
using Answer = UserInteraction::ExistingFileAnswer;

namespace {

constexpr int floatWav = SF_FORMAT_WAV | SF_FORMAT_FLOAT;

float largestDifference(const std::vector<float>& a, const std::vector<float>& b) {
    EXPECT_EQ(a.size(), b.size());
    float largest = 0.0f;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) largest = std::max(largest, std::fabs(a[i] - b[i]));
    return largest;
}

float largestMagnitude(const std::vector<float>& samples) {
    float largest = 0.0f;
    for (const float sample : samples) largest = std::max(largest, std::fabs(sample));
    return largest;
}

// Records every published progress value of a Brain.
struct ProgressLog {
    explicit ProgressLog(Brain& brain) {
        QObject::connect(&brain, &Brain::progressChanged,
                         [this, &brain] { values.push_back(brain.progress().channels); });
    }
    std::vector<std::vector<double>> values;
};

}  // namespace

class Processing : public ::testing::Test {
protected:
    // Mono 48 kHz float WAV: 3 s of sine plus noise, long enough for several segments.
    std::filesystem::path writeSpeechLikeInput(BrainHarness& harness, const std::string& name, double seconds = 3.0) {
        auto samples = sine(220, 48000, seconds);
        const auto hiss = noise(48000, seconds, 1);
        for (std::size_t i = 0; i < samples.size(); ++i) samples[i] += 0.2f * hiss[i];
        writeSoundFile(harness.input(name), {samples}, 48000, floatWav);
        return harness.input(name);
    }
};

TEST_F(Processing, WetDryMixOfTheEnhancedAndTheUntouchedSignal) {
    // The zeros model subtracts nothing: the enhanced signal is the input.
    BrainHarness zeros("zeros.onnx");
    zeros.brain->setOutputBitDepth(32);
    const auto source = writeSpeechLikeInput(zeros, "voice.wav");
    ASSERT_TRUE(zeros.process({source}));
    const auto input = readSoundFile(source).channels[0];
    const SoundFile fullyWet = readSoundFile(zeros.output("voice.wav"));
    EXPECT_EQ(fullyWet.sampleRate, 48000);
    EXPECT_EQ(fullyWet.format, floatWav);
    EXPECT_LT(largestDifference(fullyWet.channels[0], input), 2e-3f);

    // The identity model subtracts everything: the enhanced signal is silence.
    BrainHarness identity("identity.onnx");
    identity.brain->setOutputBitDepth(32);
    std::filesystem::copy_file(source, identity.input("voice.wav"));
    ASSERT_TRUE(identity.process({identity.input("voice.wav")}));
    EXPECT_LT(largestMagnitude(readSoundFile(identity.output("voice.wav")).channels[0]), 1e-6f);

    identity.brain->setWetDryMix(0.0);
    identity.brain->setFilenameSuffix("_dry");
    ASSERT_TRUE(identity.process({identity.input("voice.wav")}));
    const auto dry = readSoundFile(identity.output("voice_dry.wav")).channels[0];
    EXPECT_LT(largestDifference(dry, input), 2e-3f);
    EXPECT_GT(largestMagnitude(dry), 0.5f);

    identity.brain->setWetDryMix(0.25);
    identity.brain->setFilenameSuffix("_quarter");
    ASSERT_TRUE(identity.process({identity.input("voice.wav")}));
    const auto quarter = readSoundFile(identity.output("voice_quarter.wav")).channels[0];
    ASSERT_EQ(quarter.size(), dry.size());
    for (std::size_t k = 0; k < dry.size(); ++k) ASSERT_EQ(quarter[k], dry[k] * 0.75f) << "sample " << k;
}

TEST_F(Processing, IdenticalChannelsAreEnhancedOnceAndShareTheResult) {
    BrainHarness harness("scale-half.onnx");
    const auto mono = noise(48000, 2.5, 3);
    writeSoundFile(harness.input("dual-mono.wav"), {mono, mono}, 48000, floatWav);
    ProgressLog log(*harness.brain);
    ASSERT_TRUE(harness.process({harness.input("dual-mono.wav")}));

    // One entry per channel while the channels are measured, a single one
    // once they are found identical.
    ASSERT_GE(log.values.size(), 3u);
    EXPECT_EQ(log.values.front(), (std::vector<double>{0.0, 0.0}));
    EXPECT_EQ(log.values[log.values.size() - 2], std::vector<double>{1.0});
    EXPECT_TRUE(log.values.back().empty());  // the end-of-batch reset

    const SoundFile written = readSoundFile(harness.output("dual-mono.wav"));
    ASSERT_EQ(written.channels.size(), 2u);
    EXPECT_EQ(written.channels[0], written.channels[1]);
    EXPECT_EQ(written.format, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
}

TEST_F(Processing, DistinctChannelsAreEachEnhanced) {
    BrainHarness harness("scale-half.onnx");
    harness.brain->setOutputBitDepth(32);
    const auto left = noise(48000, 2.5, 4);
    const auto right = noise(48000, 2.5, 5);
    writeSoundFile(harness.input("stereo.wav"), {left, right}, 48000, floatWav);
    ProgressLog log(*harness.brain);
    ASSERT_TRUE(harness.process({harness.input("stereo.wav")}));

    ASSERT_GE(log.values.size(), 3u);
    EXPECT_EQ(log.values.front(), (std::vector<double>{0.0, 0.0}));
    for (std::size_t i = 0; i + 1 < log.values.size(); ++i) ASSERT_EQ(log.values[i].size(), 2u);
    EXPECT_EQ(log.values[log.values.size() - 2], (std::vector<double>{1.0, 1.0}));

    const SoundFile written = readSoundFile(harness.output("stereo.wav"));
    ASSERT_EQ(written.channels.size(), 2u);
    // Each channel is its own input enhanced (the model halves, the enhancer keeps the other half).
    const auto halfOf = [](std::vector<float> samples) {
        for (float& sample : samples) sample *= 0.5f;
        return samples;
    };
    EXPECT_LT(largestDifference(written.channels[0], halfOf(left)), 2e-3f);
    EXPECT_LT(largestDifference(written.channels[1], halfOf(right)), 2e-3f);
}

TEST_F(Processing, MatchingTheInputKeepsItsRateFormatAndName) {
    BrainHarness harness("zeros.onnx");
    harness.brain->setOutputFormatMatchesInput(true);
    harness.brain->setFilenamePrefix("a_");
    harness.brain->setFilenameSuffix("_b");
    harness.brain->setOutputSampleRate(96000);  // does not matter when matching
    const auto input = sine(440, 44100, 1.0);
    writeSoundFile(harness.input("take.aiff"), {input, input}, 44100, SF_FORMAT_AIFF | SF_FORMAT_PCM_16);
    QSignalSpy finished(harness.brain.get(), &Brain::fileFinished);
    ASSERT_TRUE(harness.process({harness.input("take.aiff")}));

    const SoundFile written = readSoundFile(harness.output("a_take_b.aiff"));
    EXPECT_EQ(written.sampleRate, 44100);
    EXPECT_EQ(written.format, SF_FORMAT_AIFF | SF_FORMAT_PCM_16);
    ASSERT_EQ(written.channels.size(), 2u);
    EXPECT_EQ(written.channels[0].size(), input.size());
    EXPECT_LT(largestDifference(written.channels[0], input), 2e-3f);
    ASSERT_EQ(finished.size(), 1);
    EXPECT_EQ(finished[0][1].toString().toStdString(), harness.output("a_take_b.aiff").string());
}

TEST_F(Processing, ClippingIsPublishedPerFileForIntegerOutputsOnly) {
    BrainHarness harness("zeros.onnx");
    auto loud = sine(440, 48000, 1.0);
    for (float& sample : loud) sample *= 3.0f;
    writeSoundFile(harness.input("loud.wav"), {loud}, 48000, floatWav);
    writeSoundFile(harness.input("quiet.wav"), {sine(440, 48000, 1.0)}, 48000, floatWav);
    harness.brain->setOutputBitDepth(16);
    QSignalSpy warned(harness.brain.get(), &Brain::fileWarned);
    ASSERT_TRUE(harness.process({harness.input("loud.wav"), harness.input("quiet.wav")}));
    ASSERT_EQ(warned.size(), 1);
    EXPECT_EQ(warned[0][0].toString().toStdString(), harness.input("loud.wav").string());
    EXPECT_TRUE(warned[0][2].toBool());
    EXPECT_TRUE(warned[0][1].toStringList().constFirst().contains("dBFS"));

    std::filesystem::remove_all(harness.outputFolder);
    std::filesystem::create_directory(harness.outputFolder);
    harness.brain->setOutputBitDepth(32);
    warned.clear();
    ASSERT_TRUE(harness.process({harness.input("loud.wav")}));
    EXPECT_EQ(warned.size(), 0);
    EXPECT_GT(largestMagnitude(readSoundFile(harness.output("loud.wav")).channels[0]), 1.4f);
}

TEST_F(Processing, MatchingASourceTheWriterCannotProduceFallsBackToTheChosenFormat) {
    BrainHarness harness("zeros.onnx");
    harness.brain->setOutputFormatMatchesInput(true);
    harness.brain->setOutputBitDepth(16);
    harness.brain->setOutputFileFormat("wav");
    writeSoundFile(harness.input("voice.wav"), {sine(440, 44100, 1.0)}, 44100, floatWav);
    runFfmpeg({"-i", QString::fromStdString(harness.input("voice.wav").string()), "-c:a", "aac",
               QString::fromStdString(harness.input("voice.m4a").string())});
    QSignalSpy finished(harness.brain.get(), &Brain::fileFinished);
    ASSERT_TRUE(harness.process({harness.input("voice.m4a")}));

    EXPECT_EQ(folderEntries(harness.outputFolder), std::vector<std::string>{"voice.wav"});
    const SoundFile written = readSoundFile(harness.output("voice.wav"));
    // A WAV file that carries the source's channel layout is an extensible WAV.
    EXPECT_TRUE((written.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAV ||
                (written.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAVEX);
    EXPECT_EQ(written.format & SF_FORMAT_SUBMASK, SF_FORMAT_PCM_16);
    EXPECT_EQ(written.sampleRate, 44100);
    ASSERT_EQ(finished.size(), 1);
    EXPECT_EQ(finished[0][1].toString().toStdString(), harness.output("voice.wav").string());
    EXPECT_FALSE(harness.brain->alertIsDisplayed());
}

TEST_F(Processing, ASourceWithoutExtensionGivesATargetWithoutExtension) {
    BrainHarness harness("zeros.onnx");
    harness.brain->setOutputFormatMatchesInput(true);
    writeSoundFile(harness.input("memo"), {sine(440, 48000, 0.5)}, 48000, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
    ASSERT_TRUE(harness.process({harness.input("memo")}));
    EXPECT_EQ(folderEntries(harness.outputFolder), std::vector<std::string>{"memo"});
    EXPECT_EQ(readSoundFile(harness.output("memo")).format, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
}

TEST_F(Processing, TheChosenFormatAndRateAndUnlistedStoredValues) {
    BrainHarness harness("zeros.onnx");
    writeSoundFile(harness.input("voice.wav"), {sine(440, 48000, 1.0)}, 48000, floatWav);
    harness.brain->setOutputFormat({BitDepth::sixteen, SampleRate::fortyFourPointOne, AudioFileFormat::aiff});
    ASSERT_TRUE(harness.process({harness.input("voice.wav")}));
    const SoundFile aiff = readSoundFile(harness.output("voice.aif"));
    EXPECT_EQ(aiff.format, SF_FORMAT_AIFF | SF_FORMAT_PCM_16);
    EXPECT_EQ(aiff.sampleRate, 44100);
    EXPECT_EQ(aiff.channels[0].size(), 44100u);

    // An edited store: an unlisted depth and file format write 24-bit WAV,
    // while an unlisted rate is the rate written.
    harness.brain->setOutputBitDepth(20);
    harness.brain->setOutputSampleRate(12345);
    harness.brain->setOutputFileFormat("mp3");
    ASSERT_TRUE(harness.process({harness.input("voice.wav")}));
    const SoundFile fallback = readSoundFile(harness.output("voice.wav"));
    EXPECT_EQ(fallback.format, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
    EXPECT_EQ(fallback.sampleRate, 12345);
    EXPECT_EQ(fallback.channels[0].size(), 12345u);
}

class ExistingTargets : public Processing {
protected:
    ExistingTargets() : harness("zeros.onnx") {
        for (const char* name : {"one.wav", "two.wav", "three.wav"}) {
            writeSoundFile(harness.input(name), {sine(440, 48000, 0.2)}, 48000, floatWav);
            sources.push_back(harness.input(name));
        }
    }

    void placeExisting(const std::string& name) { std::ofstream(harness.output(name)) << "keep me"; }

    std::string contents(const std::string& name) {
        std::ifstream file(harness.output(name));
        return std::string(std::istreambuf_iterator<char>(file), {});
    }

    BrainHarness harness;
    std::vector<std::filesystem::path> sources;
};

TEST_F(ExistingTargets, SkipKeepsTheExistingFileAndReplaceOverwritesIt) {
    placeExisting("two.wav");
    harness.interaction.answers = {Answer::skip};
    ASSERT_TRUE(harness.process(sources));
    EXPECT_EQ(contents("two.wav"), "keep me");
    EXPECT_EQ(folderEntries(harness.outputFolder), (std::vector<std::string>{"one.wav", "three.wav", "two.wav"}));

    std::filesystem::remove(harness.output("one.wav"));
    std::filesystem::remove(harness.output("three.wav"));
    harness.interaction.answers = {Answer::replace};
    ASSERT_TRUE(harness.process(sources));
    EXPECT_EQ(harness.interaction.questions.size(), 2u);
    EXPECT_EQ(folderEntries(harness.outputFolder), (std::vector<std::string>{"one.wav", "three.wav", "two.wav"}));
    EXPECT_EQ(readSoundFile(harness.output("two.wav")).channels.size(), 1u);
}

TEST_F(ExistingTargets, StopProcessesNothingAndShowsNothing) {
    placeExisting("one.wav");
    placeExisting("three.wav");
    harness.interaction.answers = {Answer::replace, Answer::stop};
    QSignalSpy processing(harness.brain.get(), &Brain::modelIsProcessingChanged);
    EXPECT_FALSE(harness.process(sources));
    EXPECT_EQ(harness.interaction.questions.size(), 2u);
    EXPECT_EQ(processing.size(), 0);
    EXPECT_FALSE(harness.brain->alertIsDisplayed());
    EXPECT_FALSE(harness.brain->error().has_value());
    EXPECT_EQ(contents("one.wav"), "keep me");
    EXPECT_EQ(folderEntries(harness.outputFolder), (std::vector<std::string>{"one.wav", "three.wav"}));
}

TEST_F(ExistingTargets, EveryFileOfTheDropHasAnOutcomeUntilTheNextDrop) {
    using Status = Brain::FileOutcome::Status;
    placeExisting("two.wav");
    std::ofstream(harness.input("bad.wav")) << "this is not audio";
    harness.interaction.answers = {Answer::skip};
    Brain& brain = *harness.brain;
    std::vector<std::pair<int, int>> positions;
    QObject::connect(&brain, &Brain::nameOfFileBeingProcessedChanged,
                     [&] { positions.emplace_back(brain.indexOfFileBeingProcessed(), brain.numberOfFilesInBatch()); });
    ASSERT_TRUE(harness.process({sources[0], sources[1], harness.input("bad.wav"), sources[2]}));

    // two.wav is skipped, so the batch has three files and ends at the second.
    EXPECT_EQ(positions, (std::vector<std::pair<int, int>>{{0, 3}, {1, 3}}));
    ASSERT_TRUE(brain.batchOutcome().has_value());
    const Brain::BatchOutcome& outcome = *brain.batchOutcome();
    EXPECT_EQ(outcome.outputFolder, harness.outputFolder);
    const std::vector<std::tuple<std::filesystem::path, Status, std::filesystem::path>> expected{
        {sources[0], Status::written, harness.output("one.wav")},
        {sources[1], Status::skipped, {}},
        {harness.input("bad.wav"), Status::failed, harness.output("bad.wav")},
        {sources[2], Status::notProcessed, harness.output("three.wav")}};
    std::vector<std::tuple<std::filesystem::path, Status, std::filesystem::path>> actual;
    for (const Brain::FileOutcome& file : outcome.files) actual.emplace_back(file.source, file.status, file.target);
    EXPECT_EQ(actual, expected);

    brain.setAlertIsDisplayed(false);
    EXPECT_FALSE(harness.process({}));
    EXPECT_FALSE(brain.batchOutcome().has_value());
}

TEST_F(ExistingTargets, SkippingEveryFileStartsNoBatch) {
    for (const char* name : {"one.wav", "two.wav", "three.wav"}) placeExisting(name);
    harness.interaction.answers = {Answer::skip, Answer::skip, Answer::skip};
    EXPECT_FALSE(harness.process(sources));
    EXPECT_FALSE(harness.brain->modelIsProcessing());
}

TEST_F(ExistingTargets, AnOutputOverItsOwnSourceFailsWithoutAQuestionAndEndsTheBatch) {
    // The output folder is the sources' folder: two.wav would be written over itself.
    writeSoundFile(harness.output("zero.wav"), {sine(440, 48000, 0.2)}, 48000, floatWav);
    harness.brain->setOutputFolder(harness.inputFolder);
    const auto before = readSoundFile(sources[1]).channels;
    QSignalSpy finished(harness.brain.get(), &Brain::fileFinished);
    ASSERT_TRUE(harness.process({harness.output("zero.wav"), sources[1], sources[2]}));

    EXPECT_TRUE(harness.interaction.questions.empty());
    ASSERT_EQ(finished.size(), 1);  // zero.wav from the other folder
    EXPECT_EQ(readSoundFile(sources[1]).channels, before);
    const Brain& brain = *harness.brain;
    ASSERT_TRUE(brain.alertIsDisplayed());
    EXPECT_EQ(brain.error()->description(), "The output file would replace the original audio file.");
    EXPECT_EQ(brain.error()->failure().failedFile, "two.wav");
    EXPECT_EQ(brain.error()->failure().notProcessed, std::vector<std::string>{"three.wav"});
}

TEST_F(ExistingTargets, AnOutputThatAppearsDuringTheRunIsAskedAboutWhenItIsFinished) {
    const auto pipe = harness.input("late.wav");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    harness.interaction.answers = {Answer::skip};
    QSignalSpy finished(harness.brain.get(), &Brain::batchFinished);
    QSignalSpy skipped(harness.brain.get(), &Brain::fileSkipped);
    harness.brain->processDroppedFiles({pipe, sources[0]});
    ASSERT_TRUE(harness.brain->modelIsProcessing());
    // The batch is under way, reading the pipe, when another program writes late.wav.
    ASSERT_TRUE(feedPipe(pipe, sources[1], [&] { placeExisting("late.wav"); }));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !finished.isEmpty(); }, 120000));

    ASSERT_EQ(harness.interaction.questions.size(), 1u);
    EXPECT_NE(harness.interaction.questions[0].find("“late.wav”"), std::string::npos);
    EXPECT_EQ(contents("late.wav"), "keep me");
    EXPECT_EQ(skipped.size(), 1);
    EXPECT_EQ(folderEntries(harness.outputFolder), (std::vector<std::string>{"late.wav", "one.wav"}));
    EXPECT_FALSE(harness.brain->alertIsDisplayed());
}

TEST_F(ExistingTargets, TwoSourcesForOneTargetAskAndOneSourceTwiceIsProcessedOnce) {
    writeSoundFile(harness.input("one.flac"), {sine(440, 48000, 0.2)}, 48000, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    harness.interaction.answers = {Answer::skip};
    QSignalSpy finished(harness.brain.get(), &Brain::fileFinished);
    const auto sameFile = harness.inputFolder / "." / "one.wav";
    ASSERT_TRUE(harness.process({sources[0], sameFile, harness.input("one.flac")}));
    ASSERT_EQ(harness.interaction.questions.size(), 1u);
    EXPECT_NE(harness.interaction.questions[0].find("“one.wav”"), std::string::npos);
    EXPECT_EQ(finished.size(), 1);
}

TEST_F(ExistingTargets, APrefixOrSuffixNeverLeavesTheOutputFolder) {
    for (const char* prefix : {"../", "/tmp/x_", "a/b"}) {
        harness.brain->setFilenamePrefix(prefix);
        EXPECT_FALSE(harness.process(sources)) << prefix;
        ASSERT_TRUE(harness.brain->alertIsDisplayed());
        EXPECT_EQ(harness.brain->error()->description(), "The file name prefix or suffix contains a path separator.");
        harness.brain->setAlertIsDisplayed(false);
    }
    EXPECT_TRUE(folderEntries(harness.outputFolder).empty());
    EXPECT_FALSE(std::filesystem::exists(harness.outputFolder.parent_path() / "one.wav"));
    EXPECT_FALSE(std::filesystem::exists("/tmp/x_one.wav"));
}

// The realistic-size model makes every segment take a while, so that the
// request made on the main thread lands while the file is being enhanced.
TEST_F(Processing, CancelDuringTheSecondOfThreeFiles) {
    BrainHarness harness("realistic-size.onnx");
    const auto first = writeSpeechLikeInput(harness, "first.wav", 2.5);
    const auto second = writeSpeechLikeInput(harness, "second.wav", 30.0);
    const auto third = writeSpeechLikeInput(harness, "third.wav", 2.5);
    Brain& brain = *harness.brain;
    QObject::connect(&brain, &Brain::progressChanged, [&brain] {
        if (brain.nameOfFileBeingProcessedText() == "second.wav" && !brain.progress().channels.empty()) {
            brain.setShouldCancelProcessing(true);
        }
    });
    QSignalSpy finished(&brain, &Brain::batchFinished);
    ASSERT_TRUE(harness.process({first, second, third}));
    ASSERT_EQ(finished.size(), 1);
    EXPECT_TRUE(finished[0][0].toBool());  // reported as cancelled

    EXPECT_EQ(folderEntries(harness.outputFolder), std::vector<std::string>{"first.wav"});
    EXPECT_FALSE(brain.alertIsDisplayed());
    EXPECT_FALSE(brain.error().has_value());
    EXPECT_FALSE(brain.modelIsProcessing());
    EXPECT_FALSE(brain.shouldCancelProcessing());
    EXPECT_TRUE(brain.progress().channels.empty());
    EXPECT_EQ(brain.nameOfFileBeingProcessed(), QString("second.wav"));
    using Status = Brain::FileOutcome::Status;
    ASSERT_TRUE(brain.batchOutcome().has_value());
    const auto& files = brain.batchOutcome()->files;
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0].status, Status::written);
    EXPECT_EQ(files[1].status, Status::cancelled);
    EXPECT_EQ(files[2].status, Status::notProcessed);
}

TEST_F(Processing, CancellingDistinctChannelsIsRecognisedInsideTheChannelMap) {
    BrainHarness harness("realistic-size.onnx");
    writeSoundFile(harness.input("stereo.wav"), {noise(48000, 20.0, 6), noise(48000, 20.0, 7)}, 48000, floatWav);
    Brain& brain = *harness.brain;
    QObject::connect(&brain, &Brain::progressChanged, [&brain] {
        if (!brain.progress().channels.empty()) brain.setShouldCancelProcessing(true);
    });
    ASSERT_TRUE(harness.process({harness.input("stereo.wav")}));
    EXPECT_TRUE(folderEntries(harness.outputFolder).empty());
    EXPECT_FALSE(brain.alertIsDisplayed());
    EXPECT_FALSE(brain.shouldCancelProcessing());
}

TEST_F(Processing, ACancelRequestStopsEvenAShortFile) {
    BrainHarness harness("zeros.onnx");
    writeSoundFile(harness.input("short.wav"), {sine(440, 48000, 1.0)}, 48000, floatWav);
    Brain& brain = *harness.brain;
    QObject::connect(&brain, &Brain::nameOfFileBeingProcessedChanged,
                     [&brain] { brain.setShouldCancelProcessing(true); });
    QSignalSpy finished(&brain, &Brain::batchFinished);
    ASSERT_TRUE(harness.process({harness.input("short.wav")}));
    EXPECT_TRUE(folderEntries(harness.outputFolder).empty());
    ASSERT_EQ(finished.size(), 1);
    EXPECT_TRUE(finished[0][0].toBool());
    EXPECT_FALSE(brain.shouldCancelProcessing());
    EXPECT_FALSE(brain.alertIsDisplayed());
}

TEST_F(Processing, ADecodingErrorEndsTheBatchWithTheReadingAlert) {
    BrainHarness harness("zeros.onnx");
    harness.brain->setOutputFormatMatchesInput(true);
    writeSoundFile(harness.input("one.wav"), {sine(440, 48000, 0.2)}, 48000, floatWav);
    std::ofstream(harness.input("two.wav")) << "this is not audio";
    writeSoundFile(harness.input("three.wav"), {sine(440, 48000, 0.2)}, 48000, floatWav);
    ASSERT_TRUE(harness.process({harness.input("one.wav"), harness.input("two.wav"), harness.input("three.wav")}));

    EXPECT_EQ(folderEntries(harness.outputFolder), std::vector<std::string>{"one.wav"});
    Brain& brain = *harness.brain;
    EXPECT_TRUE(brain.alertIsDisplayed());
    ASSERT_TRUE(brain.error().has_value());
    EXPECT_EQ(brain.error()->description(), "An error occurred while opening the audio file.");
    EXPECT_EQ(brain.error()->recoverySuggestion(), "If the problem persists, please contact support@veshaudio.org.");
    EXPECT_TRUE(brain.error()->state().outputFormatMatchesInput);
    EXPECT_FALSE(brain.modelIsProcessing());
    EXPECT_EQ(brain.nameOfFileBeingProcessed(), QString("two.wav"));

    // The application is idle again and takes the next drop.
    brain.setAlertIsDisplayed(false);
    ASSERT_TRUE(harness.process({harness.input("three.wav")}));
    EXPECT_FALSE(brain.alertIsDisplayed());
}

TEST_F(Processing, DroppingWithoutAnOutputFolderRaisesTheAlert) {
    BrainHarness harness("zeros.onnx");
    harness.brain->setOutputFolder(std::nullopt);
    EXPECT_FALSE(harness.process({harness.input("anything.wav")}));
    EXPECT_TRUE(harness.brain->alertIsDisplayed());
    EXPECT_EQ(harness.brain->error()->description(), "No output folder selected.");
}

TEST_F(Processing, DestroyingTheBrainDuringABatchCancelsIt) {
    BrainHarness harness("identity.onnx");
    const auto source = writeSpeechLikeInput(harness, "long.wav", 30.0);
    // Destroyed at once: the batch is still reading when the request to stop is made.
    harness.brain->processDroppedFiles({source});
    ASSERT_TRUE(harness.brain->modelIsProcessing());
    harness.brain.reset();
    QCoreApplication::processEvents();
    EXPECT_TRUE(folderEntries(harness.outputFolder).empty());
}

TEST(ModelLoading, LogsTheModelVersionInTheModelCategory) {
    struct Entry {
        QtMsgType type;
        std::string category;
        std::string message;
    };
    static std::vector<Entry> entries;
    entries.clear();
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& message) {
            const std::string category = context.category ? context.category : "";
            if (category.starts_with("org.veshaudio")) entries.push_back({type, category, message.toStdString()});
        });
    {
        BrainHarness harness("metadata.onnx");
        EXPECT_EQ(harness.brain->modelVersion(), "1.2.3");
    }
    qInstallMessageHandler(previous);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].type, QtInfoMsg);
    EXPECT_EQ(entries[0].category, "org.veshaudio.Vesh.model");
    EXPECT_EQ(entries[0].message, "Speech enhancer model version: 1.2.3");
}

TEST(ModelLoading, AFailedLoadIsShownAndNothingIsProcessedWithoutAModel) {
    QTemporaryDir folder;
    const QString broken = folder.filePath("broken.onnx");
    { std::ofstream(broken.toStdString()) << "not a model"; }
    qputenv("VESH_MODEL_PATH", broken.toUtf8());
    ScriptedInteraction interaction;
    Brain brain(std::make_unique<QSettings>(folder.filePath("settings.ini"), QSettings::IniFormat), interaction);
    EXPECT_TRUE(brain.modelIsLoading());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !brain.modelIsLoading(); }, 60000));
    qunsetenv("VESH_MODEL_PATH");

    EXPECT_TRUE(brain.alertIsDisplayed());
    ASSERT_TRUE(brain.error().has_value());
    EXPECT_FALSE(brain.error()->description().empty());
    EXPECT_EQ(brain.error()->recoverySuggestion(), "If the problem persists, please contact support@veshaudio.org.");
    EXPECT_TRUE(brain.modelVersion().isEmpty());

    brain.setAlertIsDisplayed(false);
    const std::filesystem::path output = folder.filePath("output").toStdString();
    std::filesystem::create_directories(output);
    brain.setOutputFolder(output);
    std::ofstream(output / "exists.wav") << "x";
    brain.processDroppedFiles({output / "exists.wav"});
    EXPECT_TRUE(interaction.questions.empty());
    EXPECT_FALSE(brain.modelIsProcessing());
    EXPECT_TRUE(brain.alertIsDisplayed());
    EXPECT_EQ(brain.error()->description(), "An error occurred while processing the audio.");
}
