#include "container/file_stream.h"

#include <sys/stat.h>

#include <cerrno>
#include <random>
#include <string>
#include <system_error>
#include <utility>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace quorvel {

namespace {

detail::FileHandle open_handle(const std::filesystem::path& path, bool for_writing) {
#ifdef _WIN32
    // Not inheritable, so that an archiver started meanwhile does not hold the file open.
    const int flags =
        _O_BINARY | _O_NOINHERIT | (for_writing ? _O_WRONLY | _O_CREAT | _O_TRUNC : _O_RDONLY);
    const int fd = _wopen(path.c_str(), flags, _S_IREAD | _S_IWRITE);
    std::FILE* file = fd < 0 ? nullptr : _fdopen(fd, for_writing ? "wb" : "rb");
    if (fd >= 0 && file == nullptr) _close(fd);
#else
    std::FILE* file = std::fopen(path.c_str(), for_writing ? "wb" : "rb");
#endif
    // The cipher stage moves data in chunks of its own; a second buffer would only copy.
    if (file != nullptr) std::setvbuf(file, nullptr, _IONBF, 0);
    return detail::FileHandle(file);
}

bool seek_to(std::FILE* file, std::uint64_t offset) {
#ifdef _WIN32
    return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
#else
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

bool seek_to_end(std::FILE* file) {
#ifdef _WIN32
    return _fseeki64(file, 0, SEEK_END) == 0;
#else
    return fseeko(file, 0, SEEK_END) == 0;
#endif
}

struct PendingFile {
    detail::FileHandle file;
    std::filesystem::path path;
};

#ifdef _WIN32

detail::FileHandle open_private(const std::filesystem::path& path) {
    return open_handle(path, true);
}

std::optional<PendingFile> create_pending_beside(const std::filesystem::path& final_path) {
    const auto folder = final_path.parent_path();
    std::random_device random;
    for (int attempt = 0; attempt < 16; ++attempt) {
        const auto name = L".quorvel-out-" + std::to_wstring(random()) + L".tmp";
        const auto candidate = folder.empty() ? std::filesystem::path(name) : folder / name;
        // _O_EXCL rather than fopen's "x", which older C runtimes (msvcrt.dll) do not know.
        const int fd =
            _wopen(candidate.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                   _S_IREAD | _S_IWRITE);
        if (fd >= 0) {
            std::FILE* file = _fdopen(fd, "wb");
            if (file == nullptr) {
                _close(fd);
                _wremove(candidate.c_str());
                break;
            }
            std::setvbuf(file, nullptr, _IONBF, 0);
            return PendingFile{detail::FileHandle(file), candidate};
        }
        if (errno != EEXIST) break;
    }
    return std::nullopt;
}

#else

detail::FileHandle adopt_descriptor(int fd) {
    if (fd < 0) return nullptr;
    std::FILE* file = fdopen(fd, "wb");
    if (file == nullptr) {
        ::close(fd);
        return nullptr;
    }
    std::setvbuf(file, nullptr, _IONBF, 0);
    return detail::FileHandle(file);
}

detail::FileHandle open_private(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    // An existing file keeps its mode when truncated; this one holds plaintext.
    if (fd >= 0 && ::fchmod(fd, 0600) != 0) {
        ::close(fd);
        return nullptr;
    }
    return adopt_descriptor(fd);
}

// The mode the finished file gets: that of the file it replaces, else what a plain create
// would give under the current umask.
mode_t final_mode(const std::filesystem::path& final_path) {
    struct stat info;
    if (::stat(final_path.c_str(), &info) == 0) return info.st_mode & 07777;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

std::optional<PendingFile> create_pending_beside(const std::filesystem::path& final_path) {
    const auto folder = final_path.parent_path();
    std::string pattern = (folder.empty() ? std::filesystem::path(".quorvel-out-XXXXXX")
                                          : folder / ".quorvel-out-XXXXXX")
                              .string();
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) return std::nullopt;
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    if (::fchmod(fd, final_mode(final_path)) != 0) {
        ::close(fd);
        ::unlink(pattern.c_str());
        return std::nullopt;
    }
    auto file = adopt_descriptor(fd);
    if (!file) {
        ::unlink(pattern.c_str());
        return std::nullopt;
    }
    return PendingFile{std::move(file), pattern};
}

#endif

}  // namespace

std::optional<InputFile> InputFile::open(const std::filesystem::path& path) {
    auto file = open_handle(path, false);
    if (!file) return std::nullopt;
    return InputFile(std::move(file));
}

std::optional<std::size_t> InputFile::read(std::span<std::uint8_t> buffer) {
    const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), file_.get());
    if (got == 0 && std::ferror(file_.get())) return std::nullopt;
    return got;
}

