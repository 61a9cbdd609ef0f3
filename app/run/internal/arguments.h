// The arguments of a run, read once: each file name as typed (for the messages) beside the path
// it names (for everything else).
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string_view>

namespace quorvel {

// A file the user named.
struct NamedFile {
    std::string_view typed;      // as given, for the messages
    std::filesystem::path path;  // what it names (process/command_line.h: argument_path)
};

struct RunArguments {
    NamedFile input;
    NamedFile output;
    std::string_view password;          // the argument; the password itself once resolved
    std::optional<NamedFile> key_file;  // only with exactly four arguments
};

// The arguments `args` hold, or nullopt for fewer than three (the usage text is due). A fifth
// and further arguments are ignored, and with them the key file.
[[nodiscard]] std::optional<RunArguments> read_run_arguments(
    std::span<const std::string_view> args);

}  // namespace quorvel
