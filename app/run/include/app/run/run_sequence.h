// The program's run: argument check, mode choice, key material, archiver and cipher stage.
#pragma once

#include <span>
#include <string_view>

#include "app/messages/outcome.h"

namespace quorvel {

// Runs the program once on `args` (the arguments after the program name):
// in_fname out_fname password [key_file_name], or "--help", "-h" or "--version" alone.
// Prints everything it has to say and returns how the run ended (outcome.h gives the exit
// status of each ending).
[[nodiscard]] RunOutcome run_quorvel(std::span<const std::string_view> args);

}  // namespace quorvel
