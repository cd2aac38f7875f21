// vesh-cli run as a separate process: options, exit statuses, the
// non-interactive defaults and cancellation by a signal.

#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>

#include <QJsonDocument>
#include <QJsonObject>

#include <sys/stat.h>

#include <csignal>
#include <fstream>
#include <map>

#include "TestSupport.h"

using namespace vesh::testing;

namespace {

constexpr int floatWav = SF_FORMAT_WAV | SF_FORMAT_FLOAT;

struct Outcome {
    int exitCode = -1;
    std::string standardError;
    std::string standardOutput;
};

// The --json records of a run, by source.
std::map<std::string, QJsonObject> recordsBySource(const std::string& lines) {
    std::map<std::string, QJsonObject> records;
    for (const QByteArray& line : QByteArray::fromStdString(lines).split('\n')) {
        if (line.isEmpty()) continue;
        QJsonParseError error;
        const QJsonObject record = QJsonDocument::fromJson(line, &error).object();
        EXPECT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
        records[record["source"].toString().toStdString()] = record;
    }
    return records;
}

// Whether the process catches `signal` (its handler is in place).
bool catches(qint64 processId, int signal) {
    std::ifstream status("/proc/" + std::to_string(processId) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("SigCgt:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1)) & 1;
    }
    return false;
}

class CommandLine : public ::testing::Test {
protected:
    CommandLine() {
        input = folder.filePath("input").toStdString();
        output = folder.filePath("output").toStdString();
        home = folder.filePath("home").toStdString();
        std::filesystem::create_directories(input);
        std::filesystem::create_directories(output);
        std::filesystem::create_directories(home);
    }

    std::filesystem::path makeInput(const std::string& name, double seconds = 0.5) {
        writeSoundFile(input / name, {sine(440, 48000, seconds)}, 48000, floatWav);
        return input / name;
    }

    void start(QProcess& process, const QStringList& arguments, const std::string& model = "zeros.onnx") {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("VESH_MODEL_PATH", QString::fromStdString(modelPath(model)));
        // Where the window's settings would live: the command line must not touch them.
        environment.insert("HOME", QString::fromStdString(home.string()));
        environment.insert("XDG_CONFIG_HOME", QString::fromStdString((home / ".config").string()));
        process.setProcessEnvironment(environment);
        process.start(VESH_CLI_PATH, arguments);
        ASSERT_TRUE(process.waitForStarted());
    }

    Outcome run(const QStringList& arguments, const std::string& model = "zeros.onnx", const QByteArray& answers = {}) {
        QProcess process;
        start(process, arguments, model);
        process.write(answers);
        process.closeWriteChannel();
        EXPECT_TRUE(process.waitForFinished(120000));
        return {process.exitCode(), process.readAllStandardError().toStdString(),
                process.readAllStandardOutput().toStdString()};
    }

    QString path(const std::filesystem::path& p) const { return QString::fromStdString(p.string()); }

    QTemporaryDir folder;
    std::filesystem::path input;
    std::filesystem::path output;
    std::filesystem::path home;
};

}  // namespace

TEST_F(CommandLine, UsageErrorsExitWithTwo) {
    const auto file = path(makeInput("a.wav"));
    const auto out = path(output);
    const std::vector<QStringList> wrongUses = {
        {file},                                  // no output folder
        {"-o", out},                             // no files
        {"-o", path(output / "missing"), file},  // output folder missing
        {"-o", out, "--mix", "1.5", file},
        {"-o", out, "--mix=loud", file},
        {"-o", out, "--format", "mp3", file},
        {"-o", out, "--bit-depth=20", file},
        {"-o", out, "--rate", "22050", file},
        {"-o", out, "--if-exists", "sometimes", file},
        {"-o", out, "--colour", file},
        {"-o", out, "--prefix", "../", file},  // would leave the output folder
        {"-o", out, "--prefix", path(input) + "/x_", file},
        {"-o", out, "--suffix=/b", file},
    };
    for (const auto& arguments : wrongUses) {
        const Outcome result = run(arguments);
        EXPECT_EQ(result.exitCode, 2) << arguments.join(' ').toStdString();
        EXPECT_NE(result.standardError.find("vesh-cli: "), std::string::npos);
    }
    EXPECT_TRUE(folderEntries(output).empty());
    EXPECT_EQ(folderEntries(input), std::vector<std::string>{"a.wav"});
    EXPECT_EQ(folderEntries(folder.path().toStdString()), (std::vector<std::string>{"home", "input", "output"}));
}

TEST_F(CommandLine, TwoInputsForOneOutputAreRefusedAndOneInputTwiceIsProcessedOnce) {
    const auto a = makeInput("a.wav");
    writeSoundFile(input / "a.flac", {sine(440, 48000, 0.5)}, 48000, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    const Outcome clash = run({"-o", path(output), "--if-exists=replace", path(a), path(input / "a.flac")});
    EXPECT_EQ(clash.exitCode, 2);
    EXPECT_NE(clash.standardError.find("“" + a.string() + "” and “" + (input / "a.flac").string() + "”"),
              std::string::npos)
        << clash.standardError;
    EXPECT_NE(clash.standardError.find("--suffix"), std::string::npos);
    EXPECT_TRUE(folderEntries(output).empty());

    const Outcome twice = run({"-o", path(output), path(a), path(input / "." / "a.wav")});
    EXPECT_EQ(twice.exitCode, 0) << twice.standardError;
    EXPECT_EQ(folderEntries(output), std::vector<std::string>{"a.wav"});
    EXPECT_EQ(twice.standardError.find("Wrote"), twice.standardError.rfind("Wrote"));
}

TEST_F(CommandLine, AnOutputNeverReplacesItsOwnSource) {
    const auto a = makeInput("a.wav");
    const auto take = makeInput("take.wav");
    const auto c = makeInput("c.wav");
    const auto original = readSoundFile(take).channels;
    std::filesystem::copy_file(a, output / "a.wav");
    std::filesystem::copy_file(c, output / "c.wav");
    const auto b = output / "a.wav";

    const Outcome replaced =
        run({"-o", path(input), "--if-exists", "replace", path(b), path(take), path(output / "c.wav")});
    EXPECT_EQ(replaced.exitCode, 1);
    EXPECT_NE(replaced.standardError.find("take.wav: The output file would replace the original audio file.\n"
                                          "“take.wav” was not processed. 1 more file was not processed: c.wav.\n"),
              std::string::npos)
        << replaced.standardError;
    EXPECT_EQ(readSoundFile(take).channels, original);
    EXPECT_EQ(readSoundFile(c).channels, readSoundFile(output / "c.wav").channels);

    const Outcome skipped = run({"-o", path(input), "--if-exists=skip", path(take)});
    EXPECT_EQ(skipped.exitCode, 0);
    EXPECT_NE(skipped.standardError.find("skipped " + take.string() + ": its output would replace the original file"),
              std::string::npos)
        << skipped.standardError;
    EXPECT_EQ(readSoundFile(take).channels, original);
}

TEST_F(CommandLine, WritesEveryFileWithTheGivenSettingsAndLeavesStoredSettingsAlone) {
    const auto a = makeInput("a.wav");
    const auto b = makeInput("b.wav");
    const Outcome result = run({"--output=" + path(output), "--format", "flac", "--bit-depth", "16", "--rate=44100",
                                "--prefix", "clean_", "--suffix=_v1", "--mix", "0.5", path(a), path(b)});
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(folderEntries(output), (std::vector<std::string>{"clean_a_v1.flac", "clean_b_v1.flac"}));
    const SoundFile written = readSoundFile(output / "clean_a_v1.flac");
    EXPECT_EQ(written.format, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    EXPECT_EQ(written.sampleRate, 44100);
    // Not a terminal: one line per finished file.
    EXPECT_NE(result.standardError.find("Wrote " + (output / "clean_a_v1.flac").string() + "\n"), std::string::npos);
    EXPECT_NE(result.standardError.find("Wrote " + (output / "clean_b_v1.flac").string() + "\n"), std::string::npos);
    EXPECT_NE(result.standardError.find("\n2 files written, 0 skipped, 0 failed; 1.0 s of audio in "),
              std::string::npos)
        << result.standardError;
    EXPECT_FALSE(std::filesystem::exists(home / ".config"));
}

TEST_F(CommandLine, QuietPrintsNothingAndSameFormatKeepsTheInputsFormat) {
    writeSoundFile(input / "take.aiff", {sine(440, 44100, 0.5)}, 44100, SF_FORMAT_AIFF | SF_FORMAT_PCM_24);
    const Outcome result = run({"-q", "--same-format", "-o", path(output), path(input / "take.aiff")});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.standardError, "");
    const SoundFile written = readSoundFile(output / "take.aiff");
    EXPECT_EQ(written.format, SF_FORMAT_AIFF | SF_FORMAT_PCM_24);
    EXPECT_EQ(written.sampleRate, 44100);
}

// A damaged stretch of the input and clipped samples are warnings: the file
// is written and the run succeeds.
TEST_F(CommandLine, DamagedInputAndClippingAreWarningsOfAWrittenFile) {
    writeSoundFile(input / "take.flac", {noise(44100, 3.0, 1), noise(44100, 3.0, 2)}, 44100,
                   SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    std::vector<char> bytes(std::filesystem::file_size(input / "take.flac"));
    std::fstream file(input / "take.flac", std::ios::in | std::ios::out | std::ios::binary);
    file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    unsigned value = 12345;
    // Stretches of garbage in the middle.
    for (std::size_t spot = 0; spot < 8; ++spot) {
        const std::size_t at = bytes.size() * (3 + spot) / 15;
        for (std::size_t k = 0; k < 64; ++k)
            bytes[at + k] = static_cast<char>((value = value * 1103515245u + 12345u) >> 16);
    }
    file.seekp(0);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    file.close();
    auto loud = sine(440, 48000, 0.5);
    for (float& sample : loud) sample *= 3.0f;
    writeSoundFile(input / "loud.wav", {loud}, 48000, floatWav);

    const Outcome result =
        run({"--bit-depth", "16", "-o", path(output), path(input / "take.flac"), path(input / "loud.wav")});
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_NE(
        result.standardError.find("warning: " + (input / "take.flac").string() + ": the source is damaged from 0:0"),
        std::string::npos)
        << result.standardError;
    EXPECT_NE(result.standardError.find("samples beyond full scale had to be clipped (peak +3.5 dBFS)"),
              std::string::npos)
        << result.standardError;
    EXPECT_EQ(folderEntries(output), (std::vector<std::string>{"loud.wav", "take.wav"}));
    EXPECT_NEAR(double(readSoundFile(output / "take.wav").channels[0].size()), 3.0 * 48000, 48000 * 0.06);
}

TEST_F(CommandLine, ExistingTargetsWithoutATerminalStopByDefault) {
    const auto a = makeInput("a.wav");
    const auto b = makeInput("b.wav");
    std::ofstream(output / "b.wav") << "keep me";

    const Outcome stopped = run({"-o", path(output), path(a), path(b)});
    EXPECT_EQ(stopped.exitCode, 1);
    EXPECT_NE(stopped.standardError.find("“" + (output / "b.wav").string() + "” already exists; nothing was written."),
              std::string::npos)
        << stopped.standardError;
    EXPECT_EQ(folderEntries(output), std::vector<std::string>{"b.wav"});

    const Outcome skipped = run({"-o", path(output), "--if-exists=skip", path(a), path(b)});
    EXPECT_EQ(skipped.exitCode, 0);
    EXPECT_EQ(folderEntries(output), (std::vector<std::string>{"a.wav", "b.wav"}));
    EXPECT_EQ(std::filesystem::file_size(output / "b.wav"), 7u);

    const Outcome replaced = run({"-o", path(output), "--if-exists", "replace", path(a), path(b)});
    EXPECT_EQ(replaced.exitCode, 0);
    EXPECT_GT(std::filesystem::file_size(output / "b.wav"), 7u);
}

TEST_F(CommandLine, AnOutputThatAppearsDuringTheRunFollowsIfExists) {
    const auto stored = makeInput("stored.wav");
    const auto pipe = input / "late.wav";
    for (const QString policy : {"stop", "replace"}) {
        std::filesystem::remove(output / "late.wav");
        std::filesystem::remove(pipe);
        ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
        QProcess process;
        start(process, {"-o", path(output), "--if-exists=" + policy, path(pipe)});
        process.closeWriteChannel();
        // The run is reading the pipe when another program writes late.wav.
        ASSERT_TRUE(feedPipe(pipe, stored, [&] { std::ofstream(output / "late.wav") << "keep me"; }));
        ASSERT_TRUE(process.waitForFinished(120000));
        const std::string standardError = process.readAllStandardError().toStdString();
        if (policy == "stop") {
            EXPECT_EQ(process.exitCode(), 1) << standardError;
            EXPECT_NE(
                standardError.find("“" + (output / "late.wav").string() + "” appeared while it was being written"),
                std::string::npos)
                << standardError;
            EXPECT_EQ(std::filesystem::file_size(output / "late.wav"), 7u);
        } else {
            EXPECT_EQ(process.exitCode(), 0) << standardError;
            EXPECT_GT(std::filesystem::file_size(output / "late.wav"), 7u);
        }
    }
}

TEST_F(CommandLine, AnUnwritableOutputFolderFailsTheFirstFileBeforeAnyWork) {
    const Outcome result = run({"-o", "/proc", path(makeInput("a.wav")), path(makeInput("b.wav"))});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.standardError.find("a.wav: An error occurred while saving the audio file.\n"
                                        "“a.wav” was not processed. 1 more file was not processed: b.wav.\n"
                                        "Details: No file can be created in the folder “/proc”: "),
              std::string::npos)
        << result.standardError;
    EXPECT_NE(result.standardError.find("Choose an output folder that you can write to."), std::string::npos);
}

TEST_F(CommandLine, AskReadsTheAnswerFromStandardInput) {
    const auto a = makeInput("a.wav");
    const auto b = makeInput("b.wav");
    std::ofstream(output / "a.wav") << "keep me";
    std::ofstream(output / "b.wav") << "keep me";
    const Outcome result =
        run({"-o", path(output), "--if-exists=ask", path(a), path(b)}, "zeros.onnx", "maybe\ns\nr\n");
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_NE(result.standardError.find("A file named “a.wav” already exists in the output folder."),
              std::string::npos);
    EXPECT_EQ(std::filesystem::file_size(output / "a.wav"), 7u);
    EXPECT_GT(std::filesystem::file_size(output / "b.wav"), 7u);

    // Stop chosen at the prompt is the person's choice, not a failure.
    const Outcome stopped = run({"-o", path(output), "--if-exists=ask", path(a)}, "zeros.onnx", "t\n");
    EXPECT_EQ(stopped.exitCode, 0) << stopped.standardError;
}

TEST_F(CommandLine, AFailedFileExitsWithOneAndTheAlertTexts) {
    const auto a = makeInput("a.wav");
    std::ofstream(input / "broken.wav") << "this is not audio";
    const auto c = makeInput("c.wav");
    const Outcome result = run({"-o", path(output), path(a), path(input / "broken.wav"), path(c)});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.standardError.find("broken.wav: An error occurred while opening the audio file.\n"
                                        "“broken.wav” was not processed. 1 more file was not processed: c.wav.\n"
                                        "Details: Invalid data found when processing input\n"
                                        "If the problem persists, please contact support@veshaudio.org.\n"),
              std::string::npos)
        << result.standardError;
    EXPECT_EQ(folderEntries(output), std::vector<std::string>{"a.wav"});
}

TEST_F(CommandLine, VersionNamesTheModelAndAFailedLoadExitsWithOne) {
    QProcess process;
    start(process, {"--version"}, "metadata.onnx");
    ASSERT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitCode(), 0);
    EXPECT_NE(process.readAllStandardOutput().toStdString().find("Speech enhancer model version: 1.2.3"),
              std::string::npos);

