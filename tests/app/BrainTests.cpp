// The batch controller on real files, real test models and a real event loop.

#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <fstream>
#include <tuple>
#include <vector>

#include "AppTestSupport.h"
#include "Signals.h"

using namespace vesh;
using namespace vesh::testing;
using Answer = ExistingFileAnswer;
using Status = Brain::FileOutcome::Status;

namespace {

// Mono 48 kHz float WAV of sine plus noise, long enough for several segments.
std::filesystem::path writeSpeechLikeInput(BrainHarness& harness, const std::string& name, double seconds = 3.0) {
    auto samples = sine(220, 48000, std::size_t(48000 * seconds));
    const auto hiss = vesh::test::noise(std::llround(48000 * seconds), 0.25f, 1);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] += 0.2f * hiss[i];
    writeSoundFile(harness.input(name), {samples}, 48000);
    return harness.input(name);
}

}  // namespace

TEST(Processing, WetDryMixOfTheEnhancedAndTheUntouchedSignal) {
    // The identity model subtracts everything: the enhanced signal is silence.
    BrainHarness identity("identity.onnx");
    identity.brain->setOutputFormat({BitDepth::thirtyTwo, SampleRate::fortyEight, AudioFileFormat::wav});
    const auto input = readSoundFile(writeSpeechLikeInput(identity, "voice.wav")).channels[0];
    identity.brain->setWetDryMix(0.25);
    ASSERT_TRUE(identity.process({identity.input("voice.wav")}));
    const auto quarter = readSoundFile(identity.output("voice.wav")).channels[0];
    ASSERT_EQ(quarter.size(), input.size());
    for (std::size_t k = 0; k < input.size(); ++k) ASSERT_NEAR(quarter[k], input[k] * 0.75f, 2e-3f) << "sample " << k;
}

// Three files shorter than a model segment: they report no progress of their own.
class ThreeFiles : public ::testing::Test {
protected:
    ThreeFiles() {
        for (const char* name : {"one.wav", "two.wav", "three.wav"}) {
            writeSoundFile(harness.input(name), {sine(440, 48000, 9600)}, 48000);
            sources.push_back(harness.input(name));
        }
    }

    void placeExisting(const std::string& name) { std::ofstream(harness.output(name)) << "keep me"; }

    std::string contents(const std::string& name) {
        std::ifstream file(harness.output(name));
        return std::string(std::istreambuf_iterator<char>(file), {});
    }

    BrainHarness harness{"zeros.onnx"};
    std::vector<std::filesystem::path> sources;
};

TEST_F(ThreeFiles, StopProcessesNothingAndShowsNothing) {
    placeExisting("one.wav");
    placeExisting("three.wav");
    harness.interaction.answers = {{Answer::replace}, {Answer::stop}};
    QSignalSpy processing(harness.brain.get(), &Brain::modelIsProcessingChanged);
    EXPECT_FALSE(harness.process(sources));
    EXPECT_EQ(harness.interaction.questions.size(), 2u);
    EXPECT_EQ(processing.size(), 0);
    EXPECT_FALSE(harness.brain->alertIsDisplayed());
    EXPECT_EQ(contents("one.wav"), "keep me");
    EXPECT_EQ(entries(harness.outputFolder), (std::vector<std::string>{"one.wav", "three.wav"}));

    // Skipping every file starts no batch either.
    harness.interaction.answers = {{Answer::skip}, {Answer::skip}};
    EXPECT_FALSE(harness.process({sources[0], sources[2]}));
}

TEST_F(ThreeFiles, EveryFileOfTheDropHasAnOutcomeUntilTheNextDrop) {
    placeExisting("two.wav");
    std::ofstream(harness.input("bad.wav")) << "this is not audio";
    harness.interaction.answers = {{Answer::skip}};
    Brain& brain = *harness.brain;
    std::vector<std::pair<int, int>> positions;
    QObject::connect(&brain, &Brain::nameOfFileBeingProcessedChanged,
                     [&] { positions.emplace_back(brain.indexOfFileBeingProcessed(), brain.numberOfFilesInBatch()); });
    ASSERT_TRUE(harness.process({sources[0], sources[1], harness.input("bad.wav"), sources[2]}));

    // two.wav is skipped, so the batch has three files and ends at the second.
    EXPECT_EQ(positions, (std::vector<std::pair<int, int>>{{0, 3}, {1, 3}}));
    ASSERT_TRUE(brain.batchOutcome().has_value());
    EXPECT_EQ(brain.batchOutcome()->outputFolder, harness.outputFolder);
    const std::vector<std::tuple<std::filesystem::path, Status, std::filesystem::path>> expected{
        {sources[0], Status::written, harness.output("one.wav")},
        {sources[1], Status::skipped, harness.output("two.wav")},
        {harness.input("bad.wav"), Status::failed, harness.output("bad.wav")},
        {sources[2], Status::notProcessed, harness.output("three.wav")}};
    std::vector<std::tuple<std::filesystem::path, Status, std::filesystem::path>> actual;
    for (const Brain::FileOutcome& file : brain.batchOutcome()->files) {
        actual.emplace_back(file.source, file.status, file.target);
    }
    EXPECT_EQ(actual, expected);
    // The alert's words for this failure are checked as the command line prints them.
    EXPECT_TRUE(brain.alertIsDisplayed());
    EXPECT_TRUE(brain.batchOutcome()->endedByFailure);
    EXPECT_EQ(brain.batchOutcome()->filesLeftByFailure(), std::vector<std::filesystem::path>{sources[2]});
}

