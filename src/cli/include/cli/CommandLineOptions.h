#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "Engine/Batch.h"

namespace vesh {

// The settings and files of one run of the command line. Paths keep the
// bytes they were given as, whether or not those are valid UTF-8.
struct CommandLineOptions {
    // The batch's settings: the options given, the defaults otherwise.
    BatchOptions batch;
    std::vector<std::filesystem::path> files;
    // A list of further files, one per line (or NUL-terminated); "-" is
    // standard input.
    std::optional<std::filesystem::path> filesFrom;
    bool nulSeparated = false;
    // The answer to every existing-file question; nothing: ask at a prompt.
    std::optional<ExistingFileAnswer> ifExists = ExistingFileAnswer::stop;
    bool json = false;
    bool quiet = false;
    // The model to load instead of the installed one.
    std::optional<std::filesystem::path> model;

    // Whether the list of files is read from standard input.
    bool readsListFromStandardInput() const { return filesFrom && filesFrom->native() == "-"; }
    // Whether an input is standard input ("-" on the command line).
    bool readsAudioFromStandardInput() const;
};

// The run ends before any processing: help, version or a usage error.
struct CommandLineExit {
    enum class Kind { help, version, usageError };
    Kind kind;
    std::string text;  // the help text, or the usage error's message (bytes as given)
    // For the version: the model whose version it names (--model), if not the installed one.
    std::optional<std::filesystem::path> model{};
};

// The input that "-" names: standard input, processed like any pipe, whose
// output is named "stdin" with the output format's extension.
inline const std::filesystem::path standardInput = "/dev/stdin";

// Parses the arguments (the program name first) as the process received
// them. `stdinIsTerminal` decides the default of --if-exists: ask on a
// terminal, stop otherwise (and whenever standard input carries the list of
// files).
std::variant<CommandLineOptions, CommandLineExit> parseCommandLine(std::span<char* const> arguments,
                                                                   bool stdinIsTerminal);

}  // namespace vesh
