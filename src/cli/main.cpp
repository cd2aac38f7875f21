// vesh-cli: the command-line front end on the application core. It runs one
// batch with the settings given as options (never the window's stored
// settings) and reports on standard error.

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QSettings>

#include <unistd.h>

#include <cstdio>
#include <numeric>
#include <string>

#include "AudioIO/AudioFile.h"
#include "FullBandSpeechEnhancer/InferenceRuntime.h"
#include "app/ApplicationId.h"
#include "app/Brain.h"
#include "cli/CommandLineOptions.h"
#include "cli/TerminalInteraction.h"
#include "cli/TerminationSignals.h"

using namespace vesh;

namespace {

// Exit statuses.
constexpr int everyFileWritten = 0;  // or skipped, or stopped by choice
constexpr int fileFailed = 1;
constexpr int usageError = 2;
constexpr int cancelled = 130;

void printError(const char* message) { std::fprintf(stderr, "vesh-cli: %s\n", message); }

// The alert's title with the failed file, what was left undone, the
// underlying cause and the advice.
void printAlert(const AppError& error) {
    const std::string title = error.description();
    if (error.failure().failedFile.empty()) {
        std::fprintf(stderr, "vesh-cli: %s\n", title.c_str());
    } else {
        std::fprintf(stderr, "vesh-cli: %s: %s\n", error.failure().failedFile.c_str(), title.c_str());
        std::fprintf(stderr, "%s\n", error.failureReport().c_str());
    }
    if (const std::string details = error.details(); !details.empty()) {
        std::fprintf(stderr, "Details: %s\n", details.c_str());
    }
    std::fprintf(stderr, "%s\n", error.recoverySuggestion().c_str());
}

// A one-line progress bar on a terminal, a line per finished file otherwise,
// nothing when quiet.
class Report {
public:
    Report(bool quiet, bool terminal) : quiet_(quiet), terminal_(terminal) {}

    void progress(const QString& fileName, const Brain::Progress& progress) {
        if (quiet_ || !terminal_) return;
        const auto& entries = progress.channels;
        const double fraction =
            entries.empty() ? 0.0 : std::accumulate(entries.begin(), entries.end(), 0.0) / double(entries.size());
        constexpr int width = 30;
        const int filled = static_cast<int>(fraction * width);
        const std::string bar = std::string(filled, '#') + std::string(width - filled, '-');
        std::fprintf(stderr, "\r\033[K%s [%s] %3d%%", fileName.toLocal8Bit().constData(), bar.c_str(),
                     static_cast<int>(fraction * 100.0));
        std::fflush(stderr);
        barShown_ = true;
    }

    void fileWritten(const QString& writtenTo) {
        if (quiet_) return;
        clearBar();
        std::fprintf(stderr, "Wrote %s\n", writtenTo.toLocal8Bit().constData());
    }

    void message(const char* text) {
        if (quiet_) return;
        clearBar();
        std::fprintf(stderr, "vesh-cli: %s\n", text);
    }

    void clearBar() {
        if (!barShown_) return;
        std::fputs("\r\033[K", stderr);
        barShown_ = false;
    }

private:
    bool quiet_;
    bool terminal_;
    bool barShown_ = false;
};

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
}

}  // namespace

