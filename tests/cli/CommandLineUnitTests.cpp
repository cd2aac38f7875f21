// The command line's parts that need no model: arguments as bytes, the file
// list, what reaches the terminal and the JSON records.

#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <clocale>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/CommandLineOptions.h"
#include "cli/FileList.h"
#include "cli/FileRecord.h"
#include "cli/TerminalText.h"
#include "cli/TerminationSignals.h"

using namespace vesh;

namespace {

std::variant<CommandLineOptions, CommandLineExit> parse(std::vector<std::string> arguments, bool terminal = false) {
    arguments.insert(arguments.begin(), "vesh-cli");
    std::vector<char*> pointers;
    for (std::string& argument : arguments) pointers.push_back(argument.data());
    return parseCommandLine(pointers, terminal);
}

// Columns a line takes, for text of one-column and two-column characters.
int columnsOf(const std::string& line) {
    std::mbstate_t state{};
    std::vector<wchar_t> wide(line.size() + 1);
    const char* source = line.c_str();
    const std::size_t count = std::mbsrtowcs(wide.data(), &source, wide.size(), &state);
    return count == static_cast<std::size_t>(-1) ? -1 : ::wcswidth(wide.data(), count);
}

}  // namespace

TEST(CommandLineOptions, NamesAreKeptByteForByte) {
    const std::string odd = "take\xff\xc3(\xed\xa0\x80.wav";  // invalid bytes, a broken pair, a surrogate
    const auto parsed = parse({"-o", "/tmp", odd, "caf\xc3\xa9.wav"});
    const auto& options = std::get<CommandLineOptions>(parsed);
    EXPECT_EQ(options.files[0].native(), odd);
    EXPECT_EQ(options.files[1].native(), "caf\xc3\xa9.wav");

    const auto prefix = parse({"-o", "/tmp", "--prefix", "x\xff", "a.wav"});
    EXPECT_EQ(std::get<CommandLineExit>(prefix).kind, CommandLineExit::Kind::usageError);
}

TEST(CommandLineOptions, HelpAndTheListOfFiles) {
    const auto help = std::get<CommandLineExit>(parse({"--help"}));
    ASSERT_EQ(help.kind, CommandLineExit::Kind::help);
    EXPECT_EQ(help.text.rfind("Usage: vesh-cli [options] -o DIR FILE...\n", 0), 0u) << help.text;
    for (const char* status : {"\n  0 ", "\n  1 ", "\n  2 ", "\n  130 "}) {
        EXPECT_NE(help.text.find(status), std::string::npos) << status;
    }
    std::size_t start = 0;
    for (std::size_t end; (end = help.text.find('\n', start)) != std::string::npos; start = end + 1) {
        EXPECT_LE(end - start, 79u) << help.text.substr(start, end - start);
    }

    const auto list = std::get<CommandLineOptions>(parse({"-o", "/tmp", "--files-from", "-", "-0"}, true));
    EXPECT_TRUE(list.readsListFromStandardInput());
    EXPECT_TRUE(list.nulSeparated);
    // Standard input carries the list: it cannot answer questions too.
    EXPECT_EQ(list.ifExists, ExistingFileAnswer::stop);
    // So does an input read from it: nothing is asked, and only one of them may use it.
    const auto audio = std::get<CommandLineOptions>(parse({"-o", "/tmp", "-", "--model", "m.onnx"}, true));
    EXPECT_EQ(audio.files, (std::vector<std::filesystem::path>{standardInput}));
    EXPECT_EQ(audio.ifExists, ExistingFileAnswer::stop);
    EXPECT_EQ(audio.model, std::filesystem::path("m.onnx"));
    EXPECT_EQ(std::get<CommandLineOptions>(parse({"-o", "/tmp", "-j", "3", "a.wav"})).batch.filesAtOnce, 3u);
    const std::vector<std::vector<std::string>> wrongUses = {
        {"-o", "/tmp", "--files-from", "-", "--if-exists", "ask"},
        {"-o", "/tmp", "-", "--if-exists", "ask"},
        {"-o", "/tmp", "--files-from", "-", "-"},
        {"-o", "/tmp", "--null", "a.wav"},
        {"-o", "/tmp", "--jobs", "0", "a.wav"},
        {"-o", "/tmp", "-j", "2.5", "a.wav"},
    };
    for (const auto& arguments : wrongUses) {
        EXPECT_EQ(std::get<CommandLineExit>(parse(arguments)).kind, CommandLineExit::Kind::usageError);
    }
}

TEST(FileList, SplitsAtTheSeparatorOnly) {
    char pattern[] = "/tmp/vesh-list-XXXXXX";
    const int file = ::mkstemp(pattern);
    ASSERT_GE(file, 0);
    const std::string nulList = std::string("a b.wav\0new\nline.wav\0\0last\xff.wav", 31);
    ASSERT_EQ(::write(file, nulList.data(), nulList.size()), static_cast<ssize_t>(nulList.size()));
    ::close(file);
    // No interrupt descriptor: a regular file is read to its end.
    const auto nul = readFileList(pattern, true, -1);
    EXPECT_EQ(*nul, (std::vector<std::filesystem::path>{"a b.wav", "new\nline.wav", "last\xff.wav"}));
    const auto lines = readFileList(pattern, false, -1);
    EXPECT_EQ(lines->size(), 2u);
    EXPECT_EQ(lines->at(1).native(), std::string("line.wav\0\0last\xff.wav", 19));
    ::unlink(pattern);
    EXPECT_THROW(readFileList("/nonexistent/list", false, -1), std::system_error);
}

