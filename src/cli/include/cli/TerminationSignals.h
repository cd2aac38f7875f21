#pragma once

#include <csignal>

namespace vesh {

// Catches SIGINT and SIGTERM from the moment it is made: the handler only
// writes a byte to a pipe. A second signal ends the process at once with
// `immediateExitStatus`. The previous handlers are restored on destruction.
class TerminationSignals {
public:
    explicit TerminationSignals(int immediateExitStatus);
    ~TerminationSignals();
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    // Whether a signal has arrived; never blocks.
    bool arrived() const;

    // Becomes readable once a signal has arrived and stays so (for waits on
    // other input).
    int readDescriptor() const { return pipe_[0]; }

private:
    int pipe_[2] = {-1, -1};
    struct sigaction previousInterrupt_ {};
    struct sigaction previousTermination_ {};
};

}  // namespace vesh
