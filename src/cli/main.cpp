// vesh-cli: the command-line front end on the application core. It runs one
// batch with the settings given as options (never the window's stored
// settings), reports on standard error and, with --json, describes every
// file on standard output.

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QSettings>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <system_error>

#include "AudioIO/AudioFile.h"
#include "FullBandSpeechEnhancer/InferenceRuntime.h"
#include "app/ApplicationId.h"
#include "app/Brain.h"
#include "cli/CommandLineOptions.h"
#include "cli/FileList.h"
#include "cli/FileRecord.h"
#include "cli/Report.h"
#include "cli/TerminalInteraction.h"
#include "cli/TerminalText.h"
#include "cli/TerminationSignals.h"

using namespace vesh;

namespace {

// Exit statuses.
constexpr int everyFileWritten = 0;  // or skipped, or stopped by choice
constexpr int fileFailed = 1;
constexpr int usageError = 2;
constexpr int cancelled = 130;

void printUsageError(const std::string& message) {
    std::fprintf(stderr, "vesh-cli: %s\n", escapedForTerminal(message).c_str());
    std::fputs("Try 'vesh-cli --help' for more information.\n", stderr);
}

void applySettings(Brain& brain, const CommandLineOptions& options) {
    if (options.wetDryMix) brain.setWetDryMix(*options.wetDryMix);
    if (options.filenamePrefix) brain.setFilenamePrefix(*options.filenamePrefix);
    if (options.filenameSuffix) brain.setFilenameSuffix(*options.filenameSuffix);
    brain.setOutputFormatMatchesInput(options.outputFormatMatchesInput);
    AudioFormat format = brain.outputFormat();
    if (options.bitDepth) format.bitDepth = *options.bitDepth;
    if (options.sampleRate) format.sampleRate = *options.sampleRate;
    if (options.fileFormat) format.fileFormat = *options.fileFormat;
    brain.setOutputFormat(format);
    brain.setOutputFolder(options.outputFolder);
    brain.setContinuesAfterFailure(options.keepGoing);
}

}  // namespace