    const Outcome failed = run({"-o", path(output), path(makeInput("a.wav"))}, "missing.onnx");
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_NE(failed.standardError.find("vesh-cli: The speech enhancer model “" + modelPath("missing.onnx") +
                                        "” could not be loaded.\nDetails: "),
              std::string::npos)
        << failed.standardError;
    EXPECT_NE(failed.standardError.find("If the problem persists"), std::string::npos);
    EXPECT_TRUE(folderEntries(output).empty());
}

TEST_F(CommandLine, AnInterruptCancelsTheCurrentFileAndKeepsTheWrittenOnes) {
    const auto first = makeInput("first.wav", 0.5);
    const auto second = makeInput("second.wav", 60.0);
    const auto third = makeInput("third.wav", 0.5);
    QProcess process;
    start(process, {"--json", "-o", path(output), path(first), path(second), path(third)}, "realistic-size.onnx");
    process.closeWriteChannel();
    // Interrupt once the first file is reported, while the long second one is under way.
    std::string standardOutput;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            standardOutput += process.readAllStandardOutput().toStdString();
            return standardOutput.find("written") != std::string::npos || process.state() == QProcess::NotRunning;
        },
        60000));
    ASSERT_EQ(process.state(), QProcess::Running) << process.readAllStandardError().toStdString();
    ::kill(static_cast<pid_t>(process.processId()), SIGINT);
    ASSERT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 130);
    EXPECT_EQ(folderEntries(output), std::vector<std::string>{"first.wav"});
    auto records = recordsBySource(standardOutput + process.readAllStandardOutput().toStdString());
    EXPECT_EQ(records[first.string()]["status"].toString(), "written");
    EXPECT_EQ(records[second.string()]["status"].toString(), "cancelled");
    EXPECT_EQ(records[third.string()]["status"].toString(), "not processed");
    EXPECT_NE(process.readAllStandardError().toStdString().find("1 file written, 0 skipped, 0 failed, 1 not "
                                                                "processed, 1 cancelled;"),
              std::string::npos);
}

