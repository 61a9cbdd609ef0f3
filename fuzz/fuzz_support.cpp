#include "fuzz_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>

namespace quorvel::fuzz {

namespace fs = std::filesystem;

namespace {

// A folder kept in memory, where there is one: every input is written to a file and read
// back, and a disk would make that most of the time an input takes.
std::optional<fs::path> memory_backed_folder() {
#ifdef _WIN32
    return std::nullopt;
#else
    std::error_code error;
    const fs::path shm = "/dev/shm";
    if (fs::is_directory(shm, error)) return shm;
    return std::nullopt;
#endif
}

// Owns the scratch folder; a static of this type removes it at exit.
class ScratchFolder {
public:
    ScratchFolder() {
        std::random_device entropy;
        const fs::path base = memory_backed_folder().value_or(fs::temp_directory_path());
        for (int attempt = 0; attempt < 100; ++attempt) {
            path_ = base / ("quorvel-fuzz-" + std::to_string(entropy()));
            std::error_code error;
            if (fs::create_directory(path_, error)) return;
        }
        fail("cannot create a scratch folder");
    }
    ~ScratchFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

}  // namespace

FuzzInput take_input(const std::uint8_t* data, std::size_t size, std::string_view file_name) {
    FuzzInput input{{data, size}, scratch_path(file_name)};
    write_file(input.file, input.bytes);
    return input;
}

fs::path scratch_path(std::string_view name) {
    static const ScratchFolder folder;
    return folder.path() / fs::path(std::string(name));
}

// Unbuffered: the bytes go to the file in one write, and no stream buffer is allocated (and
// filled by the sanitizer) for every input.
void write_file(const fs::path& path, std::span<const std::uint8_t> bytes) {
    std::FILE* file = std::fopen(path.string().c_str(), "wb");
    if (file == nullptr) fail("cannot write a scratch file");
    std::setvbuf(file, nullptr, _IONBF, 0);
    const bool written =
        bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (std::fclose(file) != 0 || !written) fail("cannot write a scratch file");
}

Bytes read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) fail("cannot read a file back");
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::string printed_by(const std::function<void()>& action) {
    // Standard output is sent to the scratch file once, for the rest of the process: nothing
    // else of a fuzzing run goes there (libFuzzer reports on standard error).
    static const int captured = [] {
        const int fd = ::open(scratch_path("standard-output").c_str(),
                              O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0) fail("cannot capture standard output");
        ::close(fd);
        return STDOUT_FILENO;
    }();
    if (std::fflush(stdout) != 0 || ::ftruncate(captured, 0) != 0) fail("cannot reset the output");
    std::rewind(stdout);
    action();
    if (std::fflush(stdout) != 0) fail("cannot flush the output");
    struct stat info {};
    if (::fstat(captured, &info) != 0) fail("cannot measure the output");
    std::string printed(static_cast<std::size_t>(info.st_size), '\0');
    if (::pread(captured, printed.data(), printed.size(), 0) != info.st_size) {
        fail("cannot read the output back");
    }
    return printed;
}

void fail(std::string_view what) {
    std::fprintf(stderr, "property failed: %.*s\n", static_cast<int>(what.size()), what.data());
    std::fflush(stderr);
    std::abort();
}

}  // namespace quorvel::fuzz
