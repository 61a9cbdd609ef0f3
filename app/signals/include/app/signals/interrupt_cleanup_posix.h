// What the POSIX process layer shares with the interrupt handler.
#pragma once

#include <sys/types.h>

#include <span>

namespace quorvel {

// The signals the interrupt handler takes: every signal that a handler can catch and whose
// default action ends the process, except SIGPIPE and SIGXFSZ (ignored, see process.h) and
// the signals that report a fault of this process itself (SIGSEGV, SIGBUS, SIGFPE, SIGILL,
// SIGTRAP, SIGSYS, SIGABRT), after which its memory, the path list included, is not to be
// trusted.
std::span<const int> interrupt_signals();

// Records the child process now running (0 for none): an interrupt is passed on to it and
// waited for before the temporary files are removed. Call with the signals blocked.
void set_interrupted_child(pid_t child);

}  // namespace quorvel
