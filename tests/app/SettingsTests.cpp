// Output settings: the format types and their record coding, the persisted
// settings with their defaults, and the naming of targets.

#include <QJsonObject>
#include <QSettings>

#include <gtest/gtest.h>
#include <sndfile.h>

#include "TestSupport.h"
#include "app/AudioFormat.h"

using namespace vesh;
using namespace vesh::testing;
using Answer = UserInteraction::ExistingFileAnswer;

TEST(AudioFormatTypes, ConvertExactlyTheListedRawValues) {
    EXPECT_EQ(bitDepthFromRawValue(32), BitDepth::thirtyTwo);
    EXPECT_EQ(bitDepthFromRawValue(20), std::nullopt);
    EXPECT_EQ(sampleRateFromRawValue(44100), SampleRate::fortyFourPointOne);
    EXPECT_EQ(sampleRateFromRawValue(44101), std::nullopt);
    EXPECT_EQ(audioFileFormatFromRawValue("aiff"), AudioFileFormat::aiff);
    EXPECT_EQ(audioFileFormatFromRawValue("AIFF"), std::nullopt);
    EXPECT_EQ(rawValue(AudioFileFormat::aiff), "aiff");
    EXPECT_EQ(fileExtension(AudioFileFormat::aiff), "aif");
    EXPECT_EQ(label(SampleRate::fortyFourPointOne), "44.1 kHz");
}

TEST(AudioFormatTypes, TranslateStoredValuesIntoTheWritersFormat) {
    using Depth = CommonAudioFileFormat::BitDepth;
    using Type = CommonAudioFileFormat::FileType;
    EXPECT_EQ(commonAudioFileFormat(16, "aiff"), (CommonAudioFileFormat{Depth::sixteen, Type::aiff}));
    EXPECT_EQ(commonAudioFileFormat(32, "flac"), (CommonAudioFileFormat{Depth::thirtyTwo, Type::flac}));
    EXPECT_EQ(commonAudioFileFormat(24, "wav"), (CommonAudioFileFormat{Depth::twentyFour, Type::wav}));
    // Anything unlisted: 24-bit, WAV.
    EXPECT_EQ(commonAudioFileFormat(20, "mp3"), (CommonAudioFileFormat{Depth::twentyFour, Type::wav}));
    EXPECT_EQ(commonAudioFileFormat(8, "FLAC"), (CommonAudioFileFormat{Depth::twentyFour, Type::wav}));
}

TEST(AudioFormatRecord, RoundTripsThroughItsKeyedRecord) {
    const AudioFormat format{BitDepth::thirtyTwo, SampleRate::oneHundredNinetyTwo, AudioFileFormat::flac};
    const QJsonObject record = encodedAudioFormat(format);
    EXPECT_EQ(record.value("bitDepth").toInteger(), 32);
    EXPECT_EQ(record.value("sampleRate").toInteger(), 192000);
    EXPECT_EQ(record.value("fileFormat").toString(), "flac");
    EXPECT_EQ(record.size(), 3);
    EXPECT_EQ(decodedAudioFormat(record), format);
}

TEST(AudioFormatRecord, RefusesRecordsOutsideTheListedValues) {
    const auto codeOf = [](const QJsonObject& record) {
        try {
            decodedAudioFormat(record);
        } catch (const AudioFormatDecodingError& error) {
            return std::optional(error.code());
        }
        return std::optional<AudioFormatDecodingError::Code>();
    };
    using Code = AudioFormatDecodingError::Code;
    const QJsonObject valid{{"bitDepth", 24}, {"sampleRate", 48000}, {"fileFormat", "wav"}};
    EXPECT_EQ(codeOf(valid), std::nullopt);

    QJsonObject record = valid;
    record["bitDepth"] = 20;
    EXPECT_EQ(codeOf(record), Code::dataCorrupted);
    record = valid;
    record["sampleRate"] = 12345;
    EXPECT_EQ(codeOf(record), Code::dataCorrupted);
    record = valid;
    record["fileFormat"] = "mp3";
    EXPECT_EQ(codeOf(record), Code::dataCorrupted);
    record = valid;
    record.remove("fileFormat");
    EXPECT_EQ(codeOf(record), Code::keyNotFound);
    record = valid;
    record["bitDepth"] = "24";
    EXPECT_EQ(codeOf(record), Code::typeMismatch);
    record = valid;
    record["sampleRate"] = 48000.5;
    EXPECT_EQ(codeOf(record), Code::typeMismatch);
}

