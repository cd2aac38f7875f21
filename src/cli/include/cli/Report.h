#pragma once

#include <span>
#include <string>
#include <string_view>

#include "Engine/Batch.h"
#include "app/AppError.h"

namespace vesh {

// What the command line tells the person in front of it, on standard error:
// a progress line redrawn in place (on a terminal only), a line per written
// or skipped file, errors, and a summary at the end. Quiet leaves errors
// only. Every text is escaped for the terminal.
class Report {
public:
    // `state` goes with every failure told (its advice depends on it).
    Report(bool quiet, bool terminal, AppState state) : quiet_(quiet), terminal_(terminal), state_(state) {}

    // The file being processed and its progress entries (none: just started).
    void progress(std::string_view fileName, std::span<const double> entries);
    // Counts the file for the summary and says what became of it; a failure
    // is told here only when `tellFailure` (it is otherwise the alert at the
    // end of the batch).
    void outcome(const FileOutcome& outcome, bool tellFailure);
    // "vesh-cli: text", unless quiet.
    void message(std::string_view text);
    // "vesh-cli: text", always.
    void error(std::string_view text);
    // The alert's title with the failed file, what was left undone, the
    // underlying cause and the advice.
    void alert(const AppError& error);
    // The failed files of a run that went on after failures, and the advice.
    void failures();
    // Files written, skipped and failed, the audio's length and the time
    // taken; nothing when quiet or when no file was dealt with.
    void summary(double elapsedSeconds);
    void clearProgress();

    int failedCount() const { return failed_; }

private:
    void line(std::string_view text);

    bool quiet_;
    bool terminal_;
    AppState state_;
    bool progressShown_ = false;
    int written_ = 0;
    int skipped_ = 0;
    int failed_ = 0;
    int notProcessed_ = 0;
    int cancelled_ = 0;
    double audioSeconds_ = 0.0;
    std::string failedFiles_;
    std::string advice_;
};

}  // namespace vesh
