// Where the password comes from: the command line, or, when the password argument is "-", the
// source that QUORVEL_PASSWORD_FROM names, so that it need not show in process lists and shell
// history.
//
// QUORVEL_PASSWORD_FROM takes one of:
//   env:NAME   the environment variable NAME
//   file:PATH  the file PATH (on Windows named by its Unicode text, as the command line's
//              file names are)
//   fd:N       the open file descriptor N (read up to the line end, not closed)
//   tty        the terminal itself (/dev/tty; the console on Windows), asked without echo,
//              twice when encrypting; nothing goes to standard output. On POSIX a run in the
//              background first waits, stopped, to be brought to the foreground
// env:, file: and fd: give the bytes up to the first line end (LF or CR LF), or all of them.
// A source that gives no byte before that line end is an error, not an empty password.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "app/messages/outcome.h"
#include "cipher/cipher_mode.h"
#include "cipher/key_schedule.h"

namespace quorvel {

inline constexpr std::string_view PASSWORD_FROM_VARIABLE = "QUORVEL_PASSWORD_FROM";

// The password argument that asks for the source QUORVEL_PASSWORD_FROM names.
inline constexpr std::string_view PASSWORD_FROM_SOURCE = "-";

// The one rule on a password's length, whatever its source: at most MAX_PASSWORD_SIZE bytes,
// as the key schedule takes.
[[nodiscard]] constexpr bool password_length_allowed(std::size_t size) {
    return size <= MAX_PASSWORD_SIZE;
}

// Fails after printing "Error! Password is longer than 255 bytes." when the password argument
// itself breaks that rule: asked first, before the run looks at anything.
[[nodiscard]] Step check_password_argument(std::string_view argument);

// A password's bytes in a buffer of fixed size, wiped when it goes. It is never copied or
// moved, so that no stray copy of the bytes is left behind in freed memory.
class PasswordBuffer {
public:
    // Room for the longest password, a CR before its line end, and one byte more, so that a
    // line too long is told from a full one.
    static constexpr std::size_t CAPACITY = MAX_PASSWORD_SIZE + 2;

    PasswordBuffer() = default;
    ~PasswordBuffer() { wipe(); }
    PasswordBuffer(const PasswordBuffer&) = delete;
    PasswordBuffer& operator=(const PasswordBuffer&) = delete;

    // Appends `byte`. Returns false, adding nothing, when the buffer is full.
    [[nodiscard]] bool push_back(char byte);

    // Removes the last byte; does nothing when empty.
    void pop_back();

    // Replaces the contents with `text`. Returns false, leaving the buffer empty, when it does
    // not fit.
    [[nodiscard]] bool assign(std::string_view text);

    // Sets every byte to zero and empties the buffer.
    void wipe();

    std::string_view view() const { return {bytes_.data(), size_}; }

private:
    std::array<char, CAPACITY> bytes_{};
    std::size_t size_ = 0;
};

// Puts into `password` the password of this run, whose password argument is `argument`:
// the argument itself, unless it is exactly "-" and QUORVEL_PASSWORD_FROM is set; then what
// that source gives (`mode` says whether a prompt asks twice). Fails after printing "Error! Can't
// read the password from 'SOURCE'." (SOURCE the variable's value; also for an unknown form, a
// prompt without a terminal, or a source that gives an empty password), "Error! Password is longer
// than 255 bytes.", or, when the two answers of a prompt differ, "Error! The passwords typed do not
// match.".
[[nodiscard]] Step resolve_password(std::string_view argument, CipherMode mode,
                                    PasswordBuffer& password);

// Overwrites every byte of the password argument in `argv` (the third after the program
// name, if any) with 'x', so that it stops showing in process lists. On Windows only the
// C runtime's copy is overwritten; the process's own command line still holds the password.
void hide_password_argument(int argc, char** argv);

}  // namespace quorvel
