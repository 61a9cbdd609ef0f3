// What the program says when asked about itself, on standard output: a short help and the
// version. Both answer a single argument, as age, gpg and 7z answer theirs.
#pragma once

#include <string_view>

namespace quorvel::say {

// The arguments that ask for them, each valid only as the one argument of a run.
inline constexpr std::string_view HELP_ARGUMENT = "--help";
inline constexpr std::string_view SHORT_HELP_ARGUMENT = "-h";
inline constexpr std::string_view VERSION_ARGUMENT = "--version";

// The synopsis, the environment variables, the exit statuses and where the manual is.
void help();

// "quorvel VERSION".
void version();

}  // namespace quorvel::say
