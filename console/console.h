// The one place that talks to the user. Output rules:
// - Every message goes to standard output, never to standard error, byte for byte as given:
//   the fixed texts are the program's interface and other tools compare them exactly.
// - Error messages start "Error! " and show names between single quotes, the name printed
//   as the user typed it.
// - Standard output is flushed before a child process starts, so that redirected output
//   keeps the order a console shows.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace quorvel {

// Writes `text` as it is, without adding a line break.
void print_text(std::string_view text);

// Writes `text` followed by a line break.
void print_line(std::string_view text);

// Writes prefix + name + suffix and a line break: the shape of every message naming a file,
// for example print_named("Error! File '", path, "' not found.").
void print_named(std::string_view prefix, std::string_view name, std::string_view suffix);

// The text a message shows for `path`: on POSIX its bytes as given on the command line.
std::string display_name(const std::filesystem::path& path);

// Pushes everything printed so far to the terminal, pipe or file behind standard output.
void flush_output();

}  // namespace quorvel
