// What a blocking system call does when a signal interrupts it (EINTR).
//
// The reading and writing functions know nothing of the interpreter; a caller
// that has signal handlers of its own to run (the module, whose interpreter
// turns Ctrl-C into KeyboardInterrupt) passes a check that is asked each
// time, after each write cut short (where a signal may have been what cut
// it), while waiting for the standard-output writer, and between reads of an
// input that may never end: true goes on, false gives the call up. The check
// itself must be cheap when no signal is pending.
#pragma once

namespace vora {

struct InterruptCheck {
    bool (*go_on)(void* context) = nullptr;
    void* context = nullptr;

    // Without a check every interrupted call is retried.
    bool retry() const { return go_on == nullptr || go_on(context); }
};

// Thrown by a read or write that its InterruptCheck gave up: the check has already
// recorded why (the module: the exception its signal handler raised). Not a
// std::exception, so that no handler of internal faults takes it for one.
struct Interrupted {};

}  // namespace vora
