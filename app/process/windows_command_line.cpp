#include "app/process/windows_command_line.h"

namespace quorvel {

namespace {

// Inside double quotes 7-Zip's rule takes every character but the quote as it is, so a word
// without one comes back whole, whatever blanks or backslashes it holds; quoting even plain
// words leaves no case that needs to be told apart.
void append_quoted(std::string& command_line, std::string_view word) {
    command_line += '"';
    command_line += word;
    command_line += '"';
}

}  // namespace

bool fits_seven_zip_command_line(std::string_view word) {
    return word.find('"') == std::string_view::npos;
}

std::optional<std::string> seven_zip_command_line(std::string_view program,
                                                  std::span<const std::string> arguments) {
    if (!fits_seven_zip_command_line(program)) return std::nullopt;
    std::string command_line;
    append_quoted(command_line, program);
    for (const auto& argument : arguments) {
        if (!fits_seven_zip_command_line(argument)) return std::nullopt;
        command_line += ' ';
        append_quoted(command_line, argument);
    }
    return command_line;
}

}  // namespace quorvel