TEST_F(CommandLine, ASignalWhileTheModelLoadsEndsTheRunWithOneThirty) {
    QProcess process;
    start(process, {"-o", path(output), path(makeInput("a.wav"))}, "realistic-size.onnx");
    // As soon as the handlers are in place: they come before anything else.
    ASSERT_TRUE(QTest::qWaitFor([&] { return catches(process.processId(), SIGTERM); }, 10000));
    ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
    ASSERT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 130);
    EXPECT_TRUE(folderEntries(output).empty());
}

TEST_F(CommandLine, AWaitForAFifoCanBeInterrupted) {
    // Neither a source nor a list of files that nobody writes holds the run.
    const auto fifo = input / "live.wav";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const QStringList& arguments :
         {QStringList{"-o", path(output), path(fifo)}, QStringList{"-o", path(output), "--files-from", path(fifo)}}) {
        QProcess process;
        start(process, arguments);
        QTest::qWait(1500);
        ASSERT_EQ(process.state(), QProcess::Running) << process.readAllStandardError().toStdString();
        ::kill(static_cast<pid_t>(process.processId()), SIGINT);
        ASSERT_TRUE(process.waitForFinished(10000)) << arguments.join(' ').toStdString();
        EXPECT_EQ(process.exitCode(), 130);
    }
    EXPECT_TRUE(folderEntries(output).empty());
}

