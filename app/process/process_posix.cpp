#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "app/process/process.h"
#include "app/signals/interrupt_cleanup.h"
#include "app/signals/signals_posix.h"
#include "console/console.h"

extern char** environ;

namespace quorvel {

namespace {

// The signals prepare_process ignores.
constexpr std::array IGNORED_SIGNALS{SIGPIPE, SIGXFSZ};

// Those of IGNORED_SIGNALS that were not ignored already when the program started: a started
// program gets them back at their default action.
sigset_t signals_to_restore;

void ignore_write_signals() {
    sigemptyset(&signals_to_restore);
    for (const int signal_number : IGNORED_SIGNALS) {
        if (::signal(signal_number, SIG_IGN) != SIG_IGN) {
            sigaddset(&signals_to_restore, signal_number);
        }
    }
}

// The standard descriptors found closed at the start, by number.
std::array<bool, 3> reopened{};

void open_closed_standard_descriptors() {
    for (const int descriptor : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (::fcntl(descriptor, F_GETFD) >= 0 || errno != EBADF) continue;
        reopened[static_cast<std::size_t>(descriptor)] = true;
        // The lowest free number is the closed one: open takes it.
        const int null_device =
            ::open("/dev/null", descriptor == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null_device >= 0 && null_device != descriptor) ::close(null_device);
    }
}

void disable_core_dumps() {
    const rlimit none{0, 0};
    ::setrlimit(RLIMIT_CORE, &none);
}

}  // namespace

bool reopened_at_start(int descriptor) {
    return descriptor >= 0 && descriptor < 3 && reopened[static_cast<std::size_t>(descriptor)];
}

namespace {

bool is_executable_file(const std::filesystem::path& candidate) {
    struct stat info;
    return ::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(candidate.c_str(), X_OK) == 0;
}

// The absolute folders of PATH. An empty entry means the current folder to a shell, and a
// relative one a folder below it; both are skipped, as a decryption may just have extracted
// a program named like the archiver there.
std::vector<std::filesystem::path> path_folders() {
    const char* path = std::getenv("PATH");
    const std::string_view list = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    std::vector<std::filesystem::path> folders;
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t end = std::min(list.find(':', start), list.size());
        const auto folder = list.substr(start, end - start);
        if (folder.starts_with('/')) folders.emplace_back(folder);
        start = end + 1;
    }
    return folders;
}

// The child's standard output goes to the null device once ours is gone: an archiver writing
// its report into a closed pipe would be ended by SIGPIPE before finishing its work.
void redirect_lost_output(posix_spawn_file_actions_t& actions) {
    if (output_available()) return;
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
}

// The controlling terminal's settings as they are before a child starts, when the run is in
// its foreground, for the interrupt cleanup to give back (set_terminal_to_restore): the
// archiver turns echo off to ask a password of its own, and when it is killed meanwhile it
// cannot turn echo on again.
class TerminalBeforeChild {
public:
    TerminalBeforeChild() : fd_(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC)) {
        found_ = fd_ >= 0 && ::tcgetpgrp(fd_) == ::getpgrp() && ::tcgetattr(fd_, &settings_) == 0;
    }
    ~TerminalBeforeChild() {
        if (fd_ >= 0) ::close(fd_);
    }
    TerminalBeforeChild(const TerminalBeforeChild&) = delete;
    TerminalBeforeChild& operator=(const TerminalBeforeChild&) = delete;

    // Lends the terminal to the interrupt cleanup, or takes it back. Call inside
    // InterruptsDeferred.
    void lend() const {
        if (found_) set_terminal_to_restore(fd_, settings_);
    }
    void take_back() const {
        if (found_) forget_terminal_to_restore();
    }

private:
    int fd_ = -1;
    termios settings_{};
    bool found_ = false;
};

bool wait_for_child(pid_t child, int& status) {
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

}  // namespace

void prepare_process() {
    ignore_write_signals();
    open_closed_standard_descriptors();
    disable_core_dumps();
}

std::optional<std::filesystem::path> find_program(std::span<const std::string_view> names) {
    const auto folders = path_folders();
    for (const auto name : names) {
        for (const auto& folder : folders) {
            auto candidate = folder / name;
            if (is_executable_file(candidate)) return candidate;
        }
    }
    return std::nullopt;
}

ProcessResult run_process(const std::filesystem::path& program,
                          std::span<const std::string> arguments, NewFiles new_files) {
    flush_output();
    std::vector<char*> argv;
    std::string program_text = program.string();
    argv.push_back(program_text.data());
    std::vector<std::string> copies(arguments.begin(), arguments.end());
    for (auto& argument : copies) argv.push_back(argument.data());
    argv.push_back(nullptr);

    // The interrupt handler must know the child from the moment it exists, so the cleanup is
    // deferred until its id is recorded; the child starts with no signal blocked. Caught
    // signals are at their default action after exec anyway; the ones this program ignores
    // are set back explicitly, and a signal ignored by whoever started us stays ignored.
    sigset_t empty_mask;
    sigemptyset(&empty_mask);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setsigmask(&attributes, &empty_mask);
    posix_spawnattr_setsigdefault(&attributes, &signals_to_restore);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    redirect_lost_output(actions);
    const bool had_output = output_available();

    const TerminalBeforeChild terminal;
    pid_t child = 0;
    int spawned = 0;
    {
        const InterruptsDeferred deferred;
        const mode_t saved_umask = ::umask(077);
        if (new_files == NewFiles::as_usual) ::umask(saved_umask);
        spawned =
            posix_spawn(&child, program_text.c_str(), &actions, &attributes, argv.data(), environ);
        ::umask(saved_umask);
        if (spawned == 0) {
            set_interrupted_child(child);
            terminal.lend();
        }
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);

    ProcessResult result;
    if (spawned != 0) return result;
    int status = 0;
    // Waited for with the signals let in: an ending signal meanwhile is passed on to the child.
    const bool waited = wait_for_child(child, status);
    {
        const InterruptsDeferred deferred;
        set_interrupted_child(0);
        terminal.take_back();
    }
    if (!waited) return result;
    flush_output();  // finds out whether standard output went while the child ran
    result.lost_output = had_output && !output_available();
    if (WIFEXITED(status)) {
        result.outcome = ProcessResult::Outcome::exited;
        result.code = WEXITSTATUS(status);
    } else {
        result.outcome = ProcessResult::Outcome::killed;
        result.code = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
    return result;
}

}  // namespace quorvel
