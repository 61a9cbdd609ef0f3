// The POSIX signals a run takes care of, written once for every part that needs them: the
// interrupt cleanup (interrupt_cleanup.h), the child process and the password prompt.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <functional>
#include <span>
#include <vector>

#include "files/files.h"

namespace quorvel {

// The signals that end a run: every signal that a handler can catch and whose default action
// ends the process, except SIGPIPE and SIGXFSZ (ignored, see process.h). The real-time signals
// are among them, and so are the signals that also report a fault of the process itself
// (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT): sent by another process (kill,
// sigqueue, tgkill: a watchdog, `timeout -s ABRT`), each ends the run like SIGTERM, through
// the interrupt cleanup. From a fault of the process's own (raised by the kernel, or by
// abort() or kill in this process) each ends it at once at its default action, with nothing
// done but the prompt's terminal given back: the memory, the list of files and the child's
// process id included, is not to be trusted after such a fault.
std::span<const int> ending_signals();

// The signals that stop a process from the terminal: SIGTSTP (Ctrl+Z), SIGTTIN and SIGTTOU.
// Only the password prompt catches them, to give the terminal back before stopping.
std::span<const int> stop_signals();

// The set holding `signals`.
sigset_t signal_set(std::span<const int> signals);

// How long the child has to end once an ending signal has been passed on to it (with SIGCONT,
// should it be stopped) before it is killed (SIGKILL). 7-Zip stops at once when it packs or
// extracts, but not while it waits at the terminal for a password of its own.
inline constexpr std::chrono::milliseconds CHILD_GRACE_PERIOD{2000};

// Records the child process now running (0 for none): an ending signal is passed on to it and
// the child waited for, CHILD_GRACE_PERIOD at most before it is killed, before the files are
// removed. The child shares the run's process group, and so its terminal and its Ctrl+C. Call
// inside InterruptsDeferred.
void set_interrupted_child(pid_t child);

// Lends the terminal open at `fd`, whose settings were `settings`, until
// forget_terminal_to_restore(): when the run ends by a signal meanwhile, from outside or by a
// fault of its own, the terminal gets `settings` back first, if the run is then in its
// foreground. The prompt lends it while echo is off; the child runs with it lent, as the
// archiver may turn echo off for a question of its own and be killed before it turns it on
// again. Call where no ending signal can come in (inside InterruptsDeferred, or inside
// NotedSignals outside wait_for()).
void set_terminal_to_restore(int fd, const termios& settings);
void forget_terminal_to_restore();

// Catches the ending and the stop signals for its lifetime, for a caller that has something to
// give back before the signal takes its course (the terminal's settings). The handler only
// notes the signal (a fault of the process's own ends it at once, see ending_signals()); the
// caller takes it with noted() and passes it on with pass_on(). The signals are blocked
// meanwhile except inside wait_for(), so that one arriving between a look at noted() and a
// wait is not lost. A signal ignored when the program started stays ignored.
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

    // Runs `change`, a call that changes the controlling terminal, with SIGTTOU at the action it
    // had when the program started and let in, unless it was blocked then: from the
    // background, the terminal driver then stops the process until a shell brings it to the
    // foreground, and makes the change only then, or refuses it (EIO) where no shell can (an
    // orphaned process group). Where SIGTTOU was ignored or blocked from the start, the driver
    // lets the change through at once, so `change` must check the foreground itself. Returns
    // what `change` returns.
    [[nodiscard]] bool with_terminal_stops(const std::function<bool()>& change);

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
