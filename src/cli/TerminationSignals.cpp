#include "cli/TerminationSignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <stdexcept>

namespace vesh {

namespace {

// The handler can reach nothing but this descriptor.
volatile std::sig_atomic_t signalPipeWriteEnd = -1;

extern "C" void forwardSignal(int) {
    const int savedErrno = errno;
    const char byte = 1;
    if (write(signalPipeWriteEnd, &byte, 1) < 0) {
        // A full pipe already holds a pending request.
    }
    errno = savedErrno;
}

}  // namespace

TerminationSignals::TerminationSignals(std::function<void()> onSignal) {
    if (pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("cannot create the signal pipe");
    signalPipeWriteEnd = pipe_[1];

    notifier_ = std::make_unique<QSocketNotifier>(pipe_[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this, onSignal = std::move(onSignal)] {
        char bytes[64];
        while (read(pipe_[0], bytes, sizeof bytes) > 0) {
        }
        onSignal();
    });

    // Interrupted system calls restart, so that work on other threads never
    // sees a signal.
    struct sigaction action {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &previousInterrupt_);
    sigaction(SIGTERM, &action, &previousTermination_);
}

TerminationSignals::~TerminationSignals() {
    sigaction(SIGINT, &previousInterrupt_, nullptr);
    sigaction(SIGTERM, &previousTermination_, nullptr);
    notifier_.reset();
    signalPipeWriteEnd = -1;
    close(pipe_[0]);
    close(pipe_[1]);
}

}  // namespace vesh
