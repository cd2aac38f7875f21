#include "cli/CommandLineOptions.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>

#include <cmath>

#include "app/Brain.h"

namespace vesh {

namespace {

std::filesystem::path localPath(const QString& text) {
    return std::filesystem::path(QFile::encodeName(text).toStdString());
}

CommandLineExit usageError(const QString& message) {
    return CommandLineExit{CommandLineExit::Kind::usageError, message.toStdString()};
}

}  // namespace

std::variant<CommandLineOptions, CommandLineExit> parseCommandLine(const QStringList& arguments, bool stdinIsTerminal) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "vesh-cli [options] -o DIR FILE...\n"
        "Removes background noise from recorded speech: writes one cleaned file per input into the output "
        "folder DIR.\n"
        "\n"
        "Exit status:\n"
        "  0    every file written, or skipped by rule or by choice, or Stop chosen at a prompt\n"
        "  1    a file failed (an output that would replace its own source included), or an existing output\n"
        "       file stopped a run without a prompt\n"
        "  2    usage error: unknown option, bad value, a path separator in --prefix or --suffix, two inputs\n"
        "       for one output file\n"
        "  130  cancelled by Ctrl-C or SIGTERM before the current file was complete");

    const QCommandLineOption output({"o", "output"}, "Output folder (required; must exist).", "DIR");
    const QCommandLineOption mix("mix", "Share of the enhanced signal, 0 to 1 (default 1).", "X");
    const QCommandLineOption prefix("prefix", "Text put before every output file's name.", "TEXT");
    const QCommandLineOption suffix("suffix", "Text put after every output file's base name.", "TEXT");
    const QCommandLineOption sameFormat(
        "same-format",
        "Write each file in its input's format, rate and extension (falling back to the "
        "chosen format where that cannot be written).");
    const QCommandLineOption format("format", "Output file format: wav, aiff or flac (default wav).", "wav|aiff|flac");
    const QCommandLineOption bitDepth("bit-depth", "Output bit depth: 16, 24 or 32 (default 24).", "16|24|32");
    const QCommandLineOption rate("rate", "Output sample rate: 44100, 48000, 96000 or 192000 (default 48000).", "HZ");
    const QCommandLineOption ifExists(
        "if-exists",
        "What to do with an output file that already exists: ask, skip, replace or stop (default: ask when "
        "standard input is a terminal, stop otherwise).",
        "ask|skip|replace|stop");
    const QCommandLineOption quiet({"q", "quiet"}, "Print nothing but errors.");
    const QCommandLineOption help("help", "Show this help and exit.");
    const QCommandLineOption version("version", "Show the version and the model's version, and exit.");

    parser.addOptions(
        {output, mix, prefix, suffix, sameFormat, format, bitDepth, rate, ifExists, quiet, help, version});
    parser.addPositionalArgument("FILE", "Audio files to denoise.", "FILE...");

    if (!parser.parse(arguments)) return usageError(parser.errorText());
    if (parser.isSet(help)) {
        return CommandLineExit{CommandLineExit::Kind::help, parser.helpText().toStdString()};
    }
    if (parser.isSet(version)) return CommandLineExit{CommandLineExit::Kind::version, {}};

    CommandLineOptions options;
    options.quiet = parser.isSet(quiet);
    options.outputFormatMatchesInput = parser.isSet(sameFormat);

    if (!parser.isSet(output)) return usageError("The output folder is missing: give it with -o DIR.");
    const QString folder = parser.value(output);
    if (!QFileInfo(folder).isDir()) return usageError("The output folder “" + folder + "” does not exist.");
    options.outputFolder = localPath(folder);

    for (const QString& file : parser.positionalArguments()) options.files.push_back(localPath(file));
    if (options.files.empty()) return usageError("No files given.");

    if (parser.isSet(mix)) {
        bool ok = false;
        const double value = parser.value(mix).toDouble(&ok);
        if (!ok || !std::isfinite(value) || value < 0.0 || value > 1.0) {
            return usageError("--mix takes a number from 0 to 1, not “" + parser.value(mix) + "”.");
        }
        options.wetDryMix = value;
    }
    // Every output is a name in the output folder: nothing may lead out of it.
    for (const auto& [option, setting] : {std::pair{&prefix, &options.filenamePrefix}, {&suffix, &options.filenameSuffix}}) {
        if (!parser.isSet(*option)) continue;
        const QString text = parser.value(*option);
        if (!Brain::isAllowedInFileName(text)) {
            return usageError("--" + option->names().constFirst() + " cannot contain “/”: output files are written "
                              "into the output folder only, not “" + text + "”.");
        }
        *setting = text;
    }

    if (parser.isSet(format)) {
        options.fileFormat = audioFileFormatFromRawValue(parser.value(format).toStdString());
        if (!options.fileFormat) {
            return usageError("--format takes wav, aiff or flac, not “" + parser.value(format) + "”.");
        }
    }
    if (parser.isSet(bitDepth)) {
        bool ok = false;
        const qint64 value = parser.value(bitDepth).toLongLong(&ok);
        if (ok) options.bitDepth = bitDepthFromRawValue(value);
        if (!options.bitDepth) {
            return usageError("--bit-depth takes 16, 24 or 32, not “" + parser.value(bitDepth) + "”.");
        }
    }
    if (parser.isSet(rate)) {
        bool ok = false;
        const qint64 value = parser.value(rate).toLongLong(&ok);
        if (ok) options.sampleRate = sampleRateFromRawValue(value);
        if (!options.sampleRate) {
            return usageError("--rate takes 44100, 48000, 96000 or 192000, not “" + parser.value(rate) + "”.");
        }
    }

    options.ifExists = stdinIsTerminal ? ExistingFilePolicy::ask : ExistingFilePolicy::stop;
    if (parser.isSet(ifExists)) {
        const QString policy = parser.value(ifExists);
        if (policy == "ask")
            options.ifExists = ExistingFilePolicy::ask;
        else if (policy == "skip")
            options.ifExists = ExistingFilePolicy::skip;
        else if (policy == "replace")
            options.ifExists = ExistingFilePolicy::replace;
        else if (policy == "stop")
            options.ifExists = ExistingFilePolicy::stop;
        else
            return usageError("--if-exists takes ask, skip, replace or stop, not “" + policy + "”.");
    }
    return options;
}

}  // namespace vesh
