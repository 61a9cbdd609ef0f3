#include "cli/file_checks.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>

namespace quorvel::test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

EntryRecord record_entry(const fs::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) throw std::runtime_error("lstat " + path.string());
    EntryRecord entry;
    entry.type = fs::symlink_status(path).type();
    entry.mode = info.st_mode & 07777u;
    entry.owner = info.st_uid;
    if (S_ISREG(info.st_mode)) {
        // In one read, not byte by byte: a case's folder may hold 64 MiB.
        std::ifstream in(path, std::ios::binary);
        entry.contents.resize(static_cast<std::size_t>(info.st_size));
        in.read(entry.contents.data(), static_cast<std::streamsize>(entry.contents.size()));
        entry.contents.resize(static_cast<std::size_t>(in.gcount()));
        // Whatever was appended since the size was taken is contents too.
        entry.contents.append(std::istreambuf_iterator<char>(in), {});
    } else if (S_ISLNK(info.st_mode)) {
        entry.contents = fs::read_symlink(path).string();
    }
    return entry;
}

int remaining_ms(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Reads the program's output until the end, the first newline when `first_line_only`, or
// the deadline. Returns false at the deadline.
bool read_output(int fd, bool first_line_only, Clock::time_point deadline, std::string& output) {
    char chunk[4096];
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        const int polled = ::poll(&ready, 1, remaining_ms(deadline));
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) return false;
        const ssize_t got = ::read(fd, chunk, first_line_only ? 1 : sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return true;
        output.append(chunk, static_cast<std::size_t>(got));
        if (first_line_only && output.back() == '\n') return true;
    }
}

// Waits for the child; kills it when the deadline passes first.
int wait_for_child(pid_t pid, Clock::time_point deadline) {
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) return status;
        if (done < 0 && errno != EINTR) throw std::runtime_error("waitpid failed");
        if (Clock::now() > deadline) {
            ::kill(pid, SIGKILL);  // not yet waited for: the id is still this child's
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return status;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace

FolderRecord record_folder(const fs::path& folder) {
    FolderRecord record;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        record[entry.path().lexically_relative(folder).string()] = record_entry(entry.path());
    }
    return record;
}

std::string folder_changes(const FolderRecord& before, const FolderRecord& after) {
    std::set<std::string> names;
    for (const auto& [name, entry] : before) names.insert(name);
    for (const auto& [name, entry] : after) names.insert(name);
    std::string changes;
    for (const auto& name : names) {
        const auto old_entry = before.find(name);
        const auto new_entry = after.find(name);
        if (old_entry == before.end()) {
            changes += "added '" + name + "'\n";
        } else if (new_entry == after.end()) {
            changes += "removed '" + name + "'\n";
        } else if (!(old_entry->second == new_entry->second)) {
            changes += "changed '" + name + "'\n";
        }
    }
    return changes;
}

std::vector<std::string> leftovers(const fs::path& folder) {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const auto name = entry.path().filename().string();
        if (name == "quorvelxxxfilo.7z" || name.rfind(".quorvel-", 0) == 0) found.push_back(name);
    }
    return found;
}

ProgramRun run_watched(const std::vector<std::string>& args, const fs::path& folder,
                       const RunOptions& options, const WatchOptions& watch) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    // Closed before the fork, the reading end is gone before the program can write.
    if (watch.output == OutputEnd::closed_at_start) ::close(ends[0]);
    const auto deadline = Clock::now() + watch.deadline;
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::dup2(ends[1], STDOUT_FILENO);
        become_program(args, folder, options);
    }
    ::close(ends[1]);
    ProgramRun run;
    bool in_time = true;
    if (watch.output != OutputEnd::closed_at_start) {
        in_time = read_output(ends[0], watch.output == OutputEnd::closed_after_first_line, deadline,
                              run.output);
        ::close(ends[0]);
    }
    if (watch.after_close) watch.after_close();
    const int status = wait_for_child(pid, in_time ? deadline : Clock::now());
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.term_signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return run;
}

