#include "cli/TerminationSignals.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <stdexcept>

namespace vesh {

namespace {

// The handler can reach nothing but these.
volatile std::sig_atomic_t signalPipeWriteEnd = -1;
volatile std::sig_atomic_t exitStatusOnRepeat = 1;
volatile std::sig_atomic_t signalsReceived = 0;

extern "C" void forwardSignal(int) {
    // The first signal asks for an orderly end; one more means "now".
    if (signalsReceived > 0) _exit(exitStatusOnRepeat);
    signalsReceived = 1;
    const int savedErrno = errno;
    const char byte = 1;
    if (write(signalPipeWriteEnd, &byte, 1) < 0) {
        // Nothing to do: a full pipe is readable already.
    }
    errno = savedErrno;
}

}  // namespace

TerminationSignals::TerminationSignals(int immediateExitStatus) {
    if (pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("cannot create the signal pipe");
    signalPipeWriteEnd = pipe_[1];
    exitStatusOnRepeat = immediateExitStatus;

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
    signalPipeWriteEnd = -1;
    close(pipe_[0]);
    close(pipe_[1]);
}

bool TerminationSignals::arrived() const {
    // The byte stays in the pipe, so that every later look sees it too.
    pollfd descriptor{pipe_[0], POLLIN, 0};
    return ::poll(&descriptor, 1, 0) > 0 && (descriptor.revents & POLLIN);
}

}  // namespace vesh