namespace {

// Two signals in a row: the first leaves the pipe readable, the second ends
// the process with the given status (1 or 2 tell what went wrong instead).
[[noreturn]] void receiveTwoSignals() {
    const TerminationSignals termination(77);
    std::raise(SIGINT);
    pollfd waiting{termination.readDescriptor(), POLLIN, 0};
    if (::poll(&waiting, 1, 0) != 1) std::_Exit(1);
    std::raise(SIGTERM);
    std::_Exit(2);
}

}  // namespace

TEST(TerminationSignals, TheFirstSignalIsKeptAndTheSecondEndsTheProcess) {
    EXPECT_EXIT(receiveTwoSignals(), ::testing::ExitedWithCode(77), "");
}

TEST(TerminalText, ControlCharactersAndForeignBytesAreEscaped) {
    EXPECT_EQ(escapedForTerminal("a\x1b[31mb\nc\td\r\x7f\xc2\x85\xff\xc3.wav"),
              "a\\x1b[31mb\\nc\\td\\r\\x7f\\u0085\\xff\\xc3.wav");
    EXPECT_EQ(escapedForTerminal("caf\xc3\xa9 \xe6\x97\xa5.wav"), "caf\xc3\xa9 \xe6\x97\xa5.wav");
    EXPECT_TRUE(isValidUtf8("caf\xc3\xa9"));
    EXPECT_FALSE(isValidUtf8("\xc0\xaf"));  // an overlong "/"
}

TEST(TerminalText, TheProgressLineFitsTheTerminal) {
    ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
    const std::string longName = "a-very-long-recording-name-\xe6\x97\xa5\xe6\x9c\xac-from-the-conference-day-two.wav";
    for (int columns : {8, 12, 20, 40, 80, 200}) {
        for (const std::string& name : {std::string("take.wav"), longName, std::string("bell\a.wav")}) {
            const std::string line = progressLine(name, 0.42, columns);
            EXPECT_LE(columnsOf(line), columns - 1) << columns << ": " << line;
            EXPECT_EQ(line.find('\a'), std::string::npos);
            EXPECT_NE(line.find("42%"), std::string::npos) << line;
        }
    }
    const std::string elided = progressLine(longName, 1.0, 60);
    EXPECT_NE(elided.find("…"), std::string::npos);
    EXPECT_NE(elided.find("a-very"), std::string::npos);
    EXPECT_NE(elided.find("two.wav"), std::string::npos);
    const std::string shortLine = progressLine("take.wav", 0.5, 80);
    EXPECT_EQ(shortLine.rfind("take.wav ", 0), 0u) << shortLine;
    EXPECT_NE(shortLine.find("#-"), std::string::npos) << shortLine;
    std::setlocale(LC_ALL, "C");
}

TEST(TerminalText, Durations) {
    EXPECT_EQ(durationText(0.25), "0.2 s");
    EXPECT_EQ(durationText(245.0), "4 min 05 s");
    EXPECT_EQ(durationText(7380.0), "2 h 03 min");
}

TEST(FileRecord, EveryRecordIsJsonAndNamesCanBeRecovered) {
    const std::string source = "in/take\xff\n.wav";
    const FileOutcome written{.source = source,
                              .target = "out/take\xff\n.wav",
                              .status = FileOutcome::Status::written,
                              .duration = 1.5,
                              .seconds = 0.1234};
    const std::string text = fileRecord(written);
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_TRUE(isValidUtf8(text));
    QJsonParseError error;
    const QJsonObject record = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << text;
    EXPECT_EQ(QByteArray::fromBase64(record["source_base64"].toString().toLatin1()).toStdString(), source);
    EXPECT_EQ(record["source"].toString(), QString::fromUtf8("in/take\xef\xbf\xbd\n.wav"));
    EXPECT_EQ(record["status"].toString(), "written");
    EXPECT_EQ(record["duration"].toDouble(), 1.5);
    EXPECT_EQ(record["seconds"].toDouble(), 0.123);
    EXPECT_TRUE(record["error"].isNull());

    const FileOutcome skipped{.source = "a.wav",
                              .target = "out/a.wav",
                              .status = FileOutcome::Status::skipped,
                              .reason = "the output file exists already"};
    const QJsonObject skippedRecord = QJsonDocument::fromJson(QByteArray::fromStdString(fileRecord(skipped))).object();
    EXPECT_EQ(skippedRecord["status"].toString(), "skipped");
    EXPECT_EQ(skippedRecord["error"].toString(), "the output file exists already");
    EXPECT_TRUE(skippedRecord["duration"].isNull());
    EXPECT_FALSE(skippedRecord.contains("source_base64"));
}
