#include "console/console.h"

#include <algorithm>
#include <csignal>
#include <cstdio>

#include "internal/console_platform.h"

namespace quorvel {

namespace {

// Columns taken by the status line now shown; 0 when none is.
std::size_t status_width = 0;

// The same, as a signal handler may read it.
volatile std::sig_atomic_t status_width_for_interrupt = 0;

// The widest status line that clear_status_at_interrupt() erases whole.
constexpr std::size_t WIDEST_STATUS = 120;

// Set by the first failed write or flush; nothing is written to standard output afterwards.
bool output_lost = false;

void write_output(std::string_view text) {
    if (output_lost || text.empty()) return;
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) output_lost = true;
}

// The escape for the control character that starts `text` (C0, DEL, a C1 character in UTF-8
// or a lone byte of the C1 range), written into `escape`; 0 when `text` starts with none, else how
// many bytes of `text` it stands for. A control character in a name could move the cursor, recolour
// the terminal or start a line that looks like one of the program's own.
std::size_t control_escape(std::string_view text, char (&escape)[8]) {
    const auto byte = static_cast<unsigned char>(text[0]);
    constexpr char HEX[] = "0123456789abcdef";
    if (byte == '\n' || byte == '\r' || byte == '\t') {
        escape[0] = '\\';
        escape[1] = byte == '\n' ? 'n' : byte == '\r' ? 'r' : 't';
        escape[2] = '\0';
        return 1;
    }
    // A byte of the C1 range on its own, outside any UTF-8 sequence (split_name passes over
    // those whole), is a control too to a terminal that reads bytes as Latin-1: 0x9b starts an
    // escape sequence there.
    if (byte < 0x20 || byte == 0x7f || (byte >= 0x80 && byte <= 0x9f)) {
        const char form[] = {'\\', 'x', HEX[byte >> 4], HEX[byte & 0xf], '\0'};
        std::copy(std::begin(form), std::end(form), escape);
        return 1;
    }
    const bool c1 = byte == 0xc2 && text.size() > 1 &&
                    static_cast<unsigned char>(text[1]) >= 0x80 &&
                    static_cast<unsigned char>(text[1]) <= 0x9f;
    if (c1) {
        const auto code = static_cast<unsigned char>(text[1]);
        const char form[] = {'\\', 'u', '0', '0', HEX[code >> 4], HEX[code & 0xf], '\0'};
        std::copy(std::begin(form), std::end(form), escape);
        return 2;
    }
    return 0;
}

// The length of the whole UTF-8 sequence (WTF-8 included) that starts `text`, 1 for an ASCII
// byte, 0 when none starts there.
std::size_t sequence_length(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    const std::size_t length = lead < 0x80                    ? 1
                               : lead >= 0xc2 && lead <= 0xdf ? 2
                               : lead >= 0xe0 && lead <= 0xef ? 3
                               : lead >= 0xf0 && lead <= 0xf4 ? 4
                                                              : 0;
    if (length == 0 || text.size() < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xc0) != 0x80) return 0;
    }
    return length;
}

// Calls `plain` with each run of `name` that needs no escape and `escaped` with the escape of
// each control character, in order; allocates nothing. A UTF-8 sequence is passed over whole,
// so that its continuation bytes are never taken for C1 controls.
template <typename Plain, typename Escaped>
void split_name(std::string_view name, Plain plain, Escaped escaped) {
    std::size_t start = 0;
    for (std::size_t at = 0; at < name.size();) {
        char escape[8];
        const std::size_t taken = control_escape(name.substr(at), escape);
        if (taken == 0) {
            at += std::max<std::size_t>(1, sequence_length(name.substr(at)));
            continue;
        }
        plain(name.substr(start, at - start));
        escaped(std::string_view(escape));
        at += taken;
        start = at;
    }
    plain(name.substr(start));
}

}  // namespace

std::string printable_name(std::string_view name) {
    std::string printable;
    const auto append = [&](std::string_view part) { printable += part; };
    split_name(name, append, append);
    return printable;
}

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
    split_name(name, write_output, write_output);
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

void print_cause_line(std::string_view prefix, std::string_view text) {
    static const bool output_is_terminal = detail::stdout_is_terminal();
    if (output_is_terminal) return;
    clear_status();
    flush_output();
    // One write when the line fits the buffer, so that another process writing to the same
    // terminal cannot cut into it; in pieces otherwise.
    char line[1024];
    if (prefix.size() + text.size() < sizeof line) {
        std::copy(prefix.begin(), prefix.end(), line);
        std::copy(text.begin(), text.end(), line + prefix.size());
        line[prefix.size() + text.size()] = '\n';
        std::fwrite(line, 1, prefix.size() + text.size() + 1, stderr);
    } else {
        std::fwrite(prefix.data(), 1, prefix.size(), stderr);
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fputc('\n', stderr);
    }
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
    status_width_for_interrupt =
        static_cast<std::sig_atomic_t>(std::min(status_width, WIDEST_STATUS));
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
    status_width_for_interrupt = 0;
}

void clear_status_at_interrupt() {
    const auto width = static_cast<unsigned>(status_width_for_interrupt);
    if (width == 0) return;
    // "\r", the spaces and "\r" again, in storage of the handler's own.
    char line[WIDEST_STATUS + 2];
    for (unsigned at = 0; at < width + 2; ++at) line[at] = at == 0 || at == width + 1 ? '\r' : ' ';
    detail::write_error_directly(line, width + 2);
}

}  // namespace quorvel