TEST_F(CommandLine, KeepGoingProcessesTheRestAndJsonDescribesEveryFile) {
    const auto a = makeInput("a.wav");
    const auto broken = input / "broken.wav";
    std::ofstream(broken) << "this is not audio";
    const auto c = makeInput("c.wav");
    const auto d = makeInput("d.wav");
    std::ofstream(output / "d.wav") << "keep me";
    const QStringList files{path(a), path(broken), path(c), path(d)};

    const Outcome ended = run(QStringList{"--json", "--if-exists=skip", "-o", path(output)} + files);
    EXPECT_EQ(ended.exitCode, 1);
    auto records = recordsBySource(ended.standardOutput);
    EXPECT_EQ(records.size(), 4u) << ended.standardOutput;
    EXPECT_EQ(records[broken.string()]["status"].toString(), "failed");
    EXPECT_EQ(records[c.string()]["status"].toString(), "not processed");
    EXPECT_EQ(records[d.string()]["status"].toString(), "skipped");
    std::filesystem::remove(output / "a.wav");

    const Outcome kept = run(QStringList{"--keep-going", "--json", "--if-exists=skip", "-o", path(output)} + files);
    EXPECT_EQ(kept.exitCode, 1);
    EXPECT_EQ(folderEntries(output), (std::vector<std::string>{"a.wav", "c.wav", "d.wav"}));
    records = recordsBySource(kept.standardOutput);
    EXPECT_EQ(records[a.string()]["status"].toString(), "written");
    EXPECT_EQ(records[a.string()]["target"].toString().toStdString(), (output / "a.wav").string());
    EXPECT_NEAR(records[a.string()]["duration"].toDouble(), 0.5, 0.001);
    EXPECT_EQ(records[broken.string()]["status"].toString(), "failed");
    EXPECT_EQ(records[broken.string()]["error"].toString(),
              "An error occurred while opening the audio file. Invalid data found when processing input");
    EXPECT_EQ(records[c.string()]["status"].toString(), "written");
    EXPECT_EQ(records[d.string()]["status"].toString(), "skipped");
    EXPECT_EQ(std::filesystem::file_size(output / "d.wav"), 7u);
    EXPECT_NE(kept.standardError.find("vesh-cli: " + broken.string() + ": An error occurred while opening"),
              std::string::npos)
        << kept.standardError;
    EXPECT_NE(kept.standardError.find("vesh-cli: 1 file failed: " + broken.string() + ".\n"), std::string::npos);
    EXPECT_NE(kept.standardError.find("2 files written, 1 skipped, 1 failed;"), std::string::npos);
}

