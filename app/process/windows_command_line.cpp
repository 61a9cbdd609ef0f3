#include "app/process/windows_command_line.h"

namespace quorvel {

void append_quoted_argument(std::string& command_line, std::string_view argument) {
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string_view::npos) {
        command_line += argument;
        return;
    }
    command_line += '"';
    std::size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are literal unless a double quote follows them: then each pair reads as
        // one backslash, and an odd one escapes the quote.
        if (c == '"') backslashes = backslashes * 2 + 1;
        command_line.append(backslashes, '\\');
        command_line += c;
        backslashes = 0;
    }
    // Trailing backslashes go after the closing quote, where every reader takes them
    // literally: the C runtime would need them doubled inside the quotes, but 7-Zip splits its
    // command line itself and reads every backslash literally (and a double quote only as a
    // quote), so both read "my dir"\ as `my dir\`.
    command_line += '"';
    command_line.append(backslashes, '\\');
}

std::string windows_command_line(std::string_view program, std::span<const std::string> arguments) {
    std::string command_line = "\"";
    command_line += program;
    command_line += '"';
    for (const auto& argument : arguments) {
        command_line += ' ';
        append_quoted_argument(command_line, argument);
    }
    return command_line;
}

}  // namespace quorvel
