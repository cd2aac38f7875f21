#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "Engine/Engine.h"

namespace vesh {

// Answers the batch's existing-file questions on the command line: by the
// --if-exists answer, or, without one, by a prompt on standard error
// answered on standard input.
class TerminalInteraction {
public:
    // A prompt waiting for an answer gives up (as "Stop") once
    // `interruptDescriptor` becomes readable.
    TerminalInteraction(std::optional<ExistingFileAnswer> answer, int interruptDescriptor);

    ExistingFileAnswer askAboutExistingFile(const std::filesystem::path& location);

    // Whether any question was answered with "Stop".
    bool stopped() const { return stopped_; }
    // The existing file that stopped the run by --if-exists=stop, without a
    // prompt (a failure for a script); empty otherwise.
    const std::filesystem::path& stoppedByPolicyAt() const { return stoppedByPolicyAt_; }
    // Whether a prompt gave up because a termination signal arrived.
    bool interrupted() const { return interrupted_; }

private:
    ExistingFileAnswer prompt(const std::string& question);
    // One line from standard input; nothing at its end or on an interruption.
    std::optional<std::string> readLine();

    std::optional<ExistingFileAnswer> answer_;
    int interruptDescriptor_;
    bool stopped_ = false;
    bool interrupted_ = false;
    std::filesystem::path stoppedByPolicyAt_;
};

}  // namespace vesh
