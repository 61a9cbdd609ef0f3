#include "support/program_runs.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

#include "app/process/process.h"

namespace quorvel::test {

namespace fs = std::filesystem;

namespace {

void redirect_output(Output output) {
    if (output == Output::descriptor_closed) ::close(STDOUT_FILENO);
    if (output != Output::reader_closed) return;
    int pipe_ends[2];
    if (::pipe(pipe_ends) != 0) ::_exit(127);
    ::dup2(pipe_ends[1], STDOUT_FILENO);
    ::close(pipe_ends[0]);
    ::close(pipe_ends[1]);
}

}  // namespace

void become_program(const std::vector<std::string>& args, const fs::path& folder,
                    const RunOptions& options) {
    const int null_input = ::open("/dev/null", O_RDONLY);
    ::dup2(null_input, STDIN_FILENO);
    if (::chdir(folder.c_str()) != 0) ::_exit(127);
    if (options.path_env) ::setenv("PATH", options.path_env->c_str(), 1);
    redirect_output(options.output);
    if (options.ignored_signal) ::signal(*options.ignored_signal, SIG_IGN);
    for (const auto& [name, value] : options.environment) {
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    if (options.file_size_limit) {
        if (options.size_signal_ignored) ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{*options.file_size_limit, *options.file_size_limit};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (options.in_child) options.in_child();
    std::vector<char*> argv;
    std::string binary = QUORVEL_BINARY;
    argv.push_back(binary.data());
    std::vector<std::string> copies = args;
    for (auto& arg : copies) argv.push_back(arg.data());
    argv.push_back(nullptr);
    ::execv(binary.c_str(), argv.data());
    ::_exit(127);
}

namespace {

struct Pipe {
    int read_end = -1;
    int write_end = -1;
};

Pipe make_pipe() {
    int ends[2];
    if (::pipe(ends) != 0) throw std::runtime_error("pipe failed");
    return {ends[0], ends[1]};
}

void close_if_open(int fd) {
    if (fd >= 0) ::close(fd);
}

// Reads `fds` (a -1 entry is skipped) until each reaches its end, all at once so that neither
// stream can stall the program on a full pipe. A pseudo-terminal ends with EIO once the
// program and its descendants have let go of it.
void read_until_end(std::array<int, 2> fds, std::array<std::string*, 2> into) {
    for (;;) {
        std::array<pollfd, 2> polls{};
        nfds_t count = 0;
        std::array<std::size_t, 2> which{};
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i] < 0) continue;
            polls[count] = {fds[i], POLLIN, 0};
            which[count++] = i;
        }
        if (count == 0) return;
        if (::poll(polls.data(), count, -1) < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("poll failed");
        }
        for (nfds_t p = 0; p < count; ++p) {
            if (polls[p].revents == 0) continue;
            const std::size_t i = which[p];
            char chunk[4096];
            const ssize_t got = ::read(fds[i], chunk, sizeof chunk);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                ::close(fds[i]);
                fds[i] = -1;
            } else {
                into[i]->append(chunk, static_cast<std::size_t>(got));
            }
        }
    }
}

}  // namespace

RunningProgram::RunningProgram(const std::vector<std::string>& args, const fs::path& folder,
                               const RunOptions& options) {
    const bool on_terminal =
        options.errors == ErrorSink::terminal || options.errors == ErrorSink::terminal_with_output;
    Pipe output;
    Pipe errors;
    if (options.errors != ErrorSink::terminal_with_output) output = make_pipe();
    if (options.errors == ErrorSink::pipe) errors = make_pipe();
    int terminal = -1;
    // forkpty gives the child the terminal as all three streams; the pipes then replace the
    // ones that do not go there.
    pid_ = on_terminal ? ::forkpty(&terminal, nullptr, nullptr, nullptr) : ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        if (output.write_end >= 0) ::dup2(output.write_end, STDOUT_FILENO);
        if (errors.write_end >= 0) ::dup2(errors.write_end, STDERR_FILENO);
        for (const int fd :
             {output.read_end, output.write_end, errors.read_end, errors.write_end}) {
            close_if_open(fd);
        }
        become_program(args, folder, options);
    }
    close_if_open(output.write_end);
    close_if_open(errors.write_end);
    output_fd_ = options.errors == ErrorSink::terminal_with_output ? terminal : output.read_end;
    errors_fd_ = options.errors == ErrorSink::pipe       ? errors.read_end
                 : options.errors == ErrorSink::terminal ? terminal
                                                         : -1;
}

RunningProgram::~RunningProgram() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        finish();
    }
}

void RunningProgram::send_signal(int signal_number) const {
    ::kill(pid_, signal_number);
}

void RunningProgram::close_output() {
    if (output_fd_ >= 0) ::close(output_fd_);
    output_fd_ = -1;
}

ProgramRun RunningProgram::finish() {
    ProgramRun run;
    read_until_end({output_fd_, errors_fd_}, {&run.output, &run.errors});
    output_fd_ = errors_fd_ = -1;
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.term_signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return run;
}

ProgramRun run_program(const std::vector<std::string>& args, const fs::path& folder,
                       const RunOptions& options) {
    return RunningProgram(args, folder, options).finish();
}

void write_script(const fs::path& folder, const std::string& name, const std::string& body) {
    fs::create_directories(folder);
    write_file(folder / name, "#!/bin/sh\nPATH=/usr/local/bin:/usr/bin:/bin\n" + body + "\n");
    fs::permissions(folder / name, fs::perms::owner_all | fs::perms::group_read |
                                       fs::perms::group_exec | fs::perms::others_read |
                                       fs::perms::others_exec);
}

std::string quiet_archiver_path(const fs::path& folder) {
    const std::array<std::string_view, 3> names{"7zz", "7z", "7za"};
    const auto real = find_program(names);
    if (!real) throw std::runtime_error("no 7-Zip archiver on PATH");
    write_script(folder, "7z", "exec '" + real->string() + "' \"$@\" > /dev/null");
    return folder.string();
}

}  // namespace quorvel::test