TEST(PersistedSettings, AnEmptyStoreReadsTheDefaultsAndWritesNothing) {
    BrainHarness harness("zeros.onnx");
    Brain& brain = *harness.brain;
    EXPECT_EQ(brain.wetDryMix(), 1.0);
    EXPECT_EQ(brain.filenamePrefix(), "");
    EXPECT_EQ(brain.filenameSuffix(), "");
    EXPECT_FALSE(brain.outputFormatMatchesInput());
    EXPECT_EQ(brain.outputBitDepth(), 24);
    EXPECT_EQ(brain.outputSampleRate(), 48000);
    EXPECT_EQ(brain.outputFileFormat(), "wav");
    EXPECT_EQ(brain.outputFormat(), (AudioFormat{BitDepth::twentyFour, SampleRate::fortyEight, AudioFileFormat::wav}));
    harness.restart();
    EXPECT_TRUE(QSettings(harness.settingsFile(), QSettings::IniFormat).allKeys().isEmpty());
}

TEST(PersistedSettings, SurviveARestartUnderTheirKeysButTheOutputFolderDoesNot) {
    BrainHarness harness("zeros.onnx");
    Brain& brain = *harness.brain;
    brain.setWetDryMix(0.25);
    brain.setFilenamePrefix("clean_");
    brain.setFilenameSuffix("_v2");
    brain.setOutputFormatMatchesInput(true);
    brain.setOutputFormat({BitDepth::thirtyTwo, SampleRate::oneHundredNinetyTwo, AudioFileFormat::flac});

    harness.brain.reset();
    {
        const QSettings store(harness.settingsFile(), QSettings::IniFormat);
        EXPECT_EQ(store.value("wetDryMix").toDouble(), 0.25);
        EXPECT_EQ(store.value("filenamePrefix").toString(), "clean_");
        EXPECT_EQ(store.value("filenameSuffix").toString(), "_v2");
        EXPECT_TRUE(store.value("outputFormatMatchesInput").toBool());
        EXPECT_EQ(store.value("outputBitDepth").toLongLong(), 32);
        EXPECT_EQ(store.value("outputSampleRate").toLongLong(), 192000);
        EXPECT_EQ(store.value("outputFileFormat").toString(), "flac");
    }

    harness.brain = std::make_unique<Brain>(std::make_unique<QSettings>(harness.settingsFile(), QSettings::IniFormat),
                                            harness.interaction);
    Brain& restarted = *harness.brain;
    EXPECT_EQ(restarted.wetDryMix(), 0.25);
    EXPECT_EQ(restarted.filenamePrefix(), "clean_");
    EXPECT_EQ(restarted.filenameSuffix(), "_v2");
    EXPECT_TRUE(restarted.outputFormatMatchesInput());
    EXPECT_EQ(restarted.outputFormat(),
              (AudioFormat{BitDepth::thirtyTwo, SampleRate::oneHundredNinetyTwo, AudioFileFormat::flac}));
    EXPECT_FALSE(restarted.outputFolder().has_value());
}

TEST(PersistedSettings, UnlistedStoredValuesReadAsTheDefaultFormat) {
    BrainHarness harness("zeros.onnx");
    Brain& brain = *harness.brain;
    brain.setOutputBitDepth(20);
    brain.setOutputSampleRate(12345);
    brain.setOutputFileFormat("mp3");
    EXPECT_EQ(brain.outputBitDepth(), 20);
    EXPECT_EQ(brain.outputFormat(), (AudioFormat{BitDepth::twentyFour, SampleRate::fortyEight, AudioFileFormat::wav}));

    // Values of the wrong kind in an edited store read as the defaults.
    harness.brain.reset();
    {
        QSettings store(harness.settingsFile(), QSettings::IniFormat);
        store.setValue("wetDryMix", "lots");
        store.setValue("outputBitDepth", "deep");
    }
    harness.restart();
    EXPECT_EQ(harness.brain->wetDryMix(), 1.0);
    EXPECT_EQ(harness.brain->outputBitDepth(), 24);
}

TEST(OutputFolder, AChooserCancelledLaterKeepsTheFirstChoice) {
    BrainHarness harness("zeros.onnx");
    Brain& brain = *harness.brain;
    brain.setOutputFolder(std::nullopt);
    harness.interaction.chosenFolder = "/tmp/first";
    brain.chooseOutputFolder();
    EXPECT_EQ(brain.outputFolder(), std::filesystem::path("/tmp/first"));
    harness.interaction.chosenFolder.reset();
    brain.chooseOutputFolder();
    EXPECT_EQ(brain.outputFolder(), std::filesystem::path("/tmp/first"));
}

class TargetNaming : public ::testing::Test {
protected:
    TargetNaming() : harness("zeros.onnx") {}

