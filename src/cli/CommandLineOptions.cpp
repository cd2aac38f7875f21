#include "cli/CommandLineOptions.h"

#include <QCommandLineParser>

#include <algorithm>
#include <cmath>

#include "cli/TerminalText.h"

namespace vesh {

namespace {

// Arguments are bytes. Qt's parser takes text, so each byte that is not part
// of valid UTF-8 travels as a lone low surrogate U+DC80..U+DCFF (no valid
// text contains one) and is turned back into its byte where a path is made.
constexpr char16_t escapedByteBase = 0xDC00;

QString argumentText(std::string_view bytes) {
    QString text;
    for (std::size_t index = 0; index < bytes.size();) {
        const Utf8Step step = decodeUtf8(bytes, index);
        if (step.length == 0) {
            text.append(QChar(static_cast<char16_t>(escapedByteBase + static_cast<unsigned char>(bytes[index]))));
            ++index;
            continue;
        }
        text.append(QString::fromUcs4(&step.point, 1));
        index += step.length;
    }
    return text;
}

bool isEscapedByte(QChar unit) { return unit.unicode() >= escapedByteBase + 0x80 && unit.unicode() <= 0xDCFF; }

std::string argumentBytes(const QString& text) {
    std::string bytes;
    qsizetype start = 0;
    for (qsizetype index = 0; index <= text.size(); ++index) {
        if (index < text.size() && !isEscapedByte(text[index])) continue;
        bytes += text.mid(start, index - start).toStdString();
        if (index < text.size()) bytes.push_back(static_cast<char>(text[index].unicode() - escapedByteBase));
        start = index + 1;
    }
    return bytes;
}

std::filesystem::path localPath(const QString& argument) { return std::filesystem::path(argumentBytes(argument)); }

CommandLineExit usageError(const QString& message) {
    return CommandLineExit{CommandLineExit::Kind::usageError, argumentBytes(message)};
}

// The help: one usage line, the options in two columns, the exit statuses.
std::string helpText(const QList<QCommandLineOption>& options) {
    constexpr qsizetype descriptionColumn = 30;
    constexpr qsizetype lineWidth = 79;
    QString text =
        "Usage: vesh-cli [options] -o DIR FILE...\n"
        "Removes background noise from recorded speech: writes one cleaned file per\n"
        "input into the output folder DIR.\n\nOptions:\n";
    for (const QCommandLineOption& option : options) {
        QString names;
        for (const QString& name : option.names()) {
            if (!names.isEmpty()) names += ", ";
            names += (name.size() == 1 ? "-" : "--") + name;
        }
        if (option.names().constFirst().size() > 1) names.prepend("    ");
        QString entry = "  " + names;
        if (!option.valueName().isEmpty()) entry += " " + option.valueName();
        entry += QString(std::max<qsizetype>(descriptionColumn - entry.size(), 2), ' ');
        // Words wrap at the line width, continuing in the description column.
        qsizetype lineStart = 0;
        for (const QString& word : option.description().split(' ')) {
            if (entry.size() - lineStart + word.size() > lineWidth) {
                entry.chop(1);
                entry += "\n";
                lineStart = entry.size();
                entry += QString(descriptionColumn, ' ');
            }
            entry += word + " ";
        }
        entry.chop(1);
        text += entry + "\n";
    }
    text +=
        "\nExit status:\n"
        "  0    every file written, or skipped by rule or by choice, or Stop chosen at\n"
        "       a prompt\n"
        "  1    a file failed (an output that would replace its own source, an\n"
        "       unwritable folder or a refused size included), or an existing output\n"
        "       file stopped a run without a prompt; with --keep-going, after all files\n"
        "  2    usage error: unknown option, bad value, a path separator in --prefix\n"
        "       or --suffix, two inputs for one output file\n"
        "  130  cancelled by Ctrl-C or SIGTERM before the current file was complete (a\n"
        "       file completed before the signal counts as written); a second Ctrl-C\n"
        "       ends the program at once\n";
    return text.toStdString();
}

}  // namespace

// More files at once than this only hold more decoded audio in memory: the
// network's threads are shared by all of them.
constexpr int maximumFilesAtOnce = 64;

std::variant<CommandLineOptions, CommandLineExit> parseCommandLine(std::span<char* const> arguments,
                                                                   bool stdinIsTerminal) {
    const QCommandLineOption output({"o", "output"}, "Output folder (required; must exist).", "DIR");
    const QCommandLineOption filesFrom(
        "files-from", "Also process the files listed in LIST, one per line; - reads the list from standard input.",
        "LIST");
    const QCommandLineOption null({"0", "null"}, "The list of --files-from ends each name with NUL, not a newline.");
    const QCommandLineOption mix("mix", "Share of the enhanced signal, 0 to 1 (default 1).", "X");
    const QCommandLineOption loudness(
        "loudness",
        "Bring every output to a loudness by one gain per file: off (default), podcast (-16 LUFS), broadcast (-23 "
        "LUFS) or a number of LUFS from -40 to -5; the true peak stays at or below -1 dBTP.",
        "TARGET");
    const QCommandLineOption prefix("prefix", "Text put before every output file's name.", "TEXT");
    const QCommandLineOption suffix("suffix", "Text put after every output file's base name.", "TEXT");
    const QCommandLineOption sameFormat(
        "same-format",
        "Write each file in its input's format, rate and extension (falling back to the chosen format where that "
        "cannot be written).");
    const QCommandLineOption format("format", "Output file format: wav, aiff or flac (default wav).", "FORMAT");
    const QCommandLineOption bitDepth("bit-depth", "Output bit depth: 16, 24 or 32 (default 24).", "BITS");
    const QCommandLineOption rate("rate", "Output sample rate: 44100, 48000, 96000 or 192000 (default 48000).", "HZ");
    const QCommandLineOption ifExists(
        "if-exists",
        "What to do with an output file that already exists: ask, skip, replace or stop (default: ask when "
        "standard input is a terminal, stop otherwise).",
        "WHAT");
    const QCommandLineOption jobs(
        {"j", "jobs"},
        "Process N files at the same time (default 1); the network already uses every processor for each file.",
        "N");
    const QCommandLineOption keepGoing("keep-going",
                                       "After a failed file, process the remaining ones; exit with 1 at the end.");
    const QCommandLineOption json("json", "Print one JSON record per file on standard output (see the manual page).");
    const QCommandLineOption quiet({"q", "quiet"}, "Print nothing but errors.");
    const QCommandLineOption model("model", "Load the model file PATH instead of the installed one.", "PATH");
    const QCommandLineOption help({"h", "help"}, "Show this help and exit.");
    const QCommandLineOption version({"V", "version"}, "Show the version and the model's version, and exit.");
    const QList<QCommandLineOption> all{output, filesFrom, null,     mix,      loudness, prefix,
                                        suffix, sameFormat, format, bitDepth, rate,     ifExists,
                                        model,  jobs,       keepGoing, json,  quiet,    help,     version};

    QCommandLineParser parser;
    parser.addOptions(all);
    QStringList texts;
    for (const char* argument : arguments) texts.append(argumentText(argument));
    if (!parser.parse(texts)) return usageError(parser.errorText());
    CommandLineOptions options;
    if (parser.isSet(model)) options.model = localPath(parser.value(model));
    if (parser.isSet(help)) return CommandLineExit{CommandLineExit::Kind::help, helpText(all)};
    if (parser.isSet(version)) return CommandLineExit{CommandLineExit::Kind::version, {}, options.model};

    BatchOptions& batch = options.batch;
    options.quiet = parser.isSet(quiet);
    batch.matchSourceFormat = parser.isSet(sameFormat);
    batch.continuesAfterFailure = parser.isSet(keepGoing);
    options.json = parser.isSet(json);
    options.nulSeparated = parser.isSet(null);

    if (!parser.isSet(output)) return usageError("The output folder is missing: give it with -o DIR.");
    batch.outputFolder = localPath(parser.value(output));
    if (!std::filesystem::is_directory(batch.outputFolder)) {
        return usageError("The output folder “" + parser.value(output) + "” does not exist.");
    }

    for (const QString& file : parser.positionalArguments()) {
        options.files.push_back(file == "-" ? standardInput : localPath(file));
    }
    if (parser.isSet(filesFrom)) {
        options.filesFrom = localPath(parser.value(filesFrom));
    } else if (options.nulSeparated) {
        return usageError("--null applies to the list of --files-from, which is missing.");
    }
    if (options.files.empty() && !options.filesFrom) return usageError("No files given.");
    if (options.readsAudioFromStandardInput() && options.readsListFromStandardInput()) {
        return usageError("Standard input cannot carry both the list of files and an input (-).");
    }

    if (parser.isSet(mix)) {
        bool ok = false;
        const double value = parser.value(mix).toDouble(&ok);
        if (!ok || !std::isfinite(value) || value < 0.0 || value > 1.0) {
            return usageError("--mix takes a number from 0 to 1, not “" + parser.value(mix) + "”.");
        }
        batch.wetDryMix = value;
    }
    if (parser.isSet(jobs)) {
        bool ok = false;
        const int value = parser.value(jobs).toInt(&ok);
        if (!ok || value < 1 || value > maximumFilesAtOnce) {
            return usageError("--jobs takes a whole number from 1 to " + QString::number(maximumFilesAtOnce) +
                              ", not “" + parser.value(jobs) + "”.");
        }
        batch.filesAtOnce = static_cast<std::size_t>(value);
    }
    if (parser.isSet(loudness)) {
        const auto target = LoudnessTarget::fromName(parser.value(loudness).toStdString());
        if (!target) {
            return usageError("--loudness takes off, podcast, broadcast or a number from -40 to -5, not “" +
                              parser.value(loudness) + "”.");
        }
        batch.loudnessTarget = *target;
    }
    // Every output is a name in the output folder: nothing may lead out of it.
    for (const auto& [option, setting] :
         {std::pair{&prefix, &batch.filenamePrefix}, {&suffix, &batch.filenameSuffix}}) {
        if (!parser.isSet(*option)) continue;
        const QString text = parser.value(*option);
        const QString name = "--" + option->names().constFirst();
        if (!isAllowedInFileName(argumentBytes(text))) {
            return usageError(name +
                              " cannot contain “/”: output files are written into the output folder only, "
                              "not “" +
                              text + "”.");
        }
        if (std::any_of(text.begin(), text.end(), isEscapedByte)) {
            return usageError(name + " must be UTF-8 text, not “" + text + "”.");
        }
        *setting = text.toStdString();
    }

    if (parser.isSet(format)) {
        const auto fileFormat = audioFileFormatFromRawValue(parser.value(format).toStdString());
        if (!fileFormat) return usageError("--format takes wav, aiff or flac, not “" + parser.value(format) + "”.");
        batch.outputFormat.fileFormat = *fileFormat;
    }
    if (parser.isSet(bitDepth)) {
        bool ok = false;
        const qint64 value = parser.value(bitDepth).toLongLong(&ok);
        const auto depth = ok ? bitDepthFromRawValue(value) : std::nullopt;
        if (!depth) return usageError("--bit-depth takes 16, 24 or 32, not “" + parser.value(bitDepth) + "”.");
        batch.outputFormat.bitDepth = *depth;
    }
    if (parser.isSet(rate)) {
        bool ok = false;
        const qint64 value = parser.value(rate).toLongLong(&ok);
        const auto listed = ok ? sampleRateFromRawValue(value) : std::nullopt;
        if (!listed) {
            return usageError("--rate takes 44100, 48000, 96000 or 192000, not “" + parser.value(rate) + "”.");
        }
        batch.outputFormat.sampleRate = *listed;
    }

    // Standard input answers questions only when it is a terminal and
    // carries neither the list of files nor audio.
    const bool stdinCarriesData = options.readsListFromStandardInput() || options.readsAudioFromStandardInput();
    const bool canAsk = stdinIsTerminal && !stdinCarriesData;
    options.ifExists = canAsk ? std::nullopt : std::optional(ExistingFileAnswer::stop);
    if (parser.isSet(ifExists)) {
        const QString policy = parser.value(ifExists);
        if (policy == "ask")
            options.ifExists = std::nullopt;
        else if (policy == "skip")
            options.ifExists = ExistingFileAnswer::skip;
        else if (policy == "replace")
            options.ifExists = ExistingFileAnswer::replace;
        else if (policy == "stop")
            options.ifExists = ExistingFileAnswer::stop;
        else
            return usageError("--if-exists takes ask, skip, replace or stop, not “" + policy + "”.");
        if (!options.ifExists && stdinCarriesData) {
            return usageError(QString("--if-exists ask reads the answers from standard input, which carries ") +
                              (options.readsListFromStandardInput() ? "the list of files" : "an input") +
                              ": choose skip, replace or stop.");
        }
    }
    // Under --if-exists skip an output that would replace an input is
    // skipped too; otherwise that file fails.
    batch.skipsOutputsThatReplaceSources = options.ifExists == ExistingFileAnswer::skip;
    return options;
}

bool CommandLineOptions::readsAudioFromStandardInput() const {
    return std::find(files.begin(), files.end(), standardInput) != files.end();
}

}  // namespace vesh
