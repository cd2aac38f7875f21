// The batch's rules: output names, where outputs go when the source's format
// is kept, the existing-file questions and one outcome per input.

#include "Engine/Batch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <thread>
#include <utility>

#include "FullBandSpeechEnhancer/VariableLengthSpeechEnhancer.h"
#include "TestSupport.h"

namespace vesh {
namespace {

using namespace audiotest;
using Status = FileOutcome::Status;

class Batch : public ::testing::Test {
protected:
    Batch() {
        std::filesystem::create_directory(in);
        std::filesystem::create_directory(out);
        options.outputFolder = out;
    }

    // The plan's output locations relative to the output folder, with a
    // scripted answer for every question.
    std::vector<std::string> locations(const std::vector<std::filesystem::path>& sources) {
        std::vector<std::string> names;
        for (const BatchPlan::File& file : plan(sources).files) {
            names.push_back(file.location.lexically_relative(out).string() + (file.decided ? " (decided)" : ""));
        }
        return names;
    }

    BatchPlan plan(const std::vector<std::filesystem::path>& sources) {
        return planBatch(sources, options, [this](const std::filesystem::path& location) {
            asked.push_back(location.filename().string());
            if (answers.empty()) return ExistingFileAnswer::stop;
            const ExistingFileAnswer answer = answers.front();
            answers.pop_front();
            return answer;
        });
    }

    std::filesystem::path source(const std::string& name) {
        writeSoundFile(in / name, {sine(440, 48000, 4800)}, 48000);
        return in / name;
    }

    void placeExisting(const std::string& name) { writeSoundFile(out / name, {sine(440, 48000, 480)}, 48000); }

