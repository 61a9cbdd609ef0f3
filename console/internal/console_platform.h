// What the console needs to ask the operating system, one file per platform
// (console_posix.cpp, console_windows.cpp).
#pragma once

namespace quorvel::detail {

// True when standard output leads to a pipe or socket whose reader is gone, or to a closed
// descriptor: writing would fail. Always false where the system cannot tell without writing.
[[nodiscard]] bool stdout_reader_gone();

// True when standard error is a terminal (a console on Windows).
[[nodiscard]] bool stderr_is_terminal();

// Writes `size` bytes of `text` to standard error without the C library's buffer: one
// write(2) on POSIX, async-signal-safe.
void write_error_directly(const char* text, unsigned size);

// True when standard output is a terminal (a console on Windows).
[[nodiscard]] bool stdout_is_terminal();

}  // namespace quorvel::detail
