// vesh-cli: the command-line front end on the batch runner. It turns the
// arguments into one batch's options (never the window's stored settings),
// runs the batch on this thread, reports on standard error and, with --json,
// describes every file on standard output.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <system_error>

#include "AudioIO/AudioFile.h"
#include "Engine/Batch.h"
#include "FullBandSpeechEnhancer/InferenceRuntime.h"
#include "FullBandSpeechEnhancer/ResourceBundle.h"
#include "FullBandSpeechEnhancer/VariableLengthSpeechEnhancer.h"
#include "app/AppError.h"
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

// The model `chosen` (the installed one without), or nothing once its
// failure is reported.
std::unique_ptr<VariableLengthSpeechEnhancer> loadEnhancer(Report& report,
                                                           const std::optional<std::filesystem::path>& chosen) {
    const std::filesystem::path model = chosen ? *chosen : modelLocation();
    try {
        return std::make_unique<VariableLengthSpeechEnhancer>(
            VariableLengthSpeechEnhancer::productParameters(ComputeUnits::all), model);
    } catch (...) {
        report.alert(AppError(ModelLoadError{model, std::current_exception()}, AppState{}));
        return nullptr;
    }
}

// The failure that ended a batch, with the files it left undone, as the alert tells it.
AppError endingFailure(const BatchResult& result, AppState state) {
    const FileOutcome& failed = *result.endingFailure();
    BatchFailure failure{failed.source.filename().string(), {}};
    for (const std::filesystem::path& left : filesLeftByFailure(result.files)) {
        failure.notProcessed.push_back(left.filename().string());
    }
    return AppError(*failed.error, state, std::move(failure));
}

// Runs the batch and tells how it ended; the exit status.
int runBatch(const CommandLineOptions& options, Report& report, const TerminationSignals& signals) {
    const std::unique_ptr<VariableLengthSpeechEnhancer> enhancer = loadEnhancer(report, options.model);
    if (!enhancer) return fileFailed;
    if (signals.arrived()) return cancelled;

    const AppState state{options.batch.matchSourceFormat};
    TerminalInteraction interaction(options.ifExists, signals.readDescriptor());
    std::string fileName;
    bool cancelling = false;
    BatchCallbacks callbacks;
    callbacks.askAboutExistingFile = [&](const std::filesystem::path& location) {
        return interaction.askAboutExistingFile(location);
    };
    callbacks.fileStarted = [&](std::size_t, std::size_t, const std::filesystem::path& source) {
        fileName = source.filename().native();
        report.progress(fileName, {});
    };
    callbacks.progress = [&](std::span<const double> entries) { report.progress(fileName, entries); };
    callbacks.isCancelled = [&] {
        if (!cancelling && signals.arrived()) {
            cancelling = true;
            report.message("cancelling…");
        }
        return cancelling;
    };
    callbacks.fileOutcome = [&](const FileOutcome& outcome) {
        for (const std::string& warning : outcome.warnings) {
            report.message("warning: " + outcome.source.native() + ": " + warning + ".");
        }
        report.outcome(outcome, options.batch.continuesAfterFailure);
        if (options.json) {
            std::printf("%s\n", fileRecord(outcome).c_str());
            std::fflush(stdout);
        }
    };

    BatchResult result;
    try {
        result = vesh::runBatch(options.files, options.batch, *enhancer, callbacks);
    } catch (const ProcessingError& error) {
        report.alert(AppError(error, state));
        return fileFailed;
    }
    const auto advise = [] { std::fputs("Use --if-exists=skip or --if-exists=replace to go on.\n", stderr); };
    const std::filesystem::path& policyStop = interaction.stoppedByPolicyAt();

    switch (result.end) {
    case BatchResult::End::stoppedBeforeWork:
        if (interaction.interrupted()) return cancelled;
        if (!policyStop.empty()) {
            // A script asked not to replace anything: not doing the work is a failure.
            report.error("“" + policyStop.native() + "” already exists; nothing was written.");
            advise();
            return fileFailed;
        }
        report.error("stopped at an existing output file; nothing was written.");
        return everyFileWritten;
    case BatchResult::End::cancelled:
        report.message("cancelled; the file being processed and those after it were not written.");
        return cancelled;
    case BatchResult::End::failed: report.alert(endingFailure(result, state)); return fileFailed;
    case BatchResult::End::stoppedWhileWriting:
        if (!policyStop.empty()) {
            report.error("“" + policyStop.native() +
                         "” appeared while it was being written; it and the files after it were not written.");
            advise();
            return fileFailed;
        }
        if (interaction.interrupted()) {
            report.message("cancelled; the file being processed and those after it were not written.");
            return cancelled;
        }
        report.message("stopped at an existing output file; it and the files after it were not written.");
        return everyFileWritten;
    case BatchResult::End::completed: break;
    }
    if (result.processedCount == 0) {
        if (signals.arrived()) return cancelled;
        if (!options.files.empty()) report.message("every output file already exists; nothing was written.");
        return everyFileWritten;
    }
    if (report.failedCount() > 0) {
        report.failures();
        return fileFailed;
    }
    // An interrupt that came after the last enhancement stopped nothing.
    if (signals.arrived()) report.message("every file was written before the interrupt took effect.");
    return everyFileWritten;
}

int printVersion(const std::optional<std::filesystem::path>& model) {
    Report report(false, isatty(STDERR_FILENO) == 1, AppState{});
    const std::unique_ptr<VariableLengthSpeechEnhancer> enhancer = loadEnhancer(report, model);
    if (!enhancer) return fileFailed;
    std::printf("vesh-cli %s\nSpeech enhancer model version: %s\n", VESH_VERSION, enhancer->metadata().version.c_str());
    return everyFileWritten;
}

}  // namespace

int main(int argc, char* argv[]) {
    // First of all, so that no signal finds the default action: one signal
    // cancels in order, a second one ends the process at once.
    const TerminationSignals terminationSignals(cancelled);
    const auto started = std::chrono::steady_clock::now();
    // Before any thread starts: these touch process-wide state.
    vesh::disableInferenceTelemetry();
    vesh::silenceDecoderDiagnostics();

    const auto parsed =
        parseCommandLine(std::span<char* const>(argv, static_cast<std::size_t>(argc)), isatty(STDIN_FILENO) == 1);
    if (const auto* exit = std::get_if<CommandLineExit>(&parsed)) {
        switch (exit->kind) {
        case CommandLineExit::Kind::help: std::fputs(exit->text.c_str(), stdout); return everyFileWritten;
        case CommandLineExit::Kind::usageError: printUsageError(exit->text); return usageError;
        case CommandLineExit::Kind::version: return printVersion(exit->model);
        }
    }
    CommandLineOptions options = std::get<CommandLineOptions>(parsed);
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

    Report report(options.quiet, isatty(STDERR_FILENO) == 1, AppState{options.batch.matchSourceFormat});
    // --if-exists never covers an output of the same run: two inputs for one
    // output refuse the run before anything is processed.
    if (const auto clashes = targetClashes(options.files, options.batch); !clashes.empty()) {
        for (const TargetClash& clash : clashes) {
            report.error("“" + clash.first.native() + "” and “" + clash.second.native() +
                         "” would both be written to “" + clash.location.native() + "”.");
        }
        std::fputs("Process them in separate runs with different --suffix values.\n", stderr);
        return usageError;
    }

    const int status = runBatch(options, report, terminationSignals);
    report.summary(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    return status;
}
