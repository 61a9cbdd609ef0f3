// The command line a Windows program receives: one string that the program's C runtime splits
// into argv. Building it is plain text work, so it is compiled and tested on every platform.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace quorvel {

// Appends `argument` to `command_line` so that the Microsoft C runtime's rules (and
// CommandLineToArgvW) read it back as exactly one argument, unchanged: it is put in double
// quotes when empty or holding a space, tab, line feed, vertical tab or double quote; inside
// quotes a double quote is escaped with a backslash and backslashes are doubled where they
// precede a double quote; trailing backslashes follow the closing quote. Other arguments are
// appended as they are. 7-Zip, which reads its command line by simpler rules (a double quote
// toggles quoting, a backslash is always literal), reads every argument without a double quote
// the same way; no Windows file name holds one.
void append_quoted_argument(std::string& command_line, std::string_view argument);

// The command line that starts `program` with `arguments`: the program's path in double quotes
// (the runtime reads the first word without backslash escapes, and a Windows path holds no
// double quote), then each argument, quoted as above, after a single space. The text may be
// UTF-8 or WTF-8: quoting only looks at ASCII characters, which never occur inside a longer
// sequence.
std::string windows_command_line(std::string_view program, std::span<const std::string> arguments);

}  // namespace quorvel
