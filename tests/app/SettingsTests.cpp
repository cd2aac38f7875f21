// Output settings: the format record's coding, and the persisted settings
// with their defaults.

#include <QJsonObject>
#include <QSettings>

#include <gtest/gtest.h>
#include <sndfile.h>

#include "AppTestSupport.h"
#include "app/AudioFormat.h"

using namespace vesh;
using namespace vesh::testing;

TEST(AudioFormatRecord, RoundTripsAndRefusesRecordsOutsideTheListedValues) {
    const AudioFormat format{BitDepth::thirtyTwo, SampleRate::oneHundredNinetyTwo, AudioFileFormat::flac};
    const QJsonObject encoded = encodedAudioFormat(format);
    EXPECT_EQ(encoded, (QJsonObject{{"bitDepth", 32}, {"sampleRate", 192000}, {"fileFormat", "flac"}}));
    EXPECT_EQ(decodedAudioFormat(encoded), format);

    using Code = AudioFormatDecodingError::Code;
    const QJsonObject valid{{"bitDepth", 24}, {"sampleRate", 48000}, {"fileFormat", "wav"}};
    const std::tuple<const char*, QJsonValue, Code> faults[] = {
        {"bitDepth", 20, Code::dataCorrupted},      {"sampleRate", 12345, Code::dataCorrupted},
        {"fileFormat", "mp3", Code::dataCorrupted}, {"fileFormat", QJsonValue::Undefined, Code::keyNotFound},
        {"bitDepth", "24", Code::typeMismatch},     {"sampleRate", 48000.5, Code::typeMismatch},
    };
    for (const auto& [key, value, code] : faults) {
        QJsonObject record = valid;
        if (value.isUndefined()) {
            record.remove(key);
        } else {
            record[key] = value;
        }
        SCOPED_TRACE(key);
        try {
            decodedAudioFormat(record);
            ADD_FAILURE() << "accepted";
        } catch (const AudioFormatDecodingError& error) {
            EXPECT_EQ(error.code(), code);
        }
    }
}

// The settings a person chooses, as the Brain gives them.
auto chosenSettings(const Brain& brain) {
    return std::tuple(brain.wetDryMix(), brain.filenamePrefix(), brain.filenameSuffix(),
                      brain.outputFormatMatchesInput(), brain.outputFormat(), brain.loudnessTarget());
}

TEST(PersistedSettings, AnEmptyStoreReadsTheDefaultsAndWritesNothing) {
    BrainHarness harness("zeros.onnx");
    EXPECT_EQ(
        chosenSettings(*harness.brain),
        std::tuple(1.0, QString(), QString(), false,
                   AudioFormat{BitDepth::twentyFour, SampleRate::fortyEight, AudioFileFormat::wav}, LoudnessTarget{}));
    harness.restart();
    EXPECT_TRUE(QSettings(harness.settingsFile(), QSettings::IniFormat).allKeys().isEmpty());
}

TEST(PersistedSettings, SurviveARestartUnderTheirKeysButTheOutputFolderDoesNot) {
    BrainHarness harness("zeros.onnx");
    harness.brain->setWetDryMix(0.25);
    harness.brain->setFilenamePrefix("clean_");
    harness.brain->setFilenameSuffix("_v2");
    harness.brain->setOutputFormatMatchesInput(true);
    harness.brain->setOutputFormat({BitDepth::thirtyTwo, SampleRate::oneHundredNinetyTwo, AudioFileFormat::flac});
    harness.brain->setLoudnessTarget({-18.5});
    const auto chosen = chosenSettings(*harness.brain);

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
        EXPECT_EQ(store.value("loudnessTarget").toString(), "-18.5");
    }

    harness.brain = std::make_unique<Brain>(std::make_unique<QSettings>(harness.settingsFile(), QSettings::IniFormat),
                                            harness.interaction);
    EXPECT_EQ(chosenSettings(*harness.brain), chosen);
    EXPECT_EQ(harness.brain->batchOptions().loudnessTarget, LoudnessTarget{-18.5});
    EXPECT_FALSE(harness.brain->outputFolder().has_value());
}

// An edited store: unlisted values read as the defaults, except a rate,
// which is the rate written.
TEST(PersistedSettings, UnlistedOrWrongKindsOfStoredValuesReadAsTheDefaults) {
    BrainHarness harness("zeros.onnx");
    harness.restartWithStored({{"outputBitDepth", 20}, {"outputSampleRate", 12345}, {"outputFileFormat", "FLAC"}});
    EXPECT_EQ(harness.brain->outputFormat(),
              (AudioFormat{BitDepth::twentyFour, static_cast<SampleRate>(12345), AudioFileFormat::wav}));
    writeSoundFile(harness.input("voice.wav"), {sine(440, 48000, 48000)}, 48000);
    ASSERT_TRUE(harness.process({harness.input("voice.wav")}));
    const SoundFile written = readSoundFile(harness.output("voice.wav"));
    EXPECT_EQ(written.format, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
    EXPECT_EQ(written.sampleRate, 12345);
    EXPECT_EQ(written.channels[0].size(), 12345u);

    harness.restartWithStored(
        {{"outputBitDepth", "deep"}, {"outputSampleRate", "fast"}, {"wetDryMix", "lots"}, {"loudnessTarget", "-3"}});
    EXPECT_EQ(harness.brain->outputFormat(), AudioFormat{});
    EXPECT_EQ(harness.brain->loudnessTarget(), LoudnessTarget{});
    EXPECT_EQ(harness.brain->wetDryMix(), 1.0);
}

TEST(OutputFolder, AChooserCancelledLaterKeepsTheFirstChoice) {
    BrainHarness harness("zeros.onnx");
    harness.brain->setOutputFolder(std::nullopt);
    harness.interaction.chosenFolder = "/tmp/first";
    harness.brain->chooseOutputFolder();
    harness.interaction.chosenFolder.reset();
    harness.brain->chooseOutputFolder();
    EXPECT_EQ(harness.brain->outputFolder(), std::filesystem::path("/tmp/first"));
}
