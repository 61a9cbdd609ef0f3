// What the file-safety tests need beyond the plain runner: a record of a folder to compare
// before and after a run, runs with standard output closed or a deadline, and steps for the
// child (another user, a file-size limit, standard input from a pipe).
#pragma once

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/program_runs.h"

namespace quorvel::test {

inline constexpr unsigned NOBODY = 65534;

// One entry of a folder as lstat sees it: type, mode bits, owner, and the bytes of a regular
// file or the target of a symbolic link.
struct EntryRecord {
    std::filesystem::file_type type = std::filesystem::file_type::none;
    unsigned mode = 0;
    unsigned owner = 0;
    std::string contents;
    bool operator==(const EntryRecord&) const = default;
};

// Every entry under a folder, by path relative to it; symbolic links are not followed.
using FolderRecord = std::map<std::string, EntryRecord>;

FolderRecord record_folder(const std::filesystem::path& folder);

// The entries added, removed or changed from `before` to `after`, one per line; empty when
// the folder is as it was.
std::string folder_changes(const FolderRecord& before, const FolderRecord& after);

// Names in `folder` a run must not leave: the temporary archive and the program's own
// hidden files (".quorvel-" and after).
std::vector<std::string> leftovers(const std::filesystem::path& folder);

// How the test treats the program's standard output.
enum class OutputEnd {
    read_all,                 // read to the end
    closed_at_start,          // the reading end is closed before the program writes anything
    closed_after_first_line,  // read up to the first newline, then closed
};

struct WatchOptions {
    OutputEnd output = OutputEnd::read_all;
    std::function<void()> after_close = {};  // run by the test once the reading end is closed
    std::chrono::milliseconds deadline{std::chrono::seconds(30)};  // then killed (SIGKILL)
};

// A signal by the name a trace shows.
struct SignalCase {
    const char* label;
    int signal_number;
};

// Every kind of signal whose default action ends a process: the usual ones, the rarer ones
// and a real-time one. A run must end by each of them as it would without a handler.
inline const SignalCase ENDING_SIGNALS[] = {
    {"SIGINT", SIGINT},       {"SIGQUIT", SIGQUIT}, {"SIGTERM", SIGTERM},   {"SIGHUP", SIGHUP},
    {"SIGALRM", SIGALRM},     {"SIGUSR1", SIGUSR1}, {"SIGUSR2", SIGUSR2},   {"SIGXCPU", SIGXCPU},
    {"SIGVTALRM", SIGVTALRM}, {"SIGPROF", SIGPROF}, {"SIGRTMIN", SIGRTMIN},
};

// The signals that also report a fault of a process itself, which a watchdog or `timeout -s`
// may send all the same. Sent from outside (kill), each must end a run like those above.
inline const SignalCase FAULT_SIGNALS[] = {
    {"SIGABRT", SIGABRT}, {"SIGSEGV", SIGSEGV}, {"SIGBUS", SIGBUS}, {"SIGSYS", SIGSYS},
    {"SIGTRAP", SIGTRAP}, {"SIGFPE", SIGFPE},   {"SIGILL", SIGILL},
};

// Runs the built program in `folder` like run_program, with its output handled per `watch`.
// A program still running at the deadline is killed, which shows as term_signal SIGKILL.
ProgramRun run_watched(const std::vector<std::string>& args, const std::filesystem::path& folder,
                       const RunOptions& options, const WatchOptions& watch);

// True when a child of this process can become the unprivileged user `nobody`.
bool can_become_nobody();

// Child steps for RunOptions::in_child. Each ends the child with status 126 if it fails.
void become_nobody();                // supplementary groups, group and user 65534
void limit_file_size(rlim_t bytes);  // RLIMIT_FSIZE, SIGXFSZ at its default action
void forbid_core_files();            // RLIMIT_CORE 0: a core file is not a leftover
void take_input_from_pipe(const std::string& bytes);  // standard input: a pipe holding `bytes`

// A child step: `folder` becomes a read-only mount in a mount namespace of the child's own,
// which goes with it, and the child works in that mount. Ends the child with status 126 if it
// fails.
void mount_read_only(const std::filesystem::path& folder);

// True when a child of this process can make a read-only mount of `folder` of its own.
bool can_mount_read_only(const std::filesystem::path& folder);

// Gives `path` (not followed if a link) to the unprivileged user.
void give_to_nobody(const std::filesystem::path& path);

// Makes a FIFO at `path` and keeps writing `bytes` into it, for every reader that opens it,
// until the object goes.
class FifoFeeder {
public:
    FifoFeeder(const std::filesystem::path& path, std::string bytes);
    ~FifoFeeder();
    FifoFeeder(const FifoFeeder&) = delete;
    FifoFeeder& operator=(const FifoFeeder&) = delete;

private:
    std::atomic<bool> stop_{false};
    std::thread writer_;
};

// Makes `path` (created if missing) a folder in which nothing can be made, removed or renamed,
// for as long as the object lives: mode 0500, and for root, whom modes do not stop, immutable.
class ReadOnlyFolder {
public:
    explicit ReadOnlyFolder(const std::filesystem::path& path);
    ~ReadOnlyFolder();
    ReadOnlyFolder(const ReadOnlyFolder&) = delete;
    ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;
    // False when a file could still be made there (no way to stop root on this machine).
    bool works() const;

private:
    std::filesystem::path path_;
    bool immutable_ = false;
};

// Makes a Unix socket file at `path` (bound, then the socket closed; the file stays).
void make_socket_file(const std::filesystem::path& path);

// Waits up to ten seconds for `predicate`; returns its last value.
bool wait_until(const std::function<bool()>& predicate);

// Waits up to `limit` for `program` to end, kills it (SIGKILL) after that, and collects it.
ProgramRun finish_within(RunningProgram& program, std::chrono::milliseconds limit);

// The process id written in `file`, 0 when there is none yet.
int pid_in(const std::filesystem::path& file);

}  // namespace quorvel::test