int main(int argc, char* argv[]) {
    // First of all, so that no signal finds the default action: one signal
    // cancels in order, a second one ends the process at once.
    TerminationSignals terminationSignals(cancelled);
    const auto started = std::chrono::steady_clock::now();
    // Before any thread starts: these touch process-wide state.
    vesh::disableInferenceTelemetry();
    vesh::silenceDecoderDiagnostics();

    const auto parsed =
        parseCommandLine(std::span<char* const>(argv, static_cast<std::size_t>(argc)), isatty(STDIN_FILENO) == 1);
    bool versionOnly = false;
    CommandLineOptions options;
    if (const auto* exit = std::get_if<CommandLineExit>(&parsed)) {
        switch (exit->kind) {
        case CommandLineExit::Kind::help: std::fputs(exit->text.c_str(), stdout); return everyFileWritten;
        case CommandLineExit::Kind::usageError: printUsageError(exit->text); return usageError;
        case CommandLineExit::Kind::version: versionOnly = true; break;
        }
    } else {
        options = std::get<CommandLineOptions>(parsed);
    }
    if (options.filesFrom) {
        try {
            const auto listed =
                readFileList(*options.filesFrom, options.nulSeparated, terminationSignals.readDescriptor());
            if (!listed) return cancelled;
            options.files.insert(options.files.end(), listed->begin(), listed->end());
        } catch (const std::system_error& error) {
            printUsageError("The list of files “" + options.filesFrom->native() +
                            "” cannot be read: " + error.code().message() + ".");
            return usageError;
        }
    }

    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName("vesh-cli");
    QCoreApplication::setApplicationVersion(VESH_VERSION);
    // The model's version is part of --version; its log line would only
    // clutter the report (QT_LOGGING_RULES can still turn it on).
    QLoggingCategory::setFilterRules(QString(applicationId) + ".model.info=false");

    Report report(options.quiet, isatty(STDERR_FILENO) == 1);
    TerminalInteraction interaction(options.ifExists, terminationSignals.readDescriptor());
    // The window's stored settings are neither read nor changed: without a
    // store the core keeps the settings of this run in memory.
    Brain brain(nullptr, interaction);
    applySettings(brain, options);

    // --if-exists never covers an output of the same run: two inputs for one
    // output refuse the run before anything is processed.
    if (const auto clashes = brain.targetClashes(options.files); !clashes.empty()) {
        for (const Brain::TargetClash& clash : clashes) {
            report.error("“" + clash.first.native() + "” and “" + clash.second.native() +
                         "” would both be written to “" + clash.target.native() + "”.");
        }
        std::fputs("Process them in separate runs with different --suffix values.\n", stderr);
        return usageError;
    }

    // The first status decided is the one the run ends with.
    std::optional<int> exitStatus;
    const auto finish = [&](int status) {
        if (exitStatus) return;
        exitStatus = status;
        report.summary(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        QCoreApplication::exit(status);
    };
    bool interrupted = false;
    terminationSignals.notify([&] {
        interrupted = true;
        if (brain.modelIsProcessing()) {
            report.message("cancelling…");
            brain.setShouldCancelProcessing(true);
        } else {
            finish(cancelled);
        }
    });

    const auto start = [&] {
        if (exitStatus) return;
        if (brain.error()) {  // the model failed to load
            report.alert(*brain.error());
            finish(fileFailed);
            return;
        }
        if (versionOnly) {
            std::printf("vesh-cli %s\nSpeech enhancer model version: %s\n", VESH_VERSION,
                        brain.modelVersion().toLocal8Bit().constData());
            finish(everyFileWritten);
            return;
        }
        brain.processDroppedFiles(options.files);
        if (brain.modelIsProcessing()) return;  // the batch runs; batchFinished ends the run
        if (interrupted || interaction.interrupted()) {
            finish(cancelled);
        } else if (brain.alertIsDisplayed() && brain.error()) {
            report.alert(*brain.error());
            finish(fileFailed);
        } else if (!interaction.stoppedByPolicyAt().empty()) {
            // A script asked not to replace anything: not doing the work is a failure.
            report.error("“" + interaction.stoppedByPolicyAt().native() + "” already exists; nothing was written.");
            std::fputs("Use --if-exists=skip or --if-exists=replace to go on.\n", stderr);
            finish(fileFailed);
        } else if (interaction.stopped()) {
            report.error("stopped at an existing output file; nothing was written.");
            finish(everyFileWritten);
        } else {
            if (!options.files.empty()) report.message("every output file already exists; nothing was written.");
            finish(everyFileWritten);
        }
    };

    QObject::connect(&brain, &Brain::modelIsLoadingChanged, [&] {
        if (!brain.modelIsLoading()) start();
    });
    // A new file starts at 0 %; the progress is reset only once it is read.
    QObject::connect(&brain, &Brain::nameOfFileBeingProcessedChanged,
                     [&] { report.progress(brain.nameOfFileBeingProcessedText().toStdString(), Brain::Progress{}); });
    QObject::connect(&brain, &Brain::progressChanged, [&] {
        if (!brain.progress().channels.empty()) {
            report.progress(brain.nameOfFileBeingProcessedText().toStdString(), brain.progress());
        }
    });
    QObject::connect(&brain, &Brain::fileOutcome, [&](const Brain::FileOutcome& outcome) {
        report.outcome(outcome, options.keepGoing);
        if (options.json) {
            std::printf("%s\n", fileRecord(outcome).c_str());
            std::fflush(stdout);
        }
    });
    QObject::connect(&brain, &Brain::fileWarned, [&](const QString& source, const QStringList& warnings, bool) {
        for (const QString& warning : warnings) {
            report.message(("warning: " + source + ": " + warning + ".").toLocal8Bit().constData());
        }
    });
    QObject::connect(&brain, &Brain::batchFinished, [&](bool batchCancelled) {
        if (batchCancelled) {
            report.message("cancelled; the file being processed and those after it were not written.");
            finish(cancelled);
        } else if (brain.alertIsDisplayed() && brain.error()) {
            report.alert(*brain.error());
            finish(fileFailed);
        } else if (!interaction.stoppedByPolicyAt().empty()) {
            // An output file appeared while the run was writing it.
            report.error("“" + interaction.stoppedByPolicyAt().native() +
                         "” appeared while it was being written; it and the files after it were not written.");
            std::fputs("Use --if-exists=skip or --if-exists=replace to go on.\n", stderr);
            finish(fileFailed);
        } else if (report.failedCount() > 0) {
            report.failures();
            finish(fileFailed);
        } else if (interaction.stopped()) {
            report.message("stopped at an existing output file; it and the files after it were not written.");
            finish(everyFileWritten);
        } else {
            // An interrupt that came after the last enhancement stopped nothing.
            if (interrupted) report.message("every file was written before the interrupt took effect.");
            finish(everyFileWritten);
        }
    });

    const int status = QCoreApplication::exec();
    return exitStatus.value_or(status);
}
