// The built program run as a user runs it, through POSIX process calls: its standard
// streams, environment and limits set for the run, and what it wrote and how it ended read
// back. Only the end-to-end tests link this, and they wait for the program to be built.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace quorvel::test {

// The result of one run of the built program.
struct ProgramRun {
    int exit_code = -1;   // the exit status; -1 when the program did not exit normally
    int term_signal = 0;  // the signal that ended it, 0 when it exited
    std::string output;   // everything it wrote to standard output
    std::string errors;   // what it wrote to standard error, when RunOptions::errors keeps it
};

// Where the program's standard error goes.
enum class ErrorSink : std::uint8_t {
    inherited,             // the test program's own standard error
    pipe,                  // a pipe, read into ProgramRun::errors
    terminal,              // a pseudo-terminal, read into ProgramRun::errors
    terminal_with_output,  // one pseudo-terminal for both streams, read into ProgramRun::output
                           // (the terminal turns each "\n" into "\r\n")
};

// Where the program's standard output leads.
enum class Output {
    read,               // a pipe read by the test, the text is in ProgramRun::output
    reader_closed,      // a pipe whose reading end is closed: writes fail with EPIPE
    descriptor_closed,  // no descriptor 1 at all: writes fail with EBADF
};

struct RunOptions {
    std::optional<std::string> path_env;           // replaces PATH (where the archiver is found)
    std::optional<std::uint64_t> file_size_limit;  // RLIMIT_FSIZE
    bool size_signal_ignored = true;  // with a limit: SIGXFSZ ignored, as some shells leave it
    Output output = Output::read;
    std::optional<int> ignored_signal;  // ignored from the start, as nohup does with SIGHUP
    ErrorSink errors = ErrorSink::inherited;
    std::vector<std::pair<std::string, std::string>> environment;  // variables set, by name
    std::function<void()> in_child = {};  // last step in the child before the program starts
};

// For a freshly forked child: standard input from /dev/null, `folder` as the working folder,
// `options` applied, then the built program run with `args`. Never returns (exit status 127
// when the program cannot be started).
[[noreturn]] void become_program(const std::vector<std::string>& args,
                                 const std::filesystem::path& folder,
                                 const RunOptions& options = {});

// The built program running in the background; finish() reads what it writes and waits for
// it to end.
class RunningProgram {
public:
    RunningProgram(const std::vector<std::string>& args, const std::filesystem::path& folder,
                   const RunOptions& options = {});
    ~RunningProgram();
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;

    void send_signal(int signal_number) const;
    // The program's process id, until finish().
    int pid() const { return pid_; }
    // Closes the reading end of the program's standard output.
    void close_output();
    ProgramRun finish();

private:
    int pid_ = -1;
    int output_fd_ = -1;
    int errors_fd_ = -1;  // -1 when standard error is not read
};

// Runs the built quorvel binary with `args` in `folder`, standard input from /dev/null.
ProgramRun run_program(const std::vector<std::string>& args, const std::filesystem::path& folder,
                       const RunOptions& options = {});

// Writes an executable script `name` into `folder` with `body` after the "#!/bin/sh" line.
void write_script(const std::filesystem::path& folder, const std::string& name,
                  const std::string& body);

// Makes `folder` hold a "7z" that runs the system's real archiver with its own output
// discarded, so that a run's standard output is the program's alone and can be compared
// byte for byte. Returns the PATH value that selects it.
std::string quiet_archiver_path(const std::filesystem::path& folder);

}  // namespace quorvel::test
