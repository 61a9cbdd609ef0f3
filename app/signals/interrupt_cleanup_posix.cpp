#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <vector>

#include "app/signals/interrupt_cleanup.h"
#include "app/signals/signals_posix.h"
#include "internal/registered_files.h"

namespace quorvel {

namespace {

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
#ifdef SIGRTMIN
    for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
        signals.push_back(signal_number);
    }
#endif
    return signals;
}

volatile sig_atomic_t running_child = 0;

// The signal mask before the outermost InterruptsDeferred, and how many are alive.
sigset_t mask_before_deferral;
int deferral_depth = 0;

// Only async-signal-safe calls: the child is passed the signal and waited for, so it cannot
// write the archive again after the removal; then the files go, and the signal is raised
// again with its default action, so the process ends as interrupted.
void on_ending_signal(int signal_number) {
    const int saved_errno = errno;
    const pid_t child = running_child;
    if (child > 0) {
        ::kill(child, signal_number);
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }
    remove_registered_files_now();
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
    errno = saved_errno;
}

}  // namespace

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
    action.sa_handler = on_ending_signal;
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

void set_interrupted_child(pid_t child) {
    running_child = child;
}

}  // namespace quorvel
