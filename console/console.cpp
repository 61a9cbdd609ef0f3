#include "console/console.h"

#include <algorithm>
#include <cstdio>

#include "internal/console_platform.h"

namespace quorvel {

namespace {

// Columns taken by the status line now shown; 0 when none is.
std::size_t status_width = 0;

// Set by the first failed write or flush; nothing is written to standard output afterwards.
bool output_lost = false;

void write_output(std::string_view text) {
    if (output_lost || text.empty()) return;
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) output_lost = true;
}

}  // namespace

void print_text(std::string_view text) {
    clear_status();
    write_output(text);
}

void print_line(std::string_view text) {
    print_text(text);
    write_output("\n");
}

void print_named(std::string_view prefix, std::string_view name, std::string_view suffix) {
    print_text(prefix);
    print_text(name);
    print_line(suffix);
}

void print_warning_line(std::string_view text) {
    clear_status();
    flush_output();
    std::string line(text);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

void flush_output() {
    if (output_lost) return;
    output_lost = std::fflush(stdout) != 0 || detail::stdout_reader_gone();
}

bool output_written() {
    if (!output_lost && std::fflush(stdout) != 0) output_lost = true;
    return !output_lost;
}

bool output_available() {
    return !output_lost;
}

bool status_line_possible() {
    static const bool possible = detail::stderr_is_terminal();
    return possible;
}

void show_status(std::string_view text) {
    if (!status_line_possible()) return;
    // Whatever standard output holds goes first, so the line lands below it.
    flush_output();
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
    // Written in pieces from fixed storage: this runs before the last resort's message, when
    // memory may have run out.
    constexpr std::string_view SPACES = "                                ";
    std::fputc('\r', stderr);
    for (std::size_t left = status_width; left > 0;) {
        const std::size_t piece = std::min(left, SPACES.size());
        std::fwrite(SPACES.data(), 1, piece, stderr);
        left -= piece;
    }
    std::fputc('\r', stderr);
    std::fflush(stderr);
    status_width = 0;
}

}  // namespace quorvel
