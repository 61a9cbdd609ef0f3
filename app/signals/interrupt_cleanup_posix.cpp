#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <vector>

#include "app/signals/interrupt_cleanup.h"
#include "app/signals/signals_posix.h"
#include "console/console.h"
#include "internal/handler_steps_posix.h"
#include "internal/registered_files.h"

namespace quorvel {

namespace {

// The signals that also report a fault of the process itself.
constexpr std::array FAULT_SIGNALS{SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT};

// The fixed part of ending_signals(); the real-time signals are added when it is built, as
// their numbers are known only at run time.
constexpr std::array FIXED_ENDING_SIGNALS{
    SIGINT,    SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF,
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};

constexpr std::array STOP_SIGNALS{SIGTSTP, SIGTTIN, SIGTTOU};

std::vector<int> all_ending_signals() {
    std::vector<int> signals(FIXED_ENDING_SIGNALS.begin(), FIXED_ENDING_SIGNALS.end());
    signals.insert(signals.end(), FAULT_SIGNALS.begin(), FAULT_SIGNALS.end());
#ifdef SIGRTMIN
    for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
        signals.push_back(signal_number);
    }
#endif
    return signals;
}

volatile sig_atomic_t running_child = 0;

// The signal that relay_signal() raises, 0 for none.
volatile sig_atomic_t relayed_signal = 0;

// The lent terminal: its descriptor (-1 for none), written last when lent and first when
// taken back, so that a handler never finds it with half its settings.
volatile sig_atomic_t lent_terminal = -1;
termios lent_terminal_settings{};

// The signal mask before the outermost InterruptsDeferred, and how many are alive.
sigset_t mask_before_deferral;
int deferral_depth = 0;

bool is_fault_signal(int signal_number) {
    return std::find(FAULT_SIGNALS.begin(), FAULT_SIGNALS.end(), signal_number) !=
           FAULT_SIGNALS.end();
}

// Milliseconds on a clock that never jumps.
long long monotonic_milliseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// True once `child` has ended and been collected, looking every 10 ms until `deadline`.
bool child_ended_by(pid_t child, long long deadline) {
    for (;;) {
        int status = 0;
        const pid_t found = ::waitpid(child, &status, WNOHANG);
        // ECHILD: collected already, by the thread that waits for it.
        if (found == child || (found < 0 && errno != EINTR)) return true;
        if (monotonic_milliseconds() >= deadline) return false;
        ::poll(nullptr, 0, 10);
    }
}

// The child is passed the signal, and continued should it be stopped, so it can end its work
// in its own way; one that has not ended within CHILD_GRACE_PERIOD (7-Zip waiting at the
// terminal for its password, or a child that ignores the signal) is killed. Either way it is
// collected before the handler goes on, so it cannot write the archive again after the
// removal.
void end_child(int signal_number) {
    const pid_t child = running_child;
    if (child <= 0) return;
    ::kill(child, signal_number);
    ::kill(child, SIGCONT);
    if (child_ended_by(child, monotonic_milliseconds() + CHILD_GRACE_PERIOD.count())) return;
    ::kill(child, SIGKILL);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
}

void raise_at_default_action(int signal_number) {
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

// Only async-signal-safe calls. A signal from outside ends the child, gives the terminal
// back, removes the files and is raised again with its default action, so the process ends
// as interrupted once the handler returns (the signal is blocked until then). A fault of the
// process's own ends it at once.
void on_ending_signal(int signal_number, siginfo_t* info, void*) {
    const int saved_errno = errno;
    if (!sent_from_outside(signal_number, *info)) {
        end_by_own_fault(signal_number);
        errno = saved_errno;
        return;
    }
    end_child(signal_number);
    restore_lent_terminal();
    clear_status_at_interrupt();
    remove_registered_files_now();
    raise_at_default_action(signal_number);
    errno = saved_errno;
}

}  // namespace

bool sent_from_outside(int signal_number, const siginfo_t& info) {
    if (!is_fault_signal(signal_number)) return true;
    if (relayed_signal == signal_number) return true;
    const bool sent =
        info.si_code == SI_USER || info.si_code == SI_QUEUE || info.si_code == SI_TKILL;
    return sent && info.si_pid != ::getpid();
}

void relay_signal(int signal_number) {
    relayed_signal = signal_number;
    ::raise(signal_number);
}

void forget_relayed_signal() {
    relayed_signal = 0;
}

void restore_lent_terminal() {
    const int fd = lent_terminal;
    // From the background the terminal is the shell's; a change would stop the process here.
    if (fd < 0 || ::tcgetpgrp(fd) != ::getpgrp()) return;
    // TCSANOW: TCSAFLUSH would first wait for the output to drain, which a terminal held by
    // Ctrl+S never does.
    ::tcsetattr(fd, TCSANOW, &lent_terminal_settings);
    ::tcflush(fd, TCIFLUSH);
}

void end_by_own_fault(int signal_number) {
    // Not while a child runs: it outlives this process, and may be asking at the terminal
    // with echo off itself.
    if (running_child == 0) restore_lent_terminal();
    raise_at_default_action(signal_number);
}

std::span<const int> ending_signals() {
    static const std::vector<int> signals = all_ending_signals();
    return signals;
}

std::span<const int> stop_signals() {
    return STOP_SIGNALS;
}

sigset_t signal_set(std::span<const int> signals) {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : signals) sigaddset(&set, signal_number);
    return set;
}

void install_interrupt_cleanup() {
    struct sigaction action {};
    action.sa_sigaction = on_ending_signal;
    action.sa_flags = SA_SIGINFO;
    action.sa_mask = signal_set(ending_signals());
    for (const int signal_number : ending_signals()) {
        struct sigaction previous {};
        sigaction(signal_number, nullptr, &previous);
        // A signal ignored by whoever started us (nohup) stays ignored.
        if (previous.sa_handler != SIG_IGN) sigaction(signal_number, &action, nullptr);
    }
}

InterruptsDeferred::InterruptsDeferred() {
    const sigset_t ending = signal_set(ending_signals());
    sigset_t before;
    sigprocmask(SIG_BLOCK, &ending, &before);
    if (deferral_depth++ == 0) mask_before_deferral = before;
}

InterruptsDeferred::~InterruptsDeferred() {
    if (--deferral_depth == 0) sigprocmask(SIG_SETMASK, &mask_before_deferral, nullptr);
}

void finish_without_interrupts() {
    // Ignoring a signal that is pending discards it. A fault signal keeps its handler: a
    // fault of the program's own must still end it.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    for (const int signal_number : ending_signals()) {
        if (!is_fault_signal(signal_number)) sigaction(signal_number, &ignore, nullptr);
    }
}

void set_interrupted_child(pid_t child) {
    running_child = child;
}

void set_terminal_to_restore(int fd, const termios& settings) {
    lent_terminal = -1;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    lent_terminal_settings = settings;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    lent_terminal = fd;
}

void forget_terminal_to_restore() {
    lent_terminal = -1;
}

}  // namespace quorvel