std::optional<std::uint64_t> InputFile::size() const {
#ifdef _WIN32
    struct _stat64 info;
    if (_fstat64(_fileno(file_.get()), &info) != 0) return std::nullopt;
    if ((info.st_mode & _S_IFMT) != _S_IFREG) return std::nullopt;
#else
    struct stat info;
    if (fstat(fileno(file_.get()), &info) != 0) return std::nullopt;
    if (!S_ISREG(info.st_mode)) return std::nullopt;
#endif
    return static_cast<std::uint64_t>(info.st_size);
}

std::optional<OutputFile> OutputFile::create(const std::filesystem::path& path,
                                             OutputPolicy policy) {
    if (policy == OutputPolicy::private_file) {
        auto file = open_private(path);
        if (!file) return std::nullopt;
        return OutputFile(std::move(file), path, {});
    }
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        auto file = open_handle(path, true);
        if (!file) return std::nullopt;
        return OutputFile(std::move(file), path, {});
    }
    // Through a symbolic link the file it points to is replaced, as a plain write would.
    std::filesystem::path final_path = path;
    if (std::filesystem::is_symlink(std::filesystem::symlink_status(path, error))) {
        final_path = std::filesystem::weakly_canonical(path, error);
        if (error) return std::nullopt;
    }
    auto pending = create_pending_beside(final_path);
    if (!pending) return std::nullopt;
    return OutputFile(std::move(pending->file), std::move(final_path), std::move(pending->path));
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : file_(std::move(other.file_)),
      final_path_(std::move(other.final_path_)),
      pending_path_(std::exchange(other.pending_path_, {})) {}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
    if (this != &other) {
        discard();
        file_ = std::move(other.file_);
        final_path_ = std::move(other.final_path_);
        pending_path_ = std::exchange(other.pending_path_, {});
    }
    return *this;
}

OutputFile::~OutputFile() {
    discard();
}

void OutputFile::discard() {
    file_.reset();
    if (!pending_path_.empty()) {
        std::error_code ignored;
        std::filesystem::remove(pending_path_, ignored);
        pending_path_.clear();
    }
}

bool OutputFile::write(std::span<const std::uint8_t> bytes) {
    return std::fwrite(bytes.data(), 1, bytes.size(), file_.get()) == bytes.size();
}

bool OutputFile::write_at(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    return seek_to(file_.get(), offset) && write(bytes) && seek_to_end(file_.get());
}

bool OutputFile::close() {
    std::FILE* file = file_.release();
    if (file == nullptr) return false;
    const bool flushed = std::fflush(file) == 0 && std::ferror(file) == 0;
    bool finished = std::fclose(file) == 0 && flushed;
    if (finished && !pending_path_.empty()) {
        std::error_code error;
        std::filesystem::rename(pending_path_, final_path_, error);
        finished = !error;
    }
    if (finished) pending_path_.clear();
    discard();
    return finished;
}

namespace {

bool is_regular_file(std::FILE* file) {
#ifdef _WIN32
    struct _stat64 info;
    return _fstat64(_fileno(file), &info) == 0 && (info.st_mode & _S_IFMT) == _S_IFREG;
#else
    struct stat info;
    return fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode);
#endif
}

}  // namespace

bool InputFile::rewind() {
    return is_regular_file(file_.get()) && seek_to(file_.get(), 0);
}

bool OutputFile::seekable() const {
    return file_ && is_regular_file(file_.get());
}

}  // namespace quorvel
