#pragma once

#include <QSocketNotifier>

#include <csignal>

#include <functional>
#include <memory>

namespace vesh {

// Catches SIGINT and SIGTERM from the moment it is made, before the
// application object exists: the handler only writes a byte to a pipe. A
// second signal ends the process at once with `immediateExitStatus`. The
// previous handlers are restored on destruction.
class TerminationSignals {
public:
    explicit TerminationSignals(int immediateExitStatus);
    ~TerminationSignals();
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    // Calls `onSignal` on the main thread's event loop for the first signal,
    // also for one that came before this call. Needs the application object.
    void notify(std::function<void()> onSignal);

    // Becomes readable once a signal has arrived and stays so (for waits
    // outside the event loop).
    int readDescriptor() const { return pipe_[0]; }

private:
    int pipe_[2] = {-1, -1};
    struct sigaction previousInterrupt_ {};
    struct sigaction previousTermination_ {};
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace vesh
