// The command line that starts the archiver on Windows. A Windows program receives one string
// and splits it into words itself; 7-Zip does not use the C runtime's rule for that but its
// own: a double quote toggles quoting and is dropped, a space or tab outside quotes ends a
// word, and every other character, the backslash included, stands for itself. The line is
// built for that rule. Building it is plain text work, so it is compiled and tested on every
// platform.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quorvel {

// True when 7-Zip's rule can carry `word` to the archiver unchanged: it holds no double quote.
// No Windows file name holds one.
[[nodiscard]] bool fits_seven_zip_command_line(std::string_view word);

// The command line that starts `program` with `arguments` for a program that splits its line
// by 7-Zip's rule: the program's path and then each argument, each in double quotes, one space
// between them. Split by that rule it gives back the path and then exactly `arguments`: blanks
// stay inside their word, backslashes are kept as they are (a trailing one too, as in
// "folder\"), and an empty argument stays a word. Returns nullopt when the path or an argument
// does not fit (fits_seven_zip_command_line): a double quote in it would move the boundaries of
// every word after it. The text may be UTF-8 or WTF-8: only ASCII characters are looked at,
// and those never occur inside a longer sequence.
[[nodiscard]] std::optional<std::string> seven_zip_command_line(
    std::string_view program, std::span<const std::string> arguments);

}  // namespace quorvel
