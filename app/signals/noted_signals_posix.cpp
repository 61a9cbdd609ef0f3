#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "app/signals/signals_posix.h"
#include "internal/handler_steps_posix.h"

namespace quorvel {

namespace {

// The signal that arrived while a NotedSignals was alive, 0 for none.
volatile sig_atomic_t noted_signal = 0;

void note_signal(int signal_number, siginfo_t* info, void*) {
    if (sent_from_outside(signal_number, *info)) {
        noted_signal = signal_number;
        return;
    }
    const int saved_errno = errno;
    end_by_own_fault(signal_number);
    errno = saved_errno;
}

sigset_t just(int signal_number) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal_number);
    return set;
}

}  // namespace

NotedSignals::NotedSignals() {
    const auto ending = ending_signals();
    const auto stops = stop_signals();
    signals_.assign(ending.begin(), ending.end());
    signals_.insert(signals_.end(), stops.begin(), stops.end());
    previous_.resize(signals_.size());
    const sigset_t caught = signal_set(signals_);
    sigprocmask(SIG_BLOCK, &caught, &mask_before_);
    catch_all();
}

NotedSignals::~NotedSignals() {
    release_all();
    sigprocmask(SIG_SETMASK, &mask_before_, nullptr);
}

// No SA_RESTART: a signal ends a wait instead of restarting it.
void NotedSignals::catch_all() {
    noted_signal = 0;
    struct sigaction action {};
    action.sa_sigaction = note_signal;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < signals_.size(); ++i) {
        sigaction(signals_[i], nullptr, &previous_[i]);
        if (previous_[i].sa_handler != SIG_IGN) sigaction(signals_[i], &action, nullptr);
    }
}

void NotedSignals::release_all() {
    for (std::size_t i = 0; i < signals_.size(); ++i)
        sigaction(signals_[i], &previous_[i], nullptr);
}

int NotedSignals::noted() const {
    return noted_signal;
}

// ppoll, not pselect: an fd_set holds no descriptor from FD_SETSIZE (1024) on, and a run that
// inherits many descriptors opens the terminal above it.
bool NotedSignals::wait_for(int fd, files::Direction direction) const {
    pollfd watched{fd, static_cast<short>(direction == files::Direction::write ? POLLOUT : POLLIN),
                   0};
    for (;;) {
        if (noted_signal != 0) return false;
        // The signals are let in only during the wait, atomically with it.
        if (::ppoll(&watched, 1, nullptr, &mask_before_) >= 0) return noted_signal == 0;
        if (errno != EINTR) return false;
    }
}

bool NotedSignals::with_terminal_stops(const std::function<bool()>& change) {
    const auto at = std::find(signals_.begin(), signals_.end(), SIGTTOU) - signals_.begin();
    const auto& before = previous_[static_cast<std::size_t>(at)];
    struct sigaction caught {};
    sigaction(SIGTTOU, &before, &caught);
    const sigset_t stop = just(SIGTTOU);
    const bool let_in = sigismember(&mask_before_, SIGTTOU) == 0;
    if (let_in) sigprocmask(SIG_UNBLOCK, &stop, nullptr);
    const bool changed = change();
    if (let_in) sigprocmask(SIG_BLOCK, &stop, nullptr);
    sigaction(SIGTTOU, &caught, nullptr);
    return changed;
}

void NotedSignals::pass_on() {
    const int signal_number = noted_signal;
    if (signal_number == 0) return;
    // Back to the actions and the mask from before: raised now, the signal is delivered as if
    // it had just arrived from outside, to the interrupt cleanup or to its default action.
    release_all();
    relay_signal(signal_number);
    if (sigismember(&mask_before_, signal_number) == 0) {
        const sigset_t just_this = just(signal_number);
        sigprocmask(SIG_UNBLOCK, &just_this, nullptr);
    }
    forget_relayed_signal();
    // Here after a stop and a continue, or when the signal is blocked or ignored from before.
    const sigset_t caught = signal_set(signals_);
    sigprocmask(SIG_BLOCK, &caught, nullptr);
    catch_all();
}

}  // namespace quorvel
