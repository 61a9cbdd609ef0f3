#include <fcntl.h>
#include <signal.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string_view>

#include "app/signals/interrupt_cleanup_posix.h"
#include "internal/password_input.h"

namespace quorvel {

namespace {

constexpr std::size_t MAX_CAUGHT_SIGNALS = 4;

// The interrupt that arrived while the terminal was silent, 0 for none.
volatile sig_atomic_t pending_interrupt = 0;

void note_interrupt(int signal_number) {
    pending_interrupt = signal_number;
}

// The terminal, opened and with echo off for the object's lifetime. Interrupts meanwhile only
// end the wait for input: the terminal gets its settings back first, and the interrupt is then
// raised again and takes its usual course (which ends the process). They are blocked except
// while waiting, so that one arriving just before a wait is not lost until a line is typed.
class SilentTerminal {
public:
    SilentTerminal() {
        fd_ = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0 || ::tcgetattr(fd_, &saved_) != 0) return;
        catch_interrupts();
        sigset_t block;
        sigemptyset(&block);
        for (const int signal_number : interrupt_signals()) sigaddset(&block, signal_number);
        sigprocmask(SIG_BLOCK, &block, &unblocked_);
        termios silent = saved_;
        // No echo of what is typed, but the line end is shown, so the next line starts fresh.
        silent.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK);
        silent.c_lflag |= ECHONL;
        silenced_ = ::tcsetattr(fd_, TCSAFLUSH, &silent) == 0;
    }

    ~SilentTerminal() {
        if (silenced_) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
        release_interrupts();
        if (caught_) sigprocmask(SIG_SETMASK, &unblocked_, nullptr);
        if (fd_ >= 0) ::close(fd_);
        if (pending_interrupt != 0) ::raise(pending_interrupt);
    }

    SilentTerminal(const SilentTerminal&) = delete;
    SilentTerminal& operator=(const SilentTerminal&) = delete;

    bool ready() const { return silenced_; }

    void write_text(std::string_view text) const {
        while (!text.empty()) {
            const ssize_t written = ::write(fd_, text.data(), text.size());
            if (written < 0 && errno == EINTR && pending_interrupt == 0) continue;
            if (written <= 0) return;
            text.remove_prefix(static_cast<std::size_t>(written));
        }
    }

    // The next byte typed, or READ_ERROR. Input that ends (Ctrl+D) without a line end is an
    // error too: an empty password is typed as an empty line, not as the end of input.
    int next_byte() const {
        unsigned char byte = 0;
        for (;;) {
            if (pending_interrupt != 0) return READ_ERROR;
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(fd_, &readable);
            // Interrupts are let in only during the wait, atomically with it.
            if (::pselect(fd_ + 1, &readable, nullptr, nullptr, nullptr, &unblocked_) < 0) {
                if (errno == EINTR) continue;
                return READ_ERROR;
            }
            const ssize_t got = ::read(fd_, &byte, 1);
            if (got == 1) return byte;
            if (got == 0 || errno != EINTR) return READ_ERROR;
        }
    }

private:
    // Interrupts end a read instead of restarting it (no SA_RESTART); those ignored stay so.
    void catch_interrupts() {
        pending_interrupt = 0;
        struct sigaction action {};
        action.sa_handler = note_interrupt;
        sigemptyset(&action.sa_mask);
        const auto signals = interrupt_signals();
        for (std::size_t i = 0; i < signals.size() && i < MAX_CAUGHT_SIGNALS; ++i) {
            sigaction(signals[i], nullptr, &previous_[i]);
            if (previous_[i].sa_handler != SIG_IGN) sigaction(signals[i], &action, nullptr);
        }
        caught_ = true;
    }

    void release_interrupts() {
        if (!caught_) return;
        const auto signals = interrupt_signals();
        for (std::size_t i = 0; i < signals.size() && i < MAX_CAUGHT_SIGNALS; ++i) {
            sigaction(signals[i], &previous_[i], nullptr);
        }
    }

    int fd_ = -1;
    termios saved_{};
    sigset_t unblocked_{};  // the signal mask from before
    bool silenced_ = false;
    bool caught_ = false;
    std::array<struct sigaction, MAX_CAUGHT_SIGNALS> previous_{};
};

LineResult ask(const SilentTerminal& terminal, std::string_view prompt, PasswordBuffer& answer) {
    terminal.write_text(prompt);
    return read_password_line([&terminal] { return terminal.next_byte(); }, answer);
}

}  // namespace

int open_password_file(const std::string& path) {
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

long read_descriptor(int fd, char* into, std::size_t size) {
    for (;;) {
        const ssize_t got = ::read(fd, into, size);
        if (got >= 0 || errno != EINTR) return static_cast<long>(got);
    }
}

void close_descriptor(int fd) {
    ::close(fd);
}

LineResult ask_on_terminal(PasswordBuffer& password, PasswordBuffer* repeat) {
    const SilentTerminal terminal;
    if (!terminal.ready()) return LineResult::unreadable;
    return ask_questions(
        [&terminal](Question question, PasswordBuffer& answer) {
            return ask(terminal, question_text(question), answer);
        },
        password, repeat);
}

}  // namespace quorvel