TEST_F(ThreeFiles, AnOutputThatAppearsDuringTheRunIsAskedAboutWhenItIsFinished) {
    const auto pipe = harness.input("late.wav");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    harness.interaction.answers = {{Answer::skip}};
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
    EXPECT_EQ(entries(harness.outputFolder), (std::vector<std::string>{"late.wav", "one.wav"}));
    EXPECT_FALSE(harness.brain->alertIsDisplayed());
}

// An answer for all answers the rest of its batch's questions, those before
// the work and those while it runs, and never a later batch's.
TEST_F(ThreeFiles, AnAnswerForAllAnswersTheRestOfItsBatchOnly) {
    placeExisting("one.wav");
    placeExisting("two.wav");
    harness.interaction.answers = {{Answer::replace, true}};
    ASSERT_TRUE(harness.process(sources));
    EXPECT_EQ(harness.interaction.questions.size(), 1u);
    EXPECT_EQ(harness.interaction.offeredApplyToAll, std::vector<bool>{true});
    for (const char* name : {"one.wav", "two.wav", "three.wav"}) {
        EXPECT_EQ(readSoundFile(harness.output(name)).channels.size(), 1u) << name;
    }

    // The next batch is asked again; a drop of one file has no others to answer.
    harness.interaction.answers = {{Answer::skip}, {Answer::skip}, {Answer::skip}};
    EXPECT_FALSE(harness.process({sources[0], sources[1]}));
    EXPECT_FALSE(harness.process({sources[2]}));
    EXPECT_EQ(harness.interaction.offeredApplyToAll, (std::vector<bool>{true, true, true, false}));

    // Skip for all, given before the work, also answers for an output that
    // appears while its file is processed.
    const auto pipe = harness.input("late.wav");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    harness.interaction.answers = {{Answer::skip, true}};
    QSignalSpy finished(harness.brain.get(), &Brain::batchFinished);
    harness.brain->processDroppedFiles({sources[0], pipe});
    ASSERT_TRUE(harness.brain->modelIsProcessing());
    ASSERT_TRUE(feedPipe(pipe, sources[1], [&] { placeExisting("late.wav"); }));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !finished.isEmpty(); }, 120000));
    EXPECT_EQ(harness.interaction.questions.size(), 5u);
    EXPECT_EQ(contents("late.wav"), "keep me");
    const auto& files = harness.brain->batchOutcome()->files;
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].status, Status::skipped);
    EXPECT_EQ(files[1].status, Status::skipped);
}

TEST_F(ThreeFiles, APrefixOrSuffixNeverLeavesTheOutputFolder) {
    for (const char* prefix : {"../", "/tmp/x_", "a/b"}) {
        harness.brain->setFilenamePrefix(prefix);
        EXPECT_FALSE(harness.process(sources)) << prefix;
        ASSERT_TRUE(harness.brain->alertIsDisplayed());
        EXPECT_EQ(harness.brain->error()->description(), "The file name prefix or suffix contains a path separator.");
        harness.brain->setAlertIsDisplayed(false);
    }
    EXPECT_TRUE(entries(harness.outputFolder).empty());
    EXPECT_FALSE(std::filesystem::exists(harness.outputFolder.parent_path() / "one.wav"));
    EXPECT_FALSE(std::filesystem::exists("/tmp/x_one.wav"));
}

