#include <poll.h>
#include <unistd.h>

#include <cstdio>

#include "console/console.h"
#include "internal/console_platform.h"

namespace quorvel {

std::string display_name(const std::filesystem::path& path) {
    return path.native();
}

namespace detail {

// A pipe whose reader has gone reports an error condition, and a closed descriptor an invalid
// one. A terminal, a file or /dev/null reports neither.
bool stdout_reader_gone() {
    pollfd probe{STDOUT_FILENO, POLLOUT, 0};
    return ::poll(&probe, 1, 0) == 1 && (probe.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
}

bool stderr_is_terminal() {
    return ::isatty(::fileno(stderr)) != 0;
}

void write_error_directly(const char* text, unsigned size) {
    // Nothing to do about a failure here: the run is ending.
    if (::write(STDERR_FILENO, text, size) < 0) return;
}

bool stdout_is_terminal() {
    return ::isatty(STDOUT_FILENO) != 0;
}

}  // namespace detail

}  // namespace quorvel
