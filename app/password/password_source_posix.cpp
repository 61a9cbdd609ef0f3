#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/signals/signals_posix.h"
#include "internal/password_input.h"

namespace quorvel {

namespace {

// The terminal, opened for the object's lifetime, its settings as found given back on every
// way out. It has no echo only while silenced.
class Terminal {
public:
    Terminal() {
        fd_ = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
        opened_ = fd_ >= 0 && ::isatty(fd_) != 0;
    }

    ~Terminal() {
        restore();
        if (fd_ >= 0) ::close(fd_);
    }

    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    bool opened() const { return opened_; }

    // Turns echo off: what is typed is not shown, but the line end is, so the next line
    // starts fresh. Only in the foreground: from the background the terminal, and its
    // settings, are the shell's. There tcdrain, which changes nothing, has the terminal driver
    // stop the run until it is brought to the foreground; the settings are taken only then.
    // Returns false, the terminal untouched, when the run is still in the background after it
    // (SIGTTOU ignored or blocked from the start) or the driver refuses (an orphaned run).
    [[nodiscard]] bool silence(NotedSignals& signals) {
        silenced_ = signals.with_terminal_stops([this] {
            if (::tcdrain(fd_) != 0 || ::tcgetpgrp(fd_) != ::getpgrp()) return false;
            if (::tcgetattr(fd_, &saved_) != 0) return false;
            termios silent = saved_;
            silent.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK);
            silent.c_lflag |= ECHONL;
            // Lent before it changes: a fault meanwhile gives the settings back too.
            set_terminal_to_restore(fd_, saved_);
            if (::tcsetattr(fd_, TCSAFLUSH, &silent) == 0) return true;
            forget_terminal_to_restore();
            return false;
        });
        return silenced_;
    }

    // Gives the terminal its settings back.
    void restore() {
        if (silenced_) {
            ::tcsetattr(fd_, TCSAFLUSH, &saved_);
            forget_terminal_to_restore();
        }
        silenced_ = false;
    }

    // Writes `text`; stops early when a signal arrives.
    void write_text(std::string_view text, const NotedSignals& signals) const {
        while (!text.empty() && signals.wait_for(fd_, files::Direction::write)) {
            const ssize_t written = ::write(fd_, text.data(), text.size());
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) return;
            text.remove_prefix(static_cast<std::size_t>(written));
        }
    }

    // The next byte typed, or READ_ERROR, also when a signal arrives. Input that ends
    // (Ctrl+D) without a line end is an error too: an empty answer is an empty line, which
    // the question loop asks again, not the end of input.
    int next_byte(const NotedSignals& signals) const {
        unsigned char byte = 0;
        for (;;) {
            if (!signals.wait_for(fd_, files::Direction::read)) return READ_ERROR;
            const ssize_t got = ::read(fd_, &byte, 1);
            if (got == 1) return byte;
            if (got == 0 || errno != EINTR) return READ_ERROR;
        }
    }

private:
    int fd_ = -1;
    termios saved_{};
    bool opened_ = false;
    bool silenced_ = false;
};

bool is_stop_signal(int signal_number) {
    const auto stops = stop_signals();
    return std::find(stops.begin(), stops.end(), signal_number) != stops.end();
}

// Asks once, with echo off. A signal meanwhile gives the terminal back first: an ending
// signal then ends the run; a stop (Ctrl+Z) stops it, and once continued the question is
// asked afresh, echo off again, as what was typed before the stop is dropped.
LineResult ask(Terminal& terminal, NotedSignals& signals, std::string_view prompt,
               PasswordBuffer& answer) {
    for (;;) {
        if (!terminal.silence(signals)) return LineResult::unreadable;
        terminal.write_text(prompt, signals);
        const LineResult result =
            read_password_line([&] { return terminal.next_byte(signals); }, answer);
        terminal.restore();
        const int signal_number = signals.noted();
        if (signal_number == 0) return result;
        answer.wipe();
        signals.pass_on();
        if (!is_stop_signal(signal_number)) return LineResult::unreadable;
    }
}

}  // namespace

std::optional<std::string> password_source_setting() {
    const char* value = std::getenv(std::string(PASSWORD_FROM_VARIABLE).c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

const char* environment_value(std::string_view name) {
    return std::getenv(std::string(name).c_str());
}

int open_password_file(const std::filesystem::path& path) {
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

std::optional<unsigned> readable_by_others(int fd) {
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    if ((info.st_mode & (S_IRGRP | S_IROTH)) == 0) return std::nullopt;
    return static_cast<unsigned>(info.st_mode);
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
    // Caught before the terminal is touched, and given back after it is restored.
    NotedSignals signals;
    Terminal terminal;
    if (!terminal.opened()) return LineResult::no_terminal;
    return ask_questions(
        [&terminal, &signals](Question question, PasswordBuffer& answer) {
            return ask(terminal, signals, question_text(question), answer);
        },
        password, repeat);
}

}  // namespace quorvel
