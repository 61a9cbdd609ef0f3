// Writing to the console, for the program's top layer, whose texts are in
// app/messages/. Output rules:
// - Every message goes to standard output, byte for byte as given. Warnings, hints and the
//   causes of failures go to standard error, so that they never change what standard output
//   carries; a cause only when standard output is not a terminal.
// - Standard output is flushed before a child process starts, so that redirected output
//   keeps the order a console shows.
// - Names are shown as given: on POSIX the bytes of the command line, on Windows the UTF-8 of
//   the Unicode name (WTF-8 for the rare name that is not valid UTF-16); only their control
//   characters are shown escaped (printable_name), so that a name can neither steer the
//   terminal nor forge a line of the program's own.
// - Once a write or flush to standard output fails (a pipe whose reader is gone, a closed
//   descriptor, a full disk), nothing more is written to it: the run still finishes its file
//   work, and a lost output alone does not make it fail.
// - A status line (the progress meter) goes to standard error, and only when standard error
//   is a terminal; it is erased before anything else is printed, so a terminal never shows it
//   mixed into a message, and standard output carries none of it.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace quorvel {

// Writes `text` as it is, without adding a line break.
void print_text(std::string_view text);

// Writes `text` followed by a line break.
void print_line(std::string_view text);

// Writes prefix + printable_name(name) + suffix and a line break: the shape of every message
// naming a file, for example print_named("Error! File '", path, "' not found."). Allocates
// nothing, so that it can tell of a failed allocation.
void print_named(std::string_view prefix, std::string_view name, std::string_view suffix);

// `name` with each control character escaped: "\n", "\r", "\t", "\xHH" for the other C0
// characters, DEL and a byte of the C1 range outside any UTF-8 sequence, "\u00HH" for a C1
// character in UTF-8. Everything else, other non-ASCII UTF-8 and a backslash included, is left
// as it is.
[[nodiscard]] std::string printable_name(std::string_view name);

// The text a message shows for `path`: on POSIX its bytes as given on the command line, on
// Windows its WTF-8 form (console/wtf8.h).
[[nodiscard]] std::string display_name(const std::filesystem::path& path);

// Writes `text` and a line break to standard error: a warning, which must leave standard
// output as it would be without it. What standard output holds is pushed out first, so that
// on a terminal showing both the warning comes after the messages before it.
void print_warning_line(std::string_view text);

// Writes `prefix`, `text` and a line break to standard error, as print_warning_line does,
// but only when standard output is not a terminal: the cause of a failure whose message went
// to a pipe or a file the user may not watch. A terminal shows the message itself. Allocates
// nothing, so that it can tell of a failed allocation.
void print_cause_line(std::string_view prefix, std::string_view text);

// Pushes everything printed so far to the terminal, pipe or file behind standard output. On
// POSIX it also notices a pipe or socket whose reader is gone, even with nothing to write.
void flush_output();

// Pushes everything printed so far out, as flush_output does, and tells whether all of it was
// written: false once a write or flush has failed. A reader that has gone after taking
// everything (`quorvel --help | head -1`) does not count against it.
[[nodiscard]] bool output_written();

// False once standard output has been found gone (see the rules above); a program started
// from then on gets the null device as its standard output.
[[nodiscard]] bool output_available();

// True when standard error is a terminal (a console on Windows).
[[nodiscard]] bool status_line_possible();

// Replaces the status line on standard error with `text` (one line, no line break). Does
// nothing unless status_line_possible().
void show_status(std::string_view text);

// Erases the status line, if one is shown, and puts the cursor back at the start of the line.
void clear_status();

// clear_status() for a run that an interrupt ends: async-signal-safe on POSIX (one write(2)
// of fixed storage), for the signal handler or the console-event thread, so that the shell's
// prompt does not follow half a meter.
void clear_status_at_interrupt();

}  // namespace quorvel
