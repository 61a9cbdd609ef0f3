// The POSIX signals a run takes care of, written once for every part that needs them: the
// interrupt cleanup (interrupt_cleanup.h), the child process and the password prompt.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <span>
#include <vector>

#include "files/files.h"

namespace quorvel {

// The signals that end a run: every signal that a handler can catch and whose default action
// ends the process, except SIGPIPE and SIGXFSZ (ignored, see process.h) and the signals that
// report a fault of this process itself (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS,
// SIGABRT), after which its memory, the list of files to remove included, is not to be
// trusted. The real-time signals are among them.
std::span<const int> ending_signals();

// The signals that stop a process from the terminal: SIGTSTP (Ctrl+Z), SIGTTIN and SIGTTOU.
// Only the password prompt catches them, to give the terminal back before stopping.
std::span<const int> stop_signals();

// The set holding `signals`.
sigset_t signal_set(std::span<const int> signals);

// Records the child process now running (0 for none): an ending signal is passed on to it and
// the child waited for before the files are removed. Call inside InterruptsDeferred.
void set_interrupted_child(pid_t child);

// Catches the ending and the stop signals for its lifetime, for a caller that has something to
// give back before the signal takes its course (the terminal's settings). The handler only
// notes the signal; the caller takes it with noted() and passes it on with pass_on(). The
// signals are blocked meanwhile except inside wait_for(), so that one arriving between a look
// at noted() and a wait is not lost. A signal ignored when the program started stays ignored.
class NotedSignals {
public:
    NotedSignals();
    // Puts back the actions and the signal mask from before.
    ~NotedSignals();
    NotedSignals(const NotedSignals&) = delete;
    NotedSignals& operator=(const NotedSignals&) = delete;

    // The signal that arrived, 0 for none.
    int noted() const;

    // Waits until `fd`, of any number, can be read or written, as `direction` says, letting the
    // signals in for the wait only. Returns false when a signal arrived (see noted()) or the
    // wait failed.
    [[nodiscard]] bool wait_for(int fd, files::Direction direction) const;

    // Lets the noted signal take its usual course, as if it had never been caught: an ending
    // signal ends the run through the interrupt cleanup; a stop signal stops the process, and
    // once continued this returns, the signal forgotten and caught again.
    void pass_on();

private:
    void catch_all();
    void release_all();

    std::vector<int> signals_;                // the ending and the stop signals
    std::vector<struct sigaction> previous_;  // their actions before, in the same order
    sigset_t mask_before_{};
};

}  // namespace quorvel
