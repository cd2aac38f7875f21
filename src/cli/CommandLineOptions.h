#pragma once

#include <QStringList>

#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "app/AudioFormat.h"

namespace vesh {

// What to do with a target that already exists in the output folder.
enum class ExistingFilePolicy { ask, skip, replace, stop };

// The settings and files of one run of the command line. Options that were
// not given are absent and keep the settings' defaults.
struct CommandLineOptions {
    std::filesystem::path outputFolder;
    std::vector<std::filesystem::path> files;
    std::optional<double> wetDryMix;
    std::optional<QString> filenamePrefix;
    std::optional<QString> filenameSuffix;
    bool outputFormatMatchesInput = false;
    std::optional<AudioFileFormat> fileFormat;
    std::optional<BitDepth> bitDepth;
    std::optional<SampleRate> sampleRate;
    ExistingFilePolicy ifExists = ExistingFilePolicy::stop;
    bool quiet = false;
};

// The run ends before any processing: help, version or a usage error.
struct CommandLineExit {
    enum class Kind { help, version, usageError };
    Kind kind;
    std::string text;  // the help text, or the usage error's message
};

// Parses the arguments (the program name first). `stdinIsTerminal` decides
// the default of --if-exists: ask on a terminal, stop otherwise.
std::variant<CommandLineOptions, CommandLineExit> parseCommandLine(const QStringList& arguments, bool stdinIsTerminal);

}  // namespace vesh
