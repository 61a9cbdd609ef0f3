// What the two POSIX handlers share, the interrupt cleanup's (interrupt_cleanup_posix.cpp) and
// the prompt's (noted_signals_posix.cpp): where a signal came from, and the steps of an end.
// Defined in interrupt_cleanup_posix.cpp. Every function that a handler calls is
// async-signal-safe.
#pragma once

#include <signal.h>

namespace quorvel {

// True unless `signal_number`, delivered with `info`, reports a fault of this process itself:
// a fault signal (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT) that the kernel
// raised for this process (any si_code but SI_USER, SI_QUEUE and SI_TKILL) or that this
// process sent itself (abort(), kill, raise), unless relay_signal() raised it. Every other
// ending signal counts as sent from outside, whoever sent it.
bool sent_from_outside(int signal_number, const siginfo_t& info);

// Raises `signal_number` in this process as one that came from outside: sent_from_outside()
// holds for it until forget_relayed_signal(), which the caller calls once the signal has been
// let in.
void relay_signal(int signal_number);
void forget_relayed_signal();

// Gives the terminal lent by set_terminal_to_restore() (signals_posix.h) its settings back,
// when the run is in its foreground; typed input not yet read is dropped with it.
void restore_lent_terminal();

// The end of a fault of the process's own: `signal_number` set to its default action and
// raised again, so that the process ends by it as soon as the handler returns, and before
// that the terminal given back if the prompt lent it. Nothing else is done: after such a
// fault the memory is not to be trusted, and a removal or a kill by a corrupt name or process
// id could hit another file or process.
void end_by_own_fault(int signal_number);

}  // namespace quorvel
