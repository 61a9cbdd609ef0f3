#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "app/interrupt_cleanup_posix.h"
#include "app/process.h"
#include "console/console.h"

extern char** environ;

namespace quorvel {

namespace {

bool is_executable_file(const std::filesystem::path& candidate) {
    struct stat info;
    return ::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(candidate.c_str(), X_OK) == 0;
}

std::vector<std::filesystem::path> path_folders() {
    const char* path = std::getenv("PATH");
    const std::string_view list = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    std::vector<std::filesystem::path> folders;
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t end = std::min(list.find(':', start), list.size());
        const auto folder = list.substr(start, end - start);
        folders.emplace_back(folder.empty() ? std::string_view(".") : folder);  // "" is here
        start = end + 1;
    }
    return folders;
}

}  // namespace

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

    // The interrupt handler must know the child from the moment it exists, so the signals
    // stay blocked until its id is recorded; the child starts with them unblocked and at
    // their default actions.
    sigset_t interrupts, saved_mask, empty_mask;
    sigemptyset(&interrupts);
    sigemptyset(&empty_mask);
    for (const int signal_number : interrupt_signals()) sigaddset(&interrupts, signal_number);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setsigmask(&attributes, &empty_mask);
    posix_spawnattr_setsigdefault(&attributes, &interrupts);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    sigprocmask(SIG_BLOCK, &interrupts, &saved_mask);
    const mode_t saved_umask = ::umask(077);
    if (new_files == NewFiles::as_usual) ::umask(saved_umask);
    pid_t child = 0;
    const int spawned =
        posix_spawn(&child, program_text.c_str(), nullptr, &attributes, argv.data(), environ);
    ::umask(saved_umask);
    if (spawned == 0) set_interrupted_child(child);
    sigprocmask(SIG_SETMASK, &saved_mask, nullptr);
    posix_spawnattr_destroy(&attributes);

    ProcessResult result;
    if (spawned != 0) return result;
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            set_interrupted_child(0);
            return result;
        }
    }
    set_interrupted_child(0);
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
