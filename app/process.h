// Starting another program directly, with an argument vector and no command interpreter,
// so that every argument arrives as exactly one argument whatever characters it holds.
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quorvel {

struct ProcessResult {
    enum class Outcome { exited, killed, not_started };
    Outcome outcome = Outcome::not_started;
    int code = 0;  // the exit status, or the signal that ended the process

    bool succeeded() const { return outcome == Outcome::exited && code == 0; }
};

// Looks for each of `names`, in order, in the folders of PATH (on Windows first in the
// current folder, as the command interpreter would). Returns the first that exists.
std::optional<std::filesystem::path> find_program(std::span<const std::string_view> names);

// Who may read the files a started program creates.
enum class NewFiles {
    as_usual,    // as the user's settings say
    owner_only,  // readable by their owner only (a umask of 077 on POSIX)
};

// Flushes standard output, runs `program` with `arguments` (not counting the program
// itself) in the current folder, and waits for it to end. The child shares the console; an
// interrupt meanwhile is passed on to it (see interrupt_cleanup.h).
ProcessResult run_process(const std::filesystem::path& program,
                          std::span<const std::string> arguments,
                          NewFiles new_files = NewFiles::as_usual);

}  // namespace quorvel
