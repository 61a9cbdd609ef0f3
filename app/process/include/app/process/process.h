// Starting another program directly, with an argument vector and no command interpreter,
// so that every argument arrives as exactly one argument whatever characters it holds.
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quorvel {

// Call first in main. On POSIX: SIGPIPE and SIGXFSZ are ignored, so that a closed standard
// output or a file-size limit makes a write fail (EPIPE, EFBIG) instead of ending the process
// with its temporary files left; any of the three standard descriptors found closed is opened
// on the null device, so that no file the run opens takes its number and receives messages;
// core dumps are turned off, as one would hold key material and plaintext. Nothing on Windows.
void prepare_process();

// True when standard descriptor `descriptor` was closed when the program started and
// prepare_process opened it on the null device: no name the user gives stands for it.
[[nodiscard]] bool reopened_at_start(int descriptor);

struct ProcessResult {
    enum class Outcome { exited, killed, not_started };
    Outcome outcome = Outcome::not_started;
    int code = 0;              // the exit status, or the signal that ended the process
    bool lost_output = false;  // standard output was found gone while the program ran

    bool succeeded() const { return outcome == Outcome::exited && code == 0; }
};

// Looks for each of `names`, in order, and returns the first that exists. On POSIX in the
// absolute folders of PATH; empty and relative entries are skipped, as they name the current
// folder, where an extracted archive may have left a program of that name. On Windows in the
// folder of this program, then in the folders of PATH, then in the current folder last.
[[nodiscard]] std::optional<std::filesystem::path> find_program(
    std::span<const std::string_view> names);

// Who may read the files a started program creates.
enum class NewFiles {
    as_usual,    // as the user's settings say
    owner_only,  // readable by their owner only (a umask of 077 on POSIX)
};

// Flushes standard output, runs `program` with `arguments` (not counting the program
// itself) in the current folder, and waits for it to end. The child shares the console, or
// writes to the null device once standard output is gone (console.h: output_available). On
// POSIX it starts with no signal blocked and each at the action this program found at its
// start (SIGPIPE and SIGXFSZ included), in this program's process group, so that it can ask
// at the terminal and Ctrl+C reaches it. An interrupt meanwhile is passed on to it, and on
// POSIX the child killed if it has not ended within CHILD_GRACE_PERIOD (see
// interrupt_cleanup.h, signals_posix.h). On Windows the command line is built for 7-Zip's
// splitting rule (windows_command_line.h); an argument holding a double quote, which that
// rule cannot carry, leaves the program not started.
[[nodiscard]] ProcessResult run_process(const std::filesystem::path& program,
                                        std::span<const std::string> arguments,
                                        NewFiles new_files = NewFiles::as_usual);

}  // namespace quorvel
