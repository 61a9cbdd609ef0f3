#include "tests/support/test_support.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#endif

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "app/process.h"

namespace quorvel::test {

namespace fs = std::filesystem;

Bytes read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void write_file(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

void write_file(const fs::path& path, const std::string& text) {
    write_file(path, to_bytes(text));
}

Bytes to_bytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes random_bytes(std::size_t count, std::uint32_t seed) {
    std::mt19937 generator(seed);
    Bytes bytes(count);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(generator());
    return bytes;
}

Block random_block(std::mt19937& generator) {
    Block block;
    for (auto& byte : block) byte = static_cast<std::uint8_t>(generator());
    return block;
}

ScratchDir::ScratchDir() {
#ifdef _WIN32
    // No mkdtemp: a random name, taken only if create_directory made it anew.
    std::random_device seed;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
        const auto candidate =
            fs::temp_directory_path() / ("quorvel-test-" + std::to_string(seed()));
        if (fs::create_directory(candidate)) path_ = candidate;
    }
    if (path_.empty()) throw std::runtime_error("cannot make a scratch folder");
#else
    std::string pattern = (fs::temp_directory_path() / "quorvel-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
#endif
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

RoundKeyTable password_keys(const std::string& password, CipherMode mode) {
    RoundKeyTable keys{};
    build_round_keys(
        keys, std::span(reinterpret_cast<const std::uint8_t*>(password.data()), password.size()),
        mode, KeySource::password);
    return keys;
}

#ifndef _WIN32
void become_program(const std::vector<std::string>& args, const fs::path& folder,
                    const RunOptions& options) {
    const int null_input = ::open("/dev/null", O_RDONLY);
    ::dup2(null_input, STDIN_FILENO);
    if (::chdir(folder.c_str()) != 0) ::_exit(127);
    if (options.path_env) ::setenv("PATH", options.path_env->c_str(), 1);
    if (options.file_size_limit) {
        ::signal(SIGXFSZ, SIG_IGN);
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

RunningProgram::RunningProgram(const std::vector<std::string>& args, const fs::path& folder,
                               const RunOptions& options) {
    int pipe_ends[2];
    if (::pipe(pipe_ends) != 0) throw std::runtime_error("pipe failed");
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        ::dup2(pipe_ends[1], STDOUT_FILENO);
        ::close(pipe_ends[0]);
        ::close(pipe_ends[1]);
        become_program(args, folder, options);
    }
    ::close(pipe_ends[1]);
    output_fd_ = pipe_ends[0];
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

ProgramRun RunningProgram::finish() {
    ProgramRun run;
    char chunk[4096];
    ssize_t got = 0;
    while ((got = ::read(output_fd_, chunk, sizeof chunk)) != 0) {
        if (got < 0) {
            if (errno == EINTR) continue;
            break;
        }
        run.output.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(output_fd_);
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

#endif  // _WIN32

}  // namespace quorvel::test