TEST_F(CommandLine, FilesFromTakesNamesByteForByteAndTheTerminalSeesThemEscaped) {
    const std::vector<std::string> names{"new\nline.wav", "latin\xff.wav", "plain.wav"};
    std::string nulList;
    for (const std::string& name : names) {
        writeSoundFile(input / name, {sine(440, 48000, 0.2)}, 48000, floatWav);
        nulList += (input / name).string() + '\0';
    }
    const Outcome fromStandardInput =
        run({"-o", path(output), "--null", "--files-from", "-"}, "zeros.onnx", QByteArray::fromStdString(nulList));
    EXPECT_EQ(fromStandardInput.exitCode, 0) << fromStandardInput.standardError;
    EXPECT_EQ(folderEntries(output), (std::vector<std::string>{"latin\xff.wav", "new\nline.wav", "plain.wav"}));
    EXPECT_NE(fromStandardInput.standardError.find("Wrote " + output.string() + "/new\\nline.wav\n"), std::string::npos)
        << fromStandardInput.standardError;
    EXPECT_NE(fromStandardInput.standardError.find("Wrote " + output.string() + "/latin\\xff.wav\n"),
              std::string::npos);

    std::ofstream(folder.filePath("list").toStdString()) << (input / "plain.wav").string() << "\n\n"
                                                         << (input / "latin\xff.wav").string() << "\n";
    const Outcome fromFile = run({"-o", path(output), "--if-exists=skip", "--files-from", folder.filePath("list")});
    EXPECT_EQ(fromFile.exitCode, 0);
    EXPECT_NE(fromFile.standardError.find("0 files written, 2 skipped, 0 failed;"), std::string::npos)
        << fromFile.standardError;
}
