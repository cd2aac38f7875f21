#pragma once

#include "app/UserInteraction.h"
#include "cli/CommandLineOptions.h"

namespace vesh {

// Answers the core's questions on the command line: the existing-file
// question by the --if-exists policy, or, with "ask", by a prompt on standard
// error answered on standard input. There is no folder chooser (the folder is
// an option).
class TerminalInteraction : public UserInteraction {
public:
    // A prompt waiting for an answer gives up (as "Stop") once
    // `interruptDescriptor` becomes readable.
    TerminalInteraction(ExistingFilePolicy policy, int interruptDescriptor);

    ExistingFileAnswer askAboutExistingFile(const std::string& informativeText) override;
    ExistingFileAnswer askAboutExistingTarget(const std::filesystem::path& target,
                                              const std::string& informativeText) override;
    // Under --if-exists=skip; every other policy lets such a file fail.
    bool skipsOutputsThatReplaceSources() const override { return policy_ == ExistingFilePolicy::skip; }
    std::optional<std::filesystem::path> chooseOutputFolder() override;

    // Whether any question was answered with "Stop".
    bool stopped() const { return stopped_; }
    // The existing file that stopped the run by --if-exists=stop, without a
    // prompt (a failure for a script); empty otherwise.
    const std::filesystem::path& stoppedByPolicyAt() const { return stoppedByPolicyAt_; }
    // Whether a prompt gave up because a termination signal arrived.
    bool interrupted() const { return interrupted_; }

private:
    ExistingFileAnswer prompt(const std::string& informativeText);
    // One line from standard input; nothing at its end or on an interruption.
    std::optional<std::string> readLine();

    ExistingFilePolicy policy_;
    int interruptDescriptor_;
    bool stopped_ = false;
    bool interrupted_ = false;
    std::filesystem::path stoppedByPolicyAt_;
};

}  // namespace vesh