int main(int argc, char* argv[]) {
    // Before any thread starts: these touch process-wide state.
    vesh::disableInferenceTelemetry();
    vesh::silenceDecoderDiagnostics();
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName("vesh-cli");
    QCoreApplication::setApplicationVersion(VESH_VERSION);
    // The model's version is part of --version; its log line would only
    // clutter the report (QT_LOGGING_RULES can still turn it on).
    QLoggingCategory::setFilterRules(QString(applicationId) + ".model.info=false");

    const auto parsed = parseCommandLine(QCoreApplication::arguments(), isatty(STDIN_FILENO) == 1);
    bool versionOnly = false;
    CommandLineOptions options;
    if (const auto* exit = std::get_if<CommandLineExit>(&parsed)) {
        switch (exit->kind) {
        case CommandLineExit::Kind::help: std::fputs(exit->text.c_str(), stdout); return everyFileWritten;
        case CommandLineExit::Kind::usageError:
            printError(exit->text.c_str());
            std::fputs("Try 'vesh-cli --help' for more information.\n", stderr);
            return usageError;
        case CommandLineExit::Kind::version: versionOnly = true; break;
        }
    } else {
        options = std::get<CommandLineOptions>(parsed);
    }

    Report report(options.quiet, isatty(STDERR_FILENO) == 1);
    bool interrupted = false;
    Brain* brainInUse = nullptr;
    const TerminationSignals terminationSignals([&] {
        if (interrupted) return;
        interrupted = true;
        if (brainInUse && brainInUse->modelIsProcessing()) {
            report.message("cancelling…");
            brainInUse->setShouldCancelProcessing(true);
        } else {
            QCoreApplication::exit(cancelled);
        }
    });
    TerminalInteraction interaction(options.ifExists, terminationSignals.readDescriptor());

    // The window's stored settings are neither read nor changed: without a
    // store the core keeps the settings of this run in memory.
    Brain brain(nullptr, interaction);
    brainInUse = &brain;
    applySettings(brain, options);

    // --if-exists never covers an output of the same run: two inputs for one
    // output refuse the run before anything is processed.
    if (const auto clashes = brain.targetClashes(options.files); !clashes.empty()) {
        for (const Brain::TargetClash& clash : clashes) {
            std::fprintf(stderr, "vesh-cli: “%s” and “%s” would both be written to “%s”.\n", clash.first.c_str(),
                         clash.second.c_str(), clash.target.c_str());
        }
        std::fputs("Process them in separate runs with different --suffix values.\n", stderr);
        return usageError;
    }

    const auto start = [&] {
        if (interrupted) return;  // the run is already ending
        if (brain.error()) {      // the model failed to load
            printAlert(*brain.error());
            QCoreApplication::exit(fileFailed);
            return;
        }
        if (versionOnly) {
            std::printf("vesh-cli %s\nSpeech enhancer model version: %s\n", VESH_VERSION,
                        brain.modelVersion().toLocal8Bit().constData());
            QCoreApplication::exit(everyFileWritten);
            return;
        }
        brain.processDroppedFiles(options.files);
        if (brain.modelIsProcessing()) return;  // the batch runs; batchFinished ends the run
        if (interrupted || interaction.interrupted()) {
            QCoreApplication::exit(cancelled);
        } else if (brain.alertIsDisplayed() && brain.error()) {
            printAlert(*brain.error());
            QCoreApplication::exit(fileFailed);
        } else if (!interaction.stoppedByPolicyAt().empty()) {
            // A script asked not to replace anything: not doing the work is a failure.
            std::fprintf(stderr, "vesh-cli: “%s” already exists; nothing was written.\n",
                         interaction.stoppedByPolicyAt().c_str());
            std::fputs("Use --if-exists=skip or --if-exists=replace to go on.\n", stderr);
            QCoreApplication::exit(fileFailed);
        } else if (interaction.stopped()) {
            std::fputs("vesh-cli: stopped at an existing output file; nothing was written.\n", stderr);
            QCoreApplication::exit(everyFileWritten);
        } else {
            report.message("every output file already exists and was skipped; nothing was written.");
            QCoreApplication::exit(everyFileWritten);
        }
    };

    QObject::connect(&brain, &Brain::modelIsLoadingChanged, [&] {
        if (!brain.modelIsLoading()) start();
    });
    // A new file starts at 0 %; the progress is reset only once it is read.
    QObject::connect(&brain, &Brain::nameOfFileBeingProcessedChanged,
                     [&] { report.progress(brain.nameOfFileBeingProcessedText(), Brain::Progress{}); });
    QObject::connect(&brain, &Brain::progressChanged, [&] {
        if (!brain.progress().channels.empty()) report.progress(brain.nameOfFileBeingProcessedText(), brain.progress());
    });
    QObject::connect(&brain, &Brain::fileSkipped, [&](const QString& source, const QString& reason) {
        report.message(("skipped " + source + ": " + reason + ".").toLocal8Bit().constData());
    });
    QObject::connect(&brain, &Brain::fileFinished,
                     [&](const QString&, const QString& writtenTo) { report.fileWritten(writtenTo); });
    QObject::connect(&brain, &Brain::batchFinished, [&](bool batchCancelled) {
        report.clearBar();
        if (brain.alertIsDisplayed() && brain.error()) {
            printAlert(*brain.error());
            QCoreApplication::exit(fileFailed);
        } else if (batchCancelled) {
            report.message("cancelled; the file being processed and those after it were not written.");
            QCoreApplication::exit(cancelled);
        } else if (!interaction.stoppedByPolicyAt().empty()) {
            // An output file appeared while the run was writing it.
            std::fprintf(
                stderr,
                "vesh-cli: “%s” appeared while it was being written; it and the files after it were not written.\n",
                interaction.stoppedByPolicyAt().c_str());
            std::fputs("Use --if-exists=skip or --if-exists=replace to go on.\n", stderr);
            QCoreApplication::exit(fileFailed);
        } else if (interaction.stopped()) {
            report.message("stopped at an existing output file; it and the files after it were not written.");
            QCoreApplication::exit(everyFileWritten);
        } else {
            // An interrupt that came after the last enhancement stopped nothing.
            if (interrupted) report.message("every file was written before the interrupt took effect.");
            QCoreApplication::exit(everyFileWritten);
        }
    });

    return QCoreApplication::exec();
}