void become_nobody() {
    if (::setgroups(0, nullptr) != 0 || ::setgid(NOBODY) != 0 || ::setuid(NOBODY) != 0) {
        ::_exit(126);
    }
}

bool can_become_nobody() {
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        become_nobody();
        ::_exit(::geteuid() == NOBODY && ::setuid(0) != 0 ? 0 : 1);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void limit_file_size(rlim_t bytes) {
    ::signal(SIGXFSZ, SIG_DFL);
    const rlimit limit{bytes, bytes};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(126);
}

void forbid_core_files() {
    const rlimit none{0, 0};
    if (::setrlimit(RLIMIT_CORE, &none) != 0) ::_exit(126);
}

void take_input_from_pipe(const std::string& bytes) {
    int ends[2];
    if (::pipe(ends) != 0) ::_exit(126);
    // Small enough for the pipe's buffer: written whole before anyone reads.
    if (::write(ends[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        ::_exit(126);
    }
    ::close(ends[1]);
    ::dup2(ends[0], STDIN_FILENO);
    ::close(ends[0]);
}

ReadOnlyFolder::ReadOnlyFolder(const fs::path& path) : path_(path) {
    fs::create_directories(path_);
    fs::permissions(path_, fs::perms::owner_read | fs::perms::owner_exec);
    // Root ignores permissions; an immutable folder stops root as well.
    if (::geteuid() == 0)
        immutable_ = std::system(("chattr +i '" + path_.string() + "' 2>/dev/null").c_str()) == 0;
}

ReadOnlyFolder::~ReadOnlyFolder() {
    // A failure here leaves only the scratch folder behind; the test has its answer.
    if (immutable_ && std::system(("chattr -i '" + path_.string() + "'").c_str()) != 0) return;
    fs::permissions(path_, fs::perms::owner_all);
}

bool ReadOnlyFolder::works() const {
    const auto probe = path_ / "probe";
    std::FILE* file = std::fopen(probe.c_str(), "wb");
    if (file == nullptr) return true;
    std::fclose(file);
    fs::remove(probe);
    return false;
}

void mount_read_only(const fs::path& folder) {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        ::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0 ||
        ::chdir(folder.c_str()) != 0) {
        ::_exit(126);
    }
}

bool can_mount_read_only(const fs::path& folder) {
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        mount_read_only(folder);
        ::_exit(0);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void give_to_nobody(const fs::path& path) {
    if (::lchown(path.c_str(), NOBODY, NOBODY) != 0) {
        throw std::runtime_error("cannot give " + path.string() + " to nobody");
    }
}

FifoFeeder::FifoFeeder(const fs::path& path, std::string bytes) {
    if (::mkfifo(path.c_str(), 0644) != 0) throw std::runtime_error("mkfifo " + path.string());
    writer_ = std::thread([this, path, bytes = std::move(bytes)] {
        // A reader that closes early makes the write fail with EPIPE instead of a signal.
        sigset_t pipe_signal;
        sigemptyset(&pipe_signal);
        sigaddset(&pipe_signal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
        while (!stop_) {
            const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) {
                [[maybe_unused]] const auto written = ::write(fd, bytes.data(), bytes.size());
                ::close(fd);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
}

FifoFeeder::~FifoFeeder() {
    stop_ = true;
    writer_.join();
}

void make_socket_file(const fs::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.native().size() >= sizeof address.sun_path) throw std::runtime_error("long path");
    std::strcpy(address.sun_path, path.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    if (!bound) throw std::runtime_error("bind " + path.string());
}

bool wait_until(const std::function<bool()>& predicate) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!predicate()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

ProgramRun finish_within(RunningProgram& program, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(program.pid()), &info, WEXITED | WNOHANG | WNOWAIT) !=
                0 ||
            info.si_pid != 0) {
            return program.finish();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    program.send_signal(SIGKILL);
    return program.finish();
}

int pid_in(const fs::path& file) {
    std::ifstream in(file);
    int pid = 0;
    in >> pid;
    return pid;
}

}  // namespace quorvel::test
