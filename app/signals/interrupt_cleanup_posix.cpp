#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string>
#include <system_error>
#include <vector>

#include "app/signals/interrupt_cleanup.h"
#include "app/signals/interrupt_cleanup_posix.h"

namespace quorvel {

namespace {

constexpr std::size_t MAX_ENTRIES = 8;

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

// One file to remove. The handler reads only entries marked in use; an entry is changed
// only while the signals are blocked.
struct Entry {
    std::string path;
    volatile sig_atomic_t in_use = 0;
    volatile sig_atomic_t identified = 0;
    dev_t device = 0;
    ino_t inode = 0;
};

std::array<Entry, MAX_ENTRIES> entries;
volatile sig_atomic_t running_child = 0;

// The signal mask before the outermost InterruptsDeferred, and how many are alive.
sigset_t mask_before_deferral;
int deferral_depth = 0;

// Blocks the interrupt signals; returns the mask before.
sigset_t block_interrupts() {
    const sigset_t block = interrupt_signal_set();
    sigset_t saved;
    sigprocmask(SIG_BLOCK, &block, &saved);
    return saved;
}

// Blocks the interrupt signals for its lifetime.
class SignalBlock {
public:
    SignalBlock() : saved_(block_interrupts()) {}
    ~SignalBlock() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }
    SignalBlock(const SignalBlock&) = delete;
    SignalBlock& operator=(const SignalBlock&) = delete;

private:
    sigset_t saved_;
};

// Async-signal-safe: an identified file goes only while its name still refers to it, so a
// file that took the name since (an extracted entry of the same name) stays.
void remove_entry(const Entry& entry) {
    if (entry.identified != 0) {
        struct stat info;
        if (::lstat(entry.path.c_str(), &info) != 0) return;
        if (info.st_dev != entry.device || info.st_ino != entry.inode) return;
    }
    ::unlink(entry.path.c_str());
}

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
    for (const Entry& entry : entries) {
        if (entry.in_use != 0) remove_entry(entry);
    }
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
    errno = saved_errno;
}

// The absolute form, so that the handler finds the file whatever the current folder; the
// path as given when that cannot be made (the current folder is gone).
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

int remove_on_interrupt(const std::filesystem::path& path,
                        const std::optional<files::Identity>& identity) {
    std::string text = absolute_text(path);
    SignalBlock block;
    for (std::size_t i = 0; i < MAX_ENTRIES; ++i) {
        Entry& entry = entries[i];
        if (entry.in_use != 0) continue;
        entry.path = std::move(text);
        entry.identified = 0;
        if (identity) {
            entry.device = static_cast<dev_t>(identity->device);
            entry.inode = static_cast<ino_t>(identity->index);
            entry.identified = 1;
        }
        entry.in_use = 1;
        return static_cast<int>(i);
    }
    return -1;
}

void identify_on_interrupt(int entry_number, const files::Identity& identity) {
    if (entry_number < 0) return;
    SignalBlock block;
    Entry& entry = entries[static_cast<std::size_t>(entry_number)];
    entry.device = static_cast<dev_t>(identity.device);
    entry.inode = static_cast<ino_t>(identity.index);
    entry.identified = 1;
}

void forget_on_interrupt(int entry_number) {
    if (entry_number < 0) return;
    SignalBlock block;
    entries[static_cast<std::size_t>(entry_number)].in_use = 0;
}

InterruptsDeferred::InterruptsDeferred() {
    const sigset_t saved = block_interrupts();
    if (deferral_depth++ == 0) mask_before_deferral = saved;
}

InterruptsDeferred::~InterruptsDeferred() {
    if (--deferral_depth == 0) sigprocmask(SIG_SETMASK, &mask_before_deferral, nullptr);
}

void remove_registered_files() {
    SignalBlock block;
    for (Entry& entry : entries) {
        if (entry.in_use != 0) remove_entry(entry);
        entry.in_use = 0;
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
