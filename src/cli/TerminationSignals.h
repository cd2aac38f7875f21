#pragma once

#include <QSocketNotifier>

#include <csignal>

#include <functional>
#include <memory>

namespace vesh {

// Turns SIGINT and SIGTERM into a call on the main thread's event loop: the
// handler only writes a byte to a pipe, whose read end a socket notifier
// watches. The previous handlers are restored on destruction.
class TerminationSignals {
public:
    explicit TerminationSignals(std::function<void()> onSignal);
    ~TerminationSignals();
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    // Becomes readable once a signal has arrived (for waits outside the event loop).
    int readDescriptor() const { return pipe_[0]; }

private:
    int pipe_[2] = {-1, -1};
    struct sigaction previousInterrupt_ {};
    struct sigaction previousTermination_ {};
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace vesh