    TemporaryFolder folder;
    const std::filesystem::path in = folder / "in";
    const std::filesystem::path out = folder / "out";
    BatchOptions options;
    std::deque<ExistingFileAnswer> answers;
    std::vector<std::string> asked;
};

TEST_F(Batch, NamesJoinPrefixBaseNameSuffixAndTheExtension) {
    options.filenamePrefix = "clean_";
    options.outputFormat.fileFormat = AudioFileFormat::flac;
    EXPECT_EQ(locations({"/recordings/interview.m4a", "/recordings/take.2.wav"}),
              (std::vector<std::string>{"clean_interview.flac", "clean_take.2.flac"}));
    options.filenamePrefix.clear();
    options.filenameSuffix = " (denoised)";
    options.outputFormat.fileFormat = AudioFileFormat::aiff;
    EXPECT_EQ(locations({"/recordings/interview.m4a"}), (std::vector<std::string>{"interview (denoised).aif"}));

    // Matching the input keeps the source's own extension, or none.
    options.matchSourceFormat = true;
    options.filenamePrefix = "a_";
    options.filenameSuffix = "_b";
    EXPECT_EQ(locations({"/recordings/take.aiff", "/recordings/voice memo", "/recordings/talk.MP3"}),
              (std::vector<std::string>{"a_take_b.aiff", "a_voice memo_b", "a_talk_b.MP3"}));

    options.filenameSuffix = "/../escape";
    try {
        plan({"/recordings/take.wav"});
        ADD_FAILURE() << "a suffix with a path separator was accepted";
    } catch (const ProcessingError& error) {
        EXPECT_EQ(error.kind(), ProcessingError::Kind::fileNameLeavesOutputFolder);
    }
}

TEST_F(Batch, AsksOnceForEachTakenLocationAndKeepsEveryInputToOneOutcome) {
    placeExisting("b.wav");
    placeExisting("c.wav");
    const std::vector<std::filesystem::path> sources{"/r/a.flac", "/r/b.flac", "/r/c.flac", "/r/d.flac", "/r/b.flac"};
    answers = {ExistingFileAnswer::replace, ExistingFileAnswer::skip};
    const BatchPlan replaced = plan(sources);
    EXPECT_EQ(asked, (std::vector<std::string>{"b.wav", "c.wav"}));
    ASSERT_EQ(replaced.files.size(), 4u);  // the repeated source is taken once
    EXPECT_TRUE(replaced.files[1].replacesExisting);
    ASSERT_TRUE(replaced.files[2].decided);
    EXPECT_EQ(replaced.files[2].decided->status, Status::skipped);
    EXPECT_EQ(replaced.processedCount(), 3u);

    // Skip, then Stop: the skipped file stays skipped, the rest are not processed.
    asked.clear();
    answers = {ExistingFileAnswer::skip, ExistingFileAnswer::stop};
    const BatchPlan stopped = plan(sources);
    ASSERT_TRUE(stopped.stoppedAt);
    EXPECT_EQ(stopped.stoppedAt->filename(), "c.wav");
    std::vector<Status> statuses;
    for (const BatchPlan::File& file : stopped.files) statuses.push_back(file.decided.value().status);
    EXPECT_EQ(statuses,
              (std::vector<Status>{Status::notProcessed, Status::skipped, Status::notProcessed, Status::notProcessed}));
}

TEST_F(Batch, AnOutputOfTheBatchCountsAsTakenForTheFilesAfterIt) {
    // Two sources of one name in different folders.
    std::filesystem::create_directory(in / "other");
    const auto first = source("take.wav");
    const auto second = source("other/take.wav");
    answers = {ExistingFileAnswer::skip};
    EXPECT_EQ(locations({first, second}), (std::vector<std::string>{"take.wav", "take.wav (decided)"}));
    EXPECT_EQ(asked, (std::vector<std::string>{"take.wav"}));
    const auto clashes = targetClashes({first, second}, options);
    ASSERT_EQ(clashes.size(), 1u);
    EXPECT_EQ(clashes[0].second, second);
    EXPECT_EQ(clashes[0].location, out / "take.wav");
}

TEST_F(Batch, KeepingTheFormatOnlyTheLocationReallyWrittenCanBeTaken) {
    options.matchSourceFormat = true;
    const auto named = [this](const std::string& name, const std::filesystem::path& made) {
        std::filesystem::copy_file(made, in / name);
        return in / name;
    };
    const auto flac = named("speech.flac", fixture("batch.flac", twoSines(44100, "0.5")));
    const auto ogg = named("speech.ogg", fixture("batch.ogg", twoSines(48000, "0.5") + " -c:a libvorbis"));
    const auto aac = named("speech.m4a", fixture("batch.m4a", twoSines(48000, "0.5") + " -c:a aac"));
    const auto otherAac = named("speech.mp4", fixture("batch.mp4", twoSines(48000, "0.5") + " -c:a aac"));
    const auto ac3 = named("speech.ac3", fixture("batch.ac3", twoSines(48000, "0.5") + " -c:a ac3"));
    const auto mov = named("speech.mov", fixture("batch.mov", twoSines(48000, "0.5") + " -c:a aac"));

    // These formats can be written: no output is another's fallback.
    EXPECT_EQ(locations({flac, ogg, aac, otherAac}),
              (std::vector<std::string>{"speech.flac", "speech.ogg", "speech.m4a", "speech.mp4"}));
    EXPECT_TRUE(asked.empty());
    EXPECT_TRUE(targetClashes({flac, ogg, aac, otherAac}, options).empty());

    // AC-3 falls back to the chosen format, whose file is there already.
    placeExisting("speech.wav");
    answers = {ExistingFileAnswer::skip};
    EXPECT_EQ(locations({ac3}), (std::vector<std::string>{"speech.wav (decided)"}));
    EXPECT_EQ(asked, (std::vector<std::string>{"speech.wav"}));

    // Two sources that both fall back to one file (AAC in a QuickTime file
    // is not written as one) clash.
    const auto clashes = targetClashes({ac3, mov}, options);
    ASSERT_EQ(clashes.size(), 1u);
    EXPECT_EQ(clashes[0].location, out / "speech.wav");
}

TEST_F(Batch, FilesAtOnceTellOutcomesInOrderOnTheCallersThreadAndWriteTheSameFiles) {
    VariableLengthSpeechEnhancer enhancer(VariableLengthSpeechEnhancer::productParameters(ComputeUnits::cpuOnly),
                                          std::filesystem::path(VESH_TEST_MODELS_DIR) / "identity.onnx");
    std::vector<std::filesystem::path> sources;
    for (int k = 0; k < 5; ++k) {
        const std::string name = "take" + std::to_string(k) + ".wav";
        writeSoundFile(in / name, {sine(200.0 + 100.0 * k, 48000, 48000 + 4800 * k)}, 48000);
        sources.push_back(in / name);
    }
    writeBytes(in / "junk.wav", std::vector<char>(4000, 'x'));
    sources.insert(sources.begin() + 2, in / "junk.wav");

    // The files a run told written, by name and sorted, as a folder listing gives them.
    const auto writtenNames = [](const BatchResult& result) {
        std::vector<std::string> names;
        for (const FileOutcome& outcome : result.files) {
            if (outcome.status == Status::written) names.push_back(outcome.target.filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    };
    const auto caller = std::this_thread::get_id();
    bool elsewhere = false;
    std::vector<std::string> told;
    BatchCallbacks callbacks;
    callbacks.fileOutcome = [&](const FileOutcome& outcome) {
        elsewhere |= std::this_thread::get_id() != caller;
        told.push_back(outcome.source.filename().string());
    };
    callbacks.progress = [&](std::span<const double>) { elsewhere |= std::this_thread::get_id() != caller; };
    callbacks.fileStarted = [&](std::size_t, std::size_t, const std::filesystem::path&) {
        elsewhere |= std::this_thread::get_id() != caller;
    };

    options.continuesAfterFailure = true;
    const BatchResult one = runBatch(sources, options, enhancer, callbacks);
    const std::filesystem::path sequential = folder / "sequential";
    std::filesystem::rename(out, sequential);
    std::filesystem::create_directory(out);
    const std::vector<std::string> toldOne = std::exchange(told, {});

    options.filesAtOnce = 3;
    const BatchResult three = runBatch(sources, options, enhancer, callbacks);
    EXPECT_FALSE(elsewhere);
    EXPECT_EQ(told, toldOne);
    EXPECT_EQ(told.size(), sources.size());
    EXPECT_EQ(three.count(Status::written), 5u);
    EXPECT_EQ(three.count(Status::failed), 1u);
    ASSERT_EQ(entries(out), entries(sequential));
    for (const std::string& name : entries(out)) EXPECT_EQ(readBytes(out / name), readBytes(sequential / name)) << name;

    // Without keep-going the failure ends the batch: the files after it are
    // cancelled or, where complete already, stay written; nothing is left half made.
    for (const std::string& name : entries(out)) std::filesystem::remove(out / name);
    told.clear();
    options.continuesAfterFailure = false;
    const BatchResult failed = runBatch(sources, options, enhancer, callbacks);
    EXPECT_EQ(failed.end, BatchResult::End::failed);
    ASSERT_NE(failed.endingFailure(), nullptr);
    EXPECT_EQ(failed.endingFailure()->source, in / "junk.wav");
    EXPECT_EQ(failed.endingFailure()->error->kind(), ProcessingError::Kind::sourceNotAudio);
    EXPECT_EQ(told, toldOne);
    EXPECT_EQ(entries(out), writtenNames(failed));
    EXPECT_NE(failed.files.back().status, Status::failed);
    EXPECT_EQ(failed.files[0].status, Status::written);
    EXPECT_EQ(failed.files[1].status, Status::written);

    // A cancellation reaches every file running: what is not told written
    // leaves nothing behind.
    for (const std::string& name : entries(out)) std::filesystem::remove(out / name);
    callbacks.isCancelled = [] { return true; };
    const BatchResult cancelled = runBatch(sources, options, enhancer, callbacks);
    EXPECT_EQ(cancelled.end, BatchResult::End::cancelled);
    EXPECT_EQ(entries(out), writtenNames(cancelled));
    EXPECT_EQ(cancelled.count(Status::cancelled), 1u);
}

}  // namespace
}  // namespace vesh
