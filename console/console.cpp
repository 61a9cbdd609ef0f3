#include "console/console.h"

#include <algorithm>
#include <cstdio>

#ifdef _WIN32
#include <io.h>

#include "console/wtf8.h"
#else
#include <unistd.h>
#endif

namespace quorvel {

namespace {

// Columns taken by the status line now shown; 0 when none is.
std::size_t status_width = 0;

bool stderr_is_terminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

}  // namespace

void print_text(std::string_view text) {
    clear_status();
    std::fwrite(text.data(), 1, text.size(), stdout);
}

void print_line(std::string_view text) {
    print_text(text);
    std::fputc('\n', stdout);
}

void print_named(std::string_view prefix, std::string_view name, std::string_view suffix) {
    print_text(prefix);
    print_text(name);
    print_line(suffix);
}

std::string display_name(const std::filesystem::path& path) {
#ifdef _WIN32
    const auto& wide = path.native();
    return wtf8_from_utf16({reinterpret_cast<const char16_t*>(wide.data()), wide.size()});
#else
    return path.native();
#endif
}

void flush_output() {
    std::fflush(stdout);
}

bool status_line_possible() {
    static const bool possible = stderr_is_terminal();
    return possible;
}

void show_status(std::string_view text) {
    if (!status_line_possible()) return;
    // Whatever standard output holds goes first, so the line lands below it.
    std::fflush(stdout);
    std::string line = "\r";
    line += text;
    // Spaces cover the rest of a longer line drawn before; no terminal escape codes needed.
    if (text.size() < status_width) line.append(status_width - text.size(), ' ');
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    status_width = std::max(status_width, text.size());
}

void clear_status() {
    if (status_width == 0) return;
    std::string blank = "\r";
    blank.append(status_width, ' ');
    blank += '\r';
    std::fwrite(blank.data(), 1, blank.size(), stderr);
    std::fflush(stderr);
    status_width = 0;
}

}  // namespace quorvel
