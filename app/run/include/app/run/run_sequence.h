// The program's run: argument check, mode choice, key material, archiver and cipher stage.
#pragma once

#include <span>
#include <string_view>

namespace quorvel {

// Process exit statuses.
inline constexpr int EXIT_OK = 0;          // the run did what was asked, or answered a question
inline constexpr int EXIT_FAILED = 1;      // any failure, "Decrypt WRONG!" included
inline constexpr int EXIT_USAGE_TEXT = 2;  // too few arguments; the usage text was shown

// Runs the program once on `args` (the arguments after the program name):
// in_fname out_fname password [key_file_name], or "--help", "-h" or "--version" alone.
// Prints everything it has to say and returns the exit status.
int run_quorvel(std::span<const std::string_view> args);

}  // namespace quorvel