    std::vector<std::filesystem::path> targets(const std::vector<std::string>& sourceNames) {
        std::vector<std::filesystem::path> sources;
        for (const auto& name : sourceNames) sources.push_back(std::filesystem::path("/recordings") / name);
        std::vector<std::filesystem::path> result;
        for (const auto& operation : harness.brain->makeOperations(sources)) {
            EXPECT_EQ(operation.outputFormat, harness.brain->outputFormat());
            result.push_back(operation.target.lexically_relative(harness.outputFolder));
        }
        return result;
    }

    BrainHarness harness;
};

TEST_F(TargetNaming, JoinsPrefixBaseNameSuffixAndTheChosenExtension) {
    harness.brain->setFilenamePrefix("clean_");
    harness.brain->setOutputFileFormat("flac");
    EXPECT_EQ(targets({"interview.m4a", "take.2.wav"}),
              (std::vector<std::filesystem::path>{"clean_interview.flac", "clean_take.2.flac"}));
    harness.brain->setFilenamePrefix("");
    harness.brain->setFilenameSuffix(" (denoised)");
    harness.brain->setOutputFileFormat("aiff");
    EXPECT_EQ(targets({"interview.m4a"}), (std::vector<std::filesystem::path>{"interview (denoised).aif"}));
}

TEST_F(TargetNaming, KeepsTheSourcesOwnExtensionOrNoneWhenMatchingTheInput) {
    harness.brain->setOutputFormatMatchesInput(true);
    harness.brain->setFilenamePrefix("a_");
    harness.brain->setFilenameSuffix("_b");
    EXPECT_EQ(targets({"take.aiff", "voice memo", "talk.MP3"}),
              (std::vector<std::filesystem::path>{"a_take_b.aiff", "a_voice memo_b", "a_talk_b.MP3"}));
}

TEST_F(TargetNaming, AsksOnceForEachExistingTargetInDropOrder) {
    writeSoundFile(harness.output("b.wav"), {sine(440, 48000, 0.1)}, 48000, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    writeSoundFile(harness.output("c.wav"), {sine(440, 48000, 0.1)}, 48000, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    harness.interaction.answers = {Answer::replace, Answer::skip};
    EXPECT_EQ(targets({"a.flac", "b.flac", "c.flac", "d.flac"}),
              (std::vector<std::filesystem::path>{"a.wav", "b.wav", "d.wav"}));
    ASSERT_EQ(harness.interaction.questions.size(), 2u);
    EXPECT_EQ(harness.interaction.questions[0],
              "A file named “b.wav” already exists in the output folder. Do you want to skip it, replace it, or "
              "stop processing altogether?");
    EXPECT_NE(harness.interaction.questions[1].find("“c.wav”"), std::string::npos);

    // "Stop" discards the operations already accepted.
    harness.interaction.questions.clear();
    harness.interaction.answers = {Answer::replace, Answer::stop};
    EXPECT_TRUE(targets({"a.flac", "b.flac", "c.flac", "d.flac"}).empty());
    EXPECT_EQ(harness.interaction.questions.size(), 2u);
}

TEST_F(TargetNaming, TwoSourcesOfOneDropWithTheSameTargetAreAskedAbout) {
    harness.interaction.answers = {Answer::skip};
    EXPECT_EQ(targets({"a.wav", "a.flac", "b.wav"}), (std::vector<std::filesystem::path>{"a.wav", "b.wav"}));
    ASSERT_EQ(harness.interaction.questions.size(), 1u);
    EXPECT_NE(harness.interaction.questions[0].find("“a.wav”"), std::string::npos);
}

TEST_F(TargetNaming, AsksAboutTheLocationAMatchingWriteMayFallBackTo) {
    harness.brain->setOutputFormatMatchesInput(true);
    writeSoundFile(harness.output("interview.wav"), {sine(440, 48000, 0.1)}, 48000, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    harness.interaction.answers = {Answer::skip};
    EXPECT_EQ(targets({"interview.m4a", "talk.m4a"}), (std::vector<std::filesystem::path>{"talk.m4a"}));
    ASSERT_EQ(harness.interaction.questions.size(), 1u);
    EXPECT_NE(harness.interaction.questions[0].find("“interview.wav”"), std::string::npos);

    // A source whose fallback would land on an earlier source's target.
    harness.interaction.questions.clear();
    harness.interaction.answers = {Answer::replace};
    EXPECT_EQ(targets({"talk.wav", "talk.m4a"}), (std::vector<std::filesystem::path>{"talk.wav", "talk.m4a"}));
    EXPECT_EQ(harness.interaction.questions.size(), 1u);
}
