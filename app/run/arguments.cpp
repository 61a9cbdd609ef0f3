#include "internal/arguments.h"

#include "app/process/command_line.h"

namespace quorvel {

namespace {

constexpr std::size_t KEY_FILE_COUNT = 4;  // arguments with a key file; more use none

NamedFile named(std::string_view typed) {
    return {typed, argument_path(typed)};
}

}  // namespace

std::optional<RunArguments> read_run_arguments(std::span<const std::string_view> args) {
    if (args.size() < 3) return std::nullopt;
    RunArguments arguments{named(args[0]), named(args[1]), args[2], std::nullopt};
    if (args.size() == KEY_FILE_COUNT) arguments.key_file = named(args[3]);
    return arguments;
}

}  // namespace quorvel
