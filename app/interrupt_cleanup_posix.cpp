#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string>
#include <system_error>
#include <vector>

#include "app/interrupt_cleanup.h"
#include "app/interrupt_cleanup_posix.h"

namespace quorvel {

namespace {

constexpr std::size_t MAX_PATHS = 4;

// The fixed part of interrupt_signals(); the real-time signals are added when it is built,
// as their numbers are known only at run time.
constexpr std::array FIXED_INTERRUPT_SIGNALS{
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

std::vector<int> all_interrupt_signals() {
    std::vector<int> signals(FIXED_INTERRUPT_SIGNALS.begin(), FIXED_INTERRUPT_SIGNALS.end());
#ifdef SIGRTMIN
    for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
        signals.push_back(signal_number);
    }
#endif
    return signals;
}

sigset_t interrupt_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : interrupt_signals()) sigaddset(&set, signal_number);
    return set;
}

// Read by the handler. The strings are changed only while the signals are blocked, and the
// handler reads only the C strings of the slots marked in use.
std::array<std::string, MAX_PATHS> paths;
std::array<volatile sig_atomic_t, MAX_PATHS> in_use{};
volatile sig_atomic_t running_child = 0;

// Blocks the interrupt signals for its lifetime.
class SignalBlock {
public:
    SignalBlock() {
        const sigset_t block = interrupt_signal_set();
        sigprocmask(SIG_BLOCK, &block, &saved_);
    }
    ~SignalBlock() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }
    SignalBlock(const SignalBlock&) = delete;
    SignalBlock& operator=(const SignalBlock&) = delete;

private:
    sigset_t saved_;
};

// Only async-signal-safe calls: the child is passed the signal and waited for, so it
// cannot write the archive again after the removal; then the files go, and the signal is
// raised again with its default action, so the process ends as interrupted.
void on_interrupt(int signal_number) {
    const int saved_errno = errno;
    const pid_t child = running_child;
    if (child > 0) {
        ::kill(child, signal_number);
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }
    for (std::size_t i = 0; i < MAX_PATHS; ++i) {
        if (in_use[i] != 0) ::unlink(paths[i].c_str());
    }
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
    errno = saved_errno;
}

// The path made absolute, so that the removal does not depend on the current folder; as given
// when the current folder is gone, and nothing can be removed through it anyway.
std::string absolute_text(const std::filesystem::path& path) {
    std::error_code error;
    const auto absolute = std::filesystem::absolute(path, error);
    return error ? path.string() : absolute.string();
}

}  // namespace

void install_interrupt_cleanup() {
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    action.sa_mask = interrupt_signal_set();
    for (const int signal_number : interrupt_signals()) {
        struct sigaction previous {};
        sigaction(signal_number, nullptr, &previous);
        // A signal ignored by whoever started us (nohup) stays ignored.
        if (previous.sa_handler != SIG_IGN) sigaction(signal_number, &action, nullptr);
    }
}

void remove_on_interrupt(const std::filesystem::path& path) {
    SignalBlock block;
    for (std::size_t i = 0; i < MAX_PATHS; ++i) {
        if (in_use[i] == 0) {
            paths[i] = absolute_text(path);
            in_use[i] = 1;
            return;
        }
    }
}

void forget_on_interrupt(const std::filesystem::path& path) {
    SignalBlock block;
    const std::string absolute = absolute_text(path);
    for (std::size_t i = 0; i < MAX_PATHS; ++i) {
        if (in_use[i] != 0 && paths[i] == absolute) in_use[i] = 0;
    }
}

void remove_registered_files() {
    SignalBlock block;
    for (std::size_t i = 0; i < MAX_PATHS; ++i) {
        if (in_use[i] != 0) ::unlink(paths[i].c_str());
        in_use[i] = 0;
    }
}

std::span<const int> interrupt_signals() {
    static const std::vector<int> signals = all_interrupt_signals();
    return signals;
}

void set_interrupted_child(pid_t child) {
    running_child = child;
}

}  // namespace quorvel
