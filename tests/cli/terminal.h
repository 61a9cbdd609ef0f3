// A pseudo-terminal for runs that must meet a real terminal (a prompt, a controlling
// terminal of their own), and what the tests that drive one read from it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace quorvel::test {

// Both ends of a new pseudo-terminal, closed when the object goes. The terminal end is held
// open here too, so the master never reads as hung up while a child opens and closes it.
class PseudoTerminal {
public:
    PseudoTerminal() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
            throw std::runtime_error("no pseudo-terminal");
        }
        terminal_ = ::open(::ptsname(master_), O_RDWR | O_NOCTTY);
        if (terminal_ < 0) throw std::runtime_error("cannot open the pseudo-terminal");
    }
    ~PseudoTerminal() {
        ::close(terminal_);
        ::close(master_);
    }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    int master() const { return master_; }
    int terminal() const { return terminal_; }

    // In a freshly forked child: a session of its own with this terminal as its controlling
    // terminal. Ends the child with status 126 if that fails.
    void become_controlling_terminal_of_child() const {
        ::setsid();
        if (::ioctl(terminal_, TIOCSCTTY, 0) != 0) ::_exit(126);
    }

    // Whether the terminal echoes what is typed.
    bool echo_on() const {
        termios settings{};
        return ::tcgetattr(terminal_, &settings) == 0 && (settings.c_lflag & ECHO) != 0;
    }

    // Types `text` as if at the keyboard; true when all of it went in.
    bool type(const std::string& text) const {
        return ::write(master_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }

    // Reads what the terminal shows for at most `timeout_ms`, appending it to `text`. Returns
    // false at the end of the terminal's output or on a timeout.
    bool read(std::string& text, int timeout_ms) const {
        pollfd ready{master_, POLLIN, 0};
        if (::poll(&ready, 1, timeout_ms) <= 0) return false;
        char chunk[256];
        const ssize_t got = ::read(master_, chunk, sizeof chunk);
        if (got <= 0) return false;
        text.append(chunk, static_cast<std::size_t>(got));
        return true;
    }

private:
    int master_ = -1;
    int terminal_ = -1;
};

// How many password prompts ("Password: ", "Repeat the password: ") `text` holds.
inline std::size_t count_prompts(const std::string& text) {
    std::size_t count = 0;
    for (auto at = text.find("assword: "); at != std::string::npos;
         at = text.find("assword: ", at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace quorvel::test
