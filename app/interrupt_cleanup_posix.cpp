#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string>

#include "app/interrupt_cleanup.h"
#include "app/interrupt_cleanup_posix.h"

namespace quorvel {

namespace {

constexpr std::array<int, 3> INTERRUPT_SIGNALS{SIGINT, SIGTERM, SIGHUP};
constexpr std::size_t MAX_PATHS = 4;

// Read by the handler. The strings are changed only while the signals are blocked, and the
// handler reads only the C strings of the slots marked in use.
std::array<std::string, MAX_PATHS> paths;
std::array<volatile sig_atomic_t, MAX_PATHS> in_use{};
volatile sig_atomic_t running_child = 0;

// Blocks the interrupt signals for its lifetime.
class SignalBlock {
public:
    SignalBlock() {
        sigset_t block;
        sigemptyset(&block);
        for (const int signal_number : INTERRUPT_SIGNALS) sigaddset(&block, signal_number);
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

}  // namespace

void install_interrupt_cleanup() {
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    for (const int signal_number : INTERRUPT_SIGNALS) sigaddset(&action.sa_mask, signal_number);
    for (const int signal_number : INTERRUPT_SIGNALS) {
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
            paths[i] = std::filesystem::absolute(path).string();
            in_use[i] = 1;
            return;
        }
    }
}

void forget_on_interrupt(const std::filesystem::path& path) {
    SignalBlock block;
    const std::string absolute = std::filesystem::absolute(path).string();
    for (std::size_t i = 0; i < MAX_PATHS; ++i) {
        if (in_use[i] != 0 && paths[i] == absolute) in_use[i] = 0;
    }
}

std::span<const int> interrupt_signals() {
    return INTERRUPT_SIGNALS;
}

void set_interrupted_child(pid_t child) {
    running_child = child;
}

}  // namespace quorvel