TEST(TimeLeft, IsEstimatedFromTheWrittenFilesAndTheCurrentFilesOwnProgress) {
    using Timing = Brain::BatchTiming;
    const std::pair<Timing, std::optional<double>> cases[] = {
        // Nothing written, and too little of the current file done to go by.
        {{.currentSeconds = 30.0, .currentFraction = 0.01, .filesAfter = 3}, std::nullopt},
        {{.currentSeconds = 1.0, .currentFraction = 0.5, .filesAfter = 3}, std::nullopt},
        // Half of the first file in 10 s: 10 s more for it, 20 s for each of the two after it.
        {{.currentSeconds = 10.0, .currentFraction = 0.5, .filesAfter = 2}, 50.0},
        // Two files written in 30 s and 10 s; the current one, 5 s in, reports nothing yet.
        {{.doneSeconds = 40.0, .doneFiles = 2, .currentSeconds = 5.0, .filesAfter = 1}, 35.0},
        // Its own progress, once there is enough of it, decides for the current file.
        {{.doneSeconds = 40.0, .doneFiles = 2, .currentSeconds = 60.0, .currentFraction = 0.75, .filesAfter = 1}, 40.0},
        // A file that takes longer than the mean is not given negative time.
        {{.doneSeconds = 20.0, .doneFiles = 1, .currentSeconds = 45.0, .currentFraction = 0.01}, 0.0},
    };
    for (std::size_t k = 0; k < std::size(cases); ++k) {
        EXPECT_EQ(Brain::estimateSecondsLeft(cases[k].first), cases[k].second) << "case " << k;
    }
}

TEST_F(ThreeFiles, TimeLeftIsPublishedOnceABatchHasABasisForIt) {
    Brain& brain = *harness.brain;
    std::vector<std::pair<int, bool>> published;
    QObject::connect(&brain, &Brain::secondsLeftInBatchChanged, [&] {
        published.emplace_back(brain.indexOfFileBeingProcessed(), brain.secondsLeftInBatch().has_value());
    });
    ASSERT_TRUE(harness.process(sources));
    // Known from the first written file on, gone with the batch.
    ASSERT_GE(published.size(), 2u);
    EXPECT_EQ(published.front(), std::make_pair(1, true));
    EXPECT_EQ(published.back(), std::make_pair(2, false));
    EXPECT_FALSE(brain.secondsLeftInBatch().has_value());
}

TEST_F(ThreeFiles, ACancelBeforeTheFirstSegmentStopsEvenAShortFileAndResetsTheState) {
    Brain& brain = *harness.brain;
    // Asked as the batch starts, before the worker has read anything: a
    // request made from a queued notification could come after a file this
    // short is already written.
    QObject::connect(&brain, &Brain::modelIsProcessingChanged, [&brain] {
        if (brain.modelIsProcessing()) brain.setShouldCancelProcessing(true);
    });
    QSignalSpy finished(&brain, &Brain::batchFinished);
    ASSERT_TRUE(harness.process({sources[0], sources[1]}));
    EXPECT_TRUE(entries(harness.outputFolder).empty());
    ASSERT_EQ(finished.size(), 1);
    EXPECT_TRUE(finished[0][0].toBool());  // reported as cancelled
    EXPECT_FALSE(brain.alertIsDisplayed());
    EXPECT_FALSE(brain.shouldCancelProcessing());
    EXPECT_TRUE(brain.progress().channels.empty());
    const auto& files = brain.batchOutcome()->files;
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].status, Status::cancelled);
    EXPECT_EQ(files[1].status, Status::notProcessed);
}

TEST(Cancelling, DestroyingTheBrainDuringABatchCancelsIt) {
    BrainHarness harness("identity.onnx");
    const auto source = writeSpeechLikeInput(harness, "long.wav", 30.0);
    // Destroyed at once: the batch is still reading when the request to stop is made.
    harness.brain->processDroppedFiles({source});
    ASSERT_TRUE(harness.brain->modelIsProcessing());
    harness.brain.reset();
    QCoreApplication::processEvents();
    EXPECT_TRUE(entries(harness.outputFolder).empty());
}

TEST(ModelLoading, LogsTheModelVersionInTheModelCategory) {
    static std::vector<std::tuple<QtMsgType, std::string, std::string>> entries;
    entries.clear();
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& message) {
            const std::string category = context.category ? context.category : "";
            if (category.starts_with("org.veshaudio")) entries.emplace_back(type, category, message.toStdString());
        });
    {
        BrainHarness harness("metadata.onnx");
        EXPECT_EQ(harness.brain->modelVersion(), "1.2.3");
    }
    qInstallMessageHandler(previous);
    EXPECT_EQ(entries, (std::vector<std::tuple<QtMsgType, std::string, std::string>>{
                           {QtInfoMsg, "org.veshaudio.Vesh.model", "Speech enhancer model version: 1.2.3"}}));
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
