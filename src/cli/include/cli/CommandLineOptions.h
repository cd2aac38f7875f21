#pragma once

#include <QString>

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "app/AudioFormat.h"

namespace vesh {

// What to do with a target that already exists in the output folder.
enum class ExistingFilePolicy { ask, skip, replace, stop };

// The settings and files of one run of the command line. Options that were
// not given are absent and keep the settings' defaults. Paths keep the bytes
// they were given as, whether or not those are valid UTF-8.
struct CommandLineOptions {
    std::filesystem::path outputFolder;
    std::vector<std::filesystem::path> files;
    // A list of further files, one per line (or NUL-terminated); "-" is
    // standard input.
    std::optional<std::filesystem::path> filesFrom;
    bool nulSeparated = false;
    std::optional<double> wetDryMix;
    std::optional<QString> filenamePrefix;
    std::optional<QString> filenameSuffix;
    bool outputFormatMatchesInput = false;
    std::optional<AudioFileFormat> fileFormat;
    std::optional<BitDepth> bitDepth;
    std::optional<SampleRate> sampleRate;
    ExistingFilePolicy ifExists = ExistingFilePolicy::stop;
    bool keepGoing = false;
    bool json = false;
    bool quiet = false;

    // Whether the list of files is read from standard input.
    bool readsListFromStandardInput() const { return filesFrom && filesFrom->native() == "-"; }
};

// The run ends before any processing: help, version or a usage error.
struct CommandLineExit {
    enum class Kind { help, version, usageError };
    Kind kind;
    std::string text;  // the help text, or the usage error's message (bytes as given)
};

// Parses the arguments (the program name first) as the process received
// them. `stdinIsTerminal` decides the default of --if-exists: ask on a
// terminal, stop otherwise (and whenever standard input carries the list of
// files).
std::variant<CommandLineOptions, CommandLineExit> parseCommandLine(std::span<char* const> arguments,
                                                                   bool stdinIsTerminal);

}  // namespace vesh
