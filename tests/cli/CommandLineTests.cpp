// vesh-cli run as a separate process: options, exit statuses, the
// non-interactive defaults and cancellation by a signal.

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>

#include <csignal>
#include <fstream>
#include <map>

#include "AppTestSupport.h"
#include "Signals.h"

using namespace vesh::testing;
using ::testing::HasSubstr;

namespace {

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

std::string statusOf(std::map<std::string, QJsonObject>& records, const std::filesystem::path& source) {
    return records[source.string()]["status"].toString().toStdString();
}

// Whether the process catches `signal` (its handler is in place).
bool catches(qint64 processId, int signal) {
    std::ifstream status("/proc/" + std::to_string(processId) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("SigCgt:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1)) & 1;
    }
    return false;
}

QString path(const std::filesystem::path& p) { return QString::fromStdString(p.string()); }

class CommandLine : public ::testing::Test {
protected:
    CommandLine() {
        for (const auto* made : {&input, &output, &home}) std::filesystem::create_directories(*made);
    }

    std::filesystem::path makeInput(const std::string& name, double seconds = 0.5) {
        writeSoundFile(input / name, {sine(440, 48000, std::size_t(48000 * seconds))}, 48000);
        return input / name;
    }

    void start(QProcess& process, const QStringList& arguments, const std::string& model = "zeros.onnx") {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("VESH_MODEL_PATH", QString::fromStdString(modelPath(model)));
        // Where the window's settings would live: the command line must not touch them.
        environment.insert("HOME", path(home));
        environment.insert("XDG_CONFIG_HOME", path(home / ".config"));
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

    // Sends `signal` once `ready` holds for the running process; expects it to end with 130.
    void interrupt(QProcess& process, int signal, const std::function<bool()>& ready) {
        ASSERT_TRUE(QTest::qWaitFor(ready, 60000));
        ASSERT_EQ(process.state(), QProcess::Running) << process.readAllStandardError().toStdString();
        ::kill(static_cast<pid_t>(process.processId()), signal);
        ASSERT_TRUE(process.waitForFinished(60000));
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process.exitCode(), 130);
    }

    QTemporaryDir folder;
    const std::filesystem::path input = folder.filePath("input").toStdString();
    const std::filesystem::path output = folder.filePath("output").toStdString();
    const std::filesystem::path home = folder.filePath("home").toStdString();
};

}  // namespace

TEST_F(CommandLine, UsageErrorsExitWithTwoAndCreateNothing) {
    const auto file = path(makeInput("a.wav"));
    const auto out = path(output);
    const std::vector<QStringList> wrongUses = {
        {file},                                  // no output folder
        {"-o", out},                             // no files
        {"-o", path(output / "missing"), file},  // output folder missing
        {"-o", out, "--mix", "1.5", file},
        {"-o", out, "--rate", "22050", file},
        {"-o", out, "--loudness", "-3", file},
        {"-o", out, "--if-exists", "sometimes", file},
        {"-o", out, "--colour", file},
        {"-o", out, "--prefix", "../", file},  // would leave the output folder
        {"-o", out, "--suffix=/b", file},
    };
    for (const auto& arguments : wrongUses) {
        SCOPED_TRACE(arguments.join(' ').toStdString());
        const Outcome result = run(arguments);
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_THAT(result.standardError, HasSubstr("vesh-cli: "));
    }
    EXPECT_TRUE(entries(output).empty());
    EXPECT_EQ(entries(input), std::vector<std::string>{"a.wav"});
    EXPECT_EQ(entries(folder.path().toStdString()), (std::vector<std::string>{"home", "input", "output"}));
}

TEST_F(CommandLine, TwoInputsForOneOutputAreRefused) {
    const auto a = makeInput("a.wav");
    writeSoundFile(input / "a.flac", {sine(440, 48000, 24000)}, 48000, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    const Outcome clash = run({"-o", path(output), "--if-exists=replace", path(a), path(input / "a.flac")});
    EXPECT_EQ(clash.exitCode, 2);
    EXPECT_THAT(clash.standardError, HasSubstr("“" + a.string() + "” and “" + (input / "a.flac").string() + "”"));
    EXPECT_THAT(clash.standardError, HasSubstr("--suffix"));
    EXPECT_TRUE(entries(output).empty());
}

TEST_F(CommandLine, AnOutputNeverReplacesItsOwnSource) {
    const auto a = makeInput("a.wav");
    const auto take = makeInput("take.wav");
    const auto c = makeInput("c.wav");
    const auto original = readSoundFile(take).channels;
    std::filesystem::copy_file(a, output / "a.wav");
    std::filesystem::copy_file(c, output / "c.wav");

    const Outcome replaced =
        run({"-o", path(input), "--if-exists", "replace", path(output / "a.wav"), path(take), path(output / "c.wav")});
    EXPECT_EQ(replaced.exitCode, 1);
    EXPECT_THAT(replaced.standardError,
                HasSubstr("take.wav: The output file would replace the original audio file.\n"
                          "“take.wav” was not processed. 1 more file was not processed: c.wav.\n"));
    EXPECT_EQ(readSoundFile(take).channels, original);
    EXPECT_EQ(readSoundFile(c).channels, readSoundFile(output / "c.wav").channels);

    const Outcome skipped = run({"-o", path(input), "--if-exists=skip", path(take)});
    EXPECT_EQ(skipped.exitCode, 0);
    EXPECT_THAT(skipped.standardError,
                HasSubstr("skipped " + take.string() + ": its output would replace the original file"));
    EXPECT_EQ(readSoundFile(take).channels, original);
}

// One input given twice is processed once; the loudness reached is told on
// the terminal and in JSON.
TEST_F(CommandLine, WritesEveryFileWithTheGivenSettingsAndLeavesStoredSettingsAlone) {
    const auto a = makeInput("a.wav");
    const auto b = makeInput("b.wav");
    const Outcome result = run({"--output=" + path(output), "--format", "flac", "--bit-depth", "16", "--rate=44100",
                                "--prefix", "clean_", "--suffix=_v1", "--mix", "0.5", "--json", "--loudness",
                                "broadcast", path(a), path(b), path(input / "." / "a.wav")});
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(entries(output), (std::vector<std::string>{"clean_a_v1.flac", "clean_b_v1.flac"}));
    const SoundFile written = readSoundFile(output / "clean_a_v1.flac");
    EXPECT_EQ(written.format, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    EXPECT_EQ(written.sampleRate, 44100);
    // Not a terminal: one line per finished file.
    EXPECT_THAT(result.standardError, HasSubstr("Wrote " + (output / "clean_a_v1.flac").string() + " at -23.0 LUFS\n"));
    EXPECT_THAT(result.standardError, HasSubstr("Wrote " + (output / "clean_b_v1.flac").string() + " at -23.0 LUFS\n"));
    EXPECT_THAT(result.standardError, HasSubstr("\n2 files written, 0 skipped, 0 failed; 1.0 s of audio in "));
    EXPECT_NEAR(recordsBySource(result.standardOutput)[a.string()]["loudness"].toDouble(), -23.0, 0.05);
    EXPECT_FALSE(std::filesystem::exists(home / ".config"));
}

// A source without an extension is matched by its contents and keeps its bare name.
TEST_F(CommandLine, QuietPrintsNothingAndSameFormatKeepsTheInputsFormat) {
    writeSoundFile(input / "take.aiff", {sine(440, 44100, 22050)}, 44100, SF_FORMAT_AIFF | SF_FORMAT_PCM_24);
    writeSoundFile(input / "memo", {sine(440, 48000, 24000)}, 48000, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    const Outcome result = run({"-q", "--same-format", "--rate", "96000", "-o", path(output), path(input / "take.aiff"),
                                path(input / "memo")});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.standardError, "");
    const SoundFile written = readSoundFile(output / "take.aiff");
    EXPECT_EQ(written.format, SF_FORMAT_AIFF | SF_FORMAT_PCM_24);
    EXPECT_EQ(written.sampleRate, 44100);
    EXPECT_EQ(readSoundFile(output / "memo").format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
}

TEST_F(CommandLine, ADashReadsAnInputFromStandardInputAndNamesItStdin) {
    const auto take = makeInput("take.wav");
    std::ifstream bytes(take, std::ios::binary);
    const QByteArray audio = QByteArray::fromStdString(std::string(std::istreambuf_iterator<char>(bytes), {}));
    const Outcome result = run({"--json", "--format", "flac", "-o", path(output), "-"}, "zeros.onnx", audio);
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(entries(output), (std::vector<std::string>{"stdin.flac"}));
    EXPECT_EQ(readSoundFile(output / "stdin.flac").channels.at(0).size(), readSoundFile(take).channels.at(0).size());
}

// A damaged stretch of the input and clipped samples are warnings: the file
// is written and the run succeeds.
TEST_F(CommandLine, DamagedInputAndClippingAreWarningsOfAWrittenFile) {
    const auto take = input / "take.flac";
    writeSoundFile(take, {vesh::test::noise(3 * 44100, 0.25f, 1), vesh::test::noise(3 * 44100, 0.25f, 2)}, 44100,
                   SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    // Stretches of garbage in the middle.
    const auto size = std::filesystem::file_size(take);
    std::fstream file(take, std::ios::in | std::ios::out | std::ios::binary);
    unsigned value = 12345;
    for (std::size_t spot = 0; spot < 8; ++spot) {
        file.seekp(static_cast<std::streamoff>(size * (3 + spot) / 15));
        for (std::size_t k = 0; k < 64; ++k) file.put(static_cast<char>((value = value * 1103515245u + 12345u) >> 16));
    }
    file.close();
    auto loud = sine(440, 48000, 24000);
    for (float& sample : loud) sample *= 3.0f;
    writeSoundFile(input / "loud.wav", {loud}, 48000);

    const Outcome result = run({"--bit-depth", "16", "-o", path(output), path(take), path(input / "loud.wav")});
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_THAT(result.standardError, HasSubstr("warning: " + take.string() + ": the source is damaged from 0:0"));
    const std::string clipped = "samples beyond full scale had to be clipped (peak +3.5 dBFS)";
    // Only the loud file is clipped.
    const auto loudWarning = result.standardError.find("warning: " + (input / "loud.wav").string() + ": ");
    ASSERT_NE(loudWarning, std::string::npos) << result.standardError;
    EXPECT_THAT(result.standardError.substr(loudWarning, result.standardError.find('\n', loudWarning) - loudWarning),
                HasSubstr(clipped));
    EXPECT_EQ(result.standardError.find(clipped), result.standardError.rfind(clipped));
    EXPECT_EQ(entries(output), (std::vector<std::string>{"loud.wav", "take.wav"}));
    EXPECT_NEAR(double(readSoundFile(output / "take.wav").channels[0].size()), 3.0 * 48000, 48000 * 0.06);
}

TEST_F(CommandLine, ExistingTargetsStopWithoutATerminalOrFollowIfExists) {
    const auto a = makeInput("a.wav");
    const auto b = makeInput("b.wav");
    std::ofstream(output / "b.wav") << "keep me";

    const Outcome stopped = run({"-o", path(output), path(a), path(b)});
    EXPECT_EQ(stopped.exitCode, 1);
    EXPECT_THAT(stopped.standardError,
                HasSubstr("“" + (output / "b.wav").string() + "” already exists; nothing was written."));
    EXPECT_EQ(entries(output), std::vector<std::string>{"b.wav"});

    const Outcome skipped = run({"-o", path(output), "--if-exists=skip", path(a), path(b)});
    EXPECT_EQ(skipped.exitCode, 0);
    EXPECT_EQ(entries(output), (std::vector<std::string>{"a.wav", "b.wav"}));
    EXPECT_EQ(std::filesystem::file_size(output / "b.wav"), 7u);

    // Asked on standard input: an unknown answer is asked again, then Skip for
    // a.wav and Replace for b.wav.
    std::ofstream(output / "a.wav") << "keep me";
    const Outcome asked = run({"-o", path(output), "--if-exists=ask", path(a), path(b)}, "zeros.onnx", "maybe\ns\nr\n");
    EXPECT_EQ(asked.exitCode, 0) << asked.standardError;
    EXPECT_THAT(asked.standardError, HasSubstr("A file named “a.wav” already exists in the output folder."));
    EXPECT_EQ(std::filesystem::file_size(output / "a.wav"), 7u);
    EXPECT_GT(std::filesystem::file_size(output / "b.wav"), 7u);

    // Stop chosen at the prompt is the person's choice, not a failure.
    const Outcome stoppedByChoice = run({"-o", path(output), "--if-exists=ask", path(a)}, "zeros.onnx", "t\n");
    EXPECT_EQ(stoppedByChoice.exitCode, 0) << stoppedByChoice.standardError;

    const Outcome replaced = run({"-o", path(output), "--if-exists", "replace", path(a), path(b)});
    EXPECT_EQ(replaced.exitCode, 0);
    EXPECT_GT(std::filesystem::file_size(output / "a.wav"), 7u);
}

TEST_F(CommandLine, AnOutputThatAppearsDuringTheRunStopsIt) {
    const auto pipe = input / "late.wav";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    QProcess process;
    start(process, {"-o", path(output), path(pipe)});
    process.closeWriteChannel();
    // The run is reading the pipe when another program writes late.wav.
    ASSERT_TRUE(feedPipe(pipe, makeInput("stored.wav"), [&] { std::ofstream(output / "late.wav") << "keep me"; }));
    ASSERT_TRUE(process.waitForFinished(120000));
    const std::string standardError = process.readAllStandardError().toStdString();
    EXPECT_EQ(process.exitCode(), 1) << standardError;
    EXPECT_THAT(standardError,
                HasSubstr("“" + (output / "late.wav").string() + "” appeared while it was being written"));
    EXPECT_EQ(std::filesystem::file_size(output / "late.wav"), 7u);
}

TEST_F(CommandLine, AnUnwritableOutputFolderFailsTheFirstFileBeforeAnyWork) {
    const Outcome result = run({"-o", "/proc", path(makeInput("a.wav")), path(makeInput("b.wav"))});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_THAT(result.standardError, HasSubstr("a.wav: An error occurred while saving the audio file.\n"
                                                "“a.wav” was not processed. 1 more file was not processed: b.wav.\n"
                                                "Details: No file can be created in the folder “/proc”: "));
    EXPECT_THAT(result.standardError, HasSubstr("Choose an output folder that you can write to."));
}

TEST_F(CommandLine, AFailedFileEndsTheRunUnlessKeepGoingAndJsonDescribesEveryFile) {
    const auto a = makeInput("a.wav");
    const auto broken = input / "broken.wav";
    std::ofstream(broken) << "this is not audio";
    const auto c = makeInput("c.wav");
    const auto d = makeInput("d.wav");
    std::ofstream(output / "d.wav") << "keep me";
    const QStringList files{path(a), path(broken), path(c), path(d)};

    const Outcome ended = run(QStringList{"--json", "--if-exists=skip", "-o", path(output)} + files);
    EXPECT_EQ(ended.exitCode, 1);
    EXPECT_THAT(ended.standardError, HasSubstr("broken.wav: The file is damaged or is not an audio file.\n"
                                               "“broken.wav” was not processed. 1 more file was not processed: c.wav.\n"
                                               "Details: Invalid data found when processing input\n"
                                               "Check that the file plays in a media player. If it does not, "
                                               "export it again from the program that made it.\n"));
    EXPECT_EQ(entries(output), (std::vector<std::string>{"a.wav", "d.wav"}));
    auto records = recordsBySource(ended.standardOutput);
    EXPECT_EQ(records.size(), 4u) << ended.standardOutput;
    EXPECT_EQ(statusOf(records, broken), "failed");
    EXPECT_EQ(statusOf(records, c), "not processed");
    EXPECT_EQ(statusOf(records, d), "skipped");
    std::filesystem::remove(output / "a.wav");

    const Outcome kept = run(QStringList{"--keep-going", "--json", "--if-exists=skip", "-o", path(output)} + files);
    EXPECT_EQ(kept.exitCode, 1);
    EXPECT_EQ(entries(output), (std::vector<std::string>{"a.wav", "c.wav", "d.wav"}));
    records = recordsBySource(kept.standardOutput);
    EXPECT_EQ(statusOf(records, a), "written");
    EXPECT_EQ(records[a.string()]["target"].toString().toStdString(), (output / "a.wav").string());
    EXPECT_TRUE(records[a.string()]["loudness"].isNull());
    EXPECT_NEAR(records[a.string()]["duration"].toDouble(), 0.5, 0.001);
    EXPECT_EQ(records[broken.string()]["error"].toString(),
              "The file is damaged or is not an audio file. Invalid data found when processing input");
    EXPECT_EQ(statusOf(records, c), "written");
    EXPECT_EQ(std::filesystem::file_size(output / "d.wav"), 7u);
    EXPECT_THAT(kept.standardError,
                HasSubstr("vesh-cli: " + broken.string() + ": The file is damaged or is not an audio file."));
    EXPECT_THAT(kept.standardError, HasSubstr("vesh-cli: 1 file failed: " + broken.string() + ".\n"));
    EXPECT_THAT(kept.standardError, HasSubstr("2 files written, 1 skipped, 1 failed;"));
}

TEST_F(CommandLine, VersionNamesTheModelAndAFailedLoadExitsWithOne) {
    const Outcome version = run({"--version"}, "metadata.onnx");
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_THAT(version.standardOutput, HasSubstr("Speech enhancer model version: 1.2.3"));

    const Outcome failed = run({"-o", path(output), path(makeInput("a.wav"))}, "missing.onnx");
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_THAT(failed.standardError, HasSubstr("vesh-cli: The speech enhancer model “" + modelPath("missing.onnx") +
                                                "” could not be loaded.\nDetails: "));
    EXPECT_THAT(failed.standardError, HasSubstr("If the problem persists"));
    EXPECT_TRUE(entries(output).empty());
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
    interrupt(process, SIGINT, [&] {
        standardOutput += process.readAllStandardOutput().toStdString();
        return standardOutput.find("written") != std::string::npos || process.state() == QProcess::NotRunning;
    });
    EXPECT_EQ(entries(output), std::vector<std::string>{"first.wav"});
    auto records = recordsBySource(standardOutput + process.readAllStandardOutput().toStdString());
    EXPECT_EQ(statusOf(records, first), "written");
    EXPECT_EQ(statusOf(records, second), "cancelled");
    EXPECT_EQ(statusOf(records, third), "not processed");
    EXPECT_THAT(process.readAllStandardError().toStdString(),
                HasSubstr("1 file written, 0 skipped, 0 failed, 1 not processed, 1 cancelled;"));
}

TEST_F(CommandLine, ASignalWhileTheModelLoadsEndsTheRunWithOneThirty) {
    QProcess process;
    start(process, {"-o", path(output), path(makeInput("a.wav"))}, "realistic-size.onnx");
    // As soon as the handlers are in place: they come before anything else.
    interrupt(process, SIGTERM, [&] { return catches(process.processId(), SIGTERM); });
    EXPECT_TRUE(entries(output).empty());
}

TEST_F(CommandLine, AWaitForAFifoCanBeInterrupted) {
    // Neither a source nor a list of files that nobody writes holds the run.
    const auto fifo = input / "live.wav";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const QStringList& arguments :
         {QStringList{"-o", path(output), path(fifo)}, QStringList{"-o", path(output), "--files-from", path(fifo)}}) {
        SCOPED_TRACE(arguments.join(' ').toStdString());
        QProcess process;
        start(process, arguments);
        QTest::qWait(1500);
        interrupt(process, SIGINT, [] { return true; });
    }
    EXPECT_TRUE(entries(output).empty());
}

TEST_F(CommandLine, FilesFromTakesNamesByteForByteAndTheTerminalSeesThemEscaped) {
    const std::vector<std::string> names{"new\nline.wav", "latin\xff.wav", "plain.wav"};
    std::string nulList;
    for (const std::string& name : names) nulList += makeInput(name, 0.2).string() + '\0';
    const Outcome fromStandardInput =
        run({"-o", path(output), "--null", "--files-from", "-"}, "zeros.onnx", QByteArray::fromStdString(nulList));
    EXPECT_EQ(fromStandardInput.exitCode, 0) << fromStandardInput.standardError;
    EXPECT_EQ(entries(output), (std::vector<std::string>{"latin\xff.wav", "new\nline.wav", "plain.wav"}));
    EXPECT_THAT(fromStandardInput.standardError, HasSubstr("Wrote " + output.string() + "/new\\nline.wav\n"));
    EXPECT_THAT(fromStandardInput.standardError, HasSubstr("Wrote " + output.string() + "/latin\\xff.wav\n"));

    std::ofstream(folder.filePath("list").toStdString()) << (input / "plain.wav").string() << "\n\n"
                                                         << (input / "latin\xff.wav").string() << "\n";
    const Outcome fromFile = run({"-o", path(output), "--if-exists=skip", "--files-from", folder.filePath("list")});
    EXPECT_EQ(fromFile.exitCode, 0);
    EXPECT_THAT(fromFile.standardError, HasSubstr("0 files written, 2 skipped, 0 failed;"));
}
