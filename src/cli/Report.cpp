#include "cli/Report.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <numeric>

#include "cli/TerminalText.h"

namespace vesh {

namespace {

int terminalColumns() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

std::string counted(int count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// " at -16.0 LUFS": the loudness an output reached under a target.
std::string loudnessText(const std::optional<LoudnessAdjustment>& loudness) {
    if (!loudness || loudness->silent) return {};
    char text[32];
    std::snprintf(text, sizeof text, " at %.1f LUFS", loudness->reachedLoudness);
    return text;
}

}  // namespace

void Report::progress(std::string_view fileName, std::span<const double> entries) {
    if (quiet_ || !terminal_) return;
    const double fraction =
        entries.empty() ? 0.0 : std::accumulate(entries.begin(), entries.end(), 0.0) / double(entries.size());
    // Asked each time: the window may have been resized.
    std::fprintf(stderr, "\r\033[K%s", progressLine(fileName, fraction, terminalColumns()).c_str());
    std::fflush(stderr);
    progressShown_ = true;
}

void Report::outcome(const FileOutcome& outcome, bool tellFailure) {
    using Status = FileOutcome::Status;
    switch (outcome.status) {
    case Status::written:
        ++written_;
        audioSeconds_ += outcome.duration;
        if (!quiet_) line("Wrote " + outcome.target.native() + loudnessText(outcome.loudness));
        break;
    case Status::skipped:
        ++skipped_;
        message("skipped " + outcome.source.native() + ": " + outcome.reason + ".");
        break;
    case Status::failed: {
        ++failed_;
        if (!failedFiles_.empty()) failedFiles_ += ", ";
        failedFiles_ += outcome.source.native();
        if (!outcome.error) break;
        const AppError told(*outcome.error, state_);
        advice_ = told.recoverySuggestion();
        if (tellFailure) {
            error(outcome.source.native() + ": " + told.description());
            if (const std::string details = told.details(); !details.empty()) line("Details: " + details);
        }
        break;
    }
    case Status::notProcessed: ++notProcessed_; break;
    case Status::cancelled: ++cancelled_; break;
    }
}

void Report::message(std::string_view text) {
    if (!quiet_) error(text);
}

void Report::error(std::string_view text) { line("vesh-cli: " + std::string(text)); }

void Report::alert(const AppError& error) {
    const std::string title = error.description();
    if (error.failure().failedFile.empty()) {
        this->error(title);
    } else {
        this->error(error.failure().failedFile + ": " + title);
        line(error.failureReport());
    }
    if (const std::string details = error.details(); !details.empty()) line("Details: " + details);
    line(error.recoverySuggestion());
}

void Report::failures() {
    error(counted(failed_, "file", "files") + " failed: " + failedFiles_ + ".");
    line(advice_);
}

void Report::summary(double elapsedSeconds) {
    const int files = written_ + skipped_ + failed_ + notProcessed_ + cancelled_;
    if (quiet_ || files == 0) return;
    std::string text = counted(written_, "file", "files") + " written, " + std::to_string(skipped_) + " skipped, " +
                       std::to_string(failed_) + " failed";
    if (notProcessed_ > 0) text += ", " + std::to_string(notProcessed_) + " not processed";
    if (cancelled_ > 0) text += ", " + std::to_string(cancelled_) + " cancelled";
    line(text + "; " + durationText(audioSeconds_) + " of audio in " + durationText(elapsedSeconds) + ".");
}

void Report::clearProgress() {
    if (!progressShown_) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    progressShown_ = false;
}

void Report::line(std::string_view text) {
    clearProgress();
    std::fprintf(stderr, "%s\n", escapedForTerminal(text).c_str());
}

}  // namespace vesh
