#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

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
                          std::span<const std::string> arguments) {
    flush_output();
    std::vector<char*> argv;
    std::string program_text = program.string();
    argv.push_back(program_text.data());
    std::vector<std::string> copies(arguments.begin(), arguments.end());
    for (auto& argument : copies) argv.push_back(argument.data());
    argv.push_back(nullptr);

    ProcessResult result;
    pid_t child = 0;
    if (posix_spawn(&child, program_text.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        return result;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return result;
    }
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
