// Shared helpers of the test programs: files, scratch folders, in-memory streams and a
// runner for the built program.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "cipher/key_schedule.h"
#include "container/byte_stream.h"
#include "tests/support/memory_streams.h"

namespace quorvel::test {

Bytes read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const Bytes& bytes);
void write_file(const std::filesystem::path& path, const std::string& text);
Bytes to_bytes(const std::string& text);
Bytes random_bytes(std::size_t count, std::uint32_t seed);
Block random_block(std::mt19937& generator);

// A fresh empty folder, removed with everything in it when the object goes.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Keys of a password, in the given form, as the program derives them.
RoundKeyTable password_keys(const std::string& password, CipherMode mode);

// The rest runs programs through POSIX calls; the Windows build of the tests has none of it.

// The result of one run of the built program.
struct ProgramRun {
    int exit_code = -1;   // the exit status; -1 when the program did not exit normally
    int term_signal = 0;  // the signal that ended it, 0 when it exited
    std::string output;   // everything it wrote to standard output
};

struct RunOptions {
    std::optional<std::string> path_env;           // replaces PATH (where the archiver is found)
    std::optional<std::uint64_t> file_size_limit;  // RLIMIT_FSIZE, with SIGXFSZ ignored
    std::function<void()> in_child = {};  // last step in the child before the program starts
};

// For a freshly forked child: standard input from /dev/null, `folder` as the working folder,
// `options` applied, then the built program run with `args`. Never returns (exit status 127
// when the program cannot be started).
[[noreturn]] void become_program(const std::vector<std::string>& args,
                                 const std::filesystem::path& folder,
                                 const RunOptions& options = {});

// The built program running in the background; finish() waits for it.
class RunningProgram {
public:
    RunningProgram(const std::vector<std::string>& args, const std::filesystem::path& folder,
                   const RunOptions& options = {});
    ~RunningProgram();
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;

    void send_signal(int signal_number) const;
    ProgramRun finish();

private:
    int pid_ = -1;
    int output_fd_ = -1;
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
