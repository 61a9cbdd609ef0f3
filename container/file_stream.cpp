#include "container/file_stream.h"

#include <sys/stat.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace quorvel {

namespace {

detail::FileHandle open_handle(const std::filesystem::path& path, bool for_writing) {
#ifdef _WIN32
    // Not inheritable, so that an archiver started meanwhile does not hold the file open.
    const int flags = _O_BINARY | _O_NOINHERIT |
                      (for_writing ? _O_WRONLY | _O_CREAT | _O_TRUNC : _O_RDONLY);
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

std::optional<OutputFile> OutputFile::create(const std::filesystem::path& path) {
    auto file = open_handle(path, true);
    if (!file) return std::nullopt;
    return OutputFile(std::move(file));
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
    return std::fclose(file) == 0 && flushed;
}

}  // namespace quorvel
