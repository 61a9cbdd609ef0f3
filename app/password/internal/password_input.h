// Reading a password line: the platform's descriptors, files and terminal (in
// password_source_posix.cpp and password_source_windows.cpp), and the line rules they share.
// Used by password_source.cpp only.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "app/password/password_source.h"

namespace quorvel {

enum class LineResult {
    ok,              // the line is in the buffer, without its line end
    too_long,        // more than MAX_PASSWORD_SIZE bytes before the line end
    unreadable,      // the source failed or is not there
    no_terminal,     // a prompt with no terminal to ask on
    answers_differ,  // the two answers of a prompt that asks twice differed, each time
};

// What a byte source gives instead of a byte.
inline constexpr int END_OF_INPUT = -1;
inline constexpr int READ_ERROR = -2;

// Puts into `password` the bytes of `next_byte` (a byte as 0..255, END_OF_INPUT or READ_ERROR)
// up to the first LF or the end of input, without a CR right before the LF. Stops reading as
// soon as the line is known to be too long.
[[nodiscard]] LineResult read_password_line(const std::function<int()>& next_byte,
                                            PasswordBuffer& password);

// The same from the open descriptor `fd`, read one byte at a time so that nothing after the
// line end is taken from a shared pipe or terminal.
[[nodiscard]] LineResult read_password_line(int fd, PasswordBuffer& password);

// The value of QUORVEL_PASSWORD_FROM; nullopt when it is not set. On POSIX its bytes; on
// Windows its Unicode text as WTF-8 (console/wtf8.h), the form the command line's file names
// are kept in, so that file:PATH names any file the system allows and messages show it whole.
[[nodiscard]] std::optional<std::string> password_source_setting();

// The value of the environment variable `name` (written as password_source_setting gives
// it) in the bytes a password argument has: on Windows in the active code page, as the C
// runtime's environment holds it. nullptr when it is not set.
[[nodiscard]] const char* environment_value(std::string_view name);

// Opens the file `path` for reading. Returns a descriptor, or -1.
[[nodiscard]] int open_password_file(const std::filesystem::path& path);

// The permission bits of the open file `fd` when others than its owner may read it (a group
// or everyone); nullopt otherwise, and always on Windows.
[[nodiscard]] std::optional<unsigned> readable_by_others(int fd);

// Reads at most `size` bytes from `fd` into `into`, again when interrupted by a signal that
// does not end the process. Returns the count read, 0 at the end, -1 on an error.
[[nodiscard]] long read_descriptor(int fd, char* into, std::size_t size);

// Closes a descriptor that open_password_file returned.
void close_descriptor(int fd);

// The questions a prompt asks, and their text: "Password: ", the same after an empty answer
// with a line that refuses it first, the same after two answers that differ, and "Repeat the
// password: ".
enum class Question { password, password_after_empty, password_after_mismatch, repeat };

// How many times a prompt that asks twice asks for the pair before it gives up.
inline constexpr int PROMPT_ATTEMPTS = 3;
std::string_view question_text(Question question);

// Asks one question on a terminal and reads the answer.
using AskQuestion = std::function<LineResult(Question, PasswordBuffer&)>;

// The questions of one prompt: the password, asked again for as long as the answer is empty
// (an empty password typed at a prompt is a slip, never meant), then, with `repeat`, the
// password again into `repeat`; two answers that differ start the pair again, up to
// PROMPT_ATTEMPTS times (answers_differ after that). Stops at the first answer that is not ok.
[[nodiscard]] LineResult ask_questions(const AskQuestion& ask, PasswordBuffer& password,
                                       PasswordBuffer* repeat);

// Asks "Password: " on the terminal without echo and reads the answer into `password`; with
// `repeat`, then asks "Repeat the password: " and reads the second answer into it; an empty
// answer to the first is refused and asked again (ask_questions). Writes only to the terminal. A
// terminal restored on every way out: when an interrupt arrives meanwhile, echo is turned back on
// before the interrupt takes its course. A run in the background neither writes to the terminal
// nor changes it: it is stopped (SIGTTOU) until brought to the foreground, and finds the
// terminal unreadable where it cannot be stopped.
[[nodiscard]] LineResult ask_on_terminal(PasswordBuffer& password, PasswordBuffer* repeat);

}  // namespace quorvel
