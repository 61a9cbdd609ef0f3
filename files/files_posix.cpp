#include <dirent.h>
#include <fcntl.h>
#ifdef __linux__
#include <linux/fs.h>
#endif
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <random>
#include <string>
#include <system_error>
#include <utility>

#include "files/files.h"

namespace quorvel::files {

namespace fs = std::filesystem;

namespace {

constexpr int NEW_FILE_FLAGS = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
constexpr int NAME_ATTEMPTS = 32;
// Far more links than any real chain; a loop ends here.
constexpr int MAX_LINKS = 40;

Identity identity_from(const struct stat& info) {
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

// Removes every entry of the folder open at `fd` but "." and "..", with only the calls a
// signal handler may make. Entries that do not go (a folder) stay for rmdir to fail on.
void remove_entries(int fd) {
    alignas(struct dirent64) char buffer[4096];
    for (;;) {
        const ssize_t got = ::getdents64(fd, buffer, sizeof buffer);
        if (got <= 0) return;
        for (ssize_t at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
            at += entry->d_reclen;
            const char* name = entry->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
                continue;
            }
            static_cast<void>(::unlinkat(fd, name, 0));
        }
    }
}

// Removes the folder at `path`, with the files in it, when it is the one `identity` names.
bool remove_folder_if_same(const fs::path& path, const Identity& identity) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT;
    struct stat info;
    const bool ours = ::fstat(fd, &info) == 0 && identity_from(info) == identity;
    if (ours) remove_entries(fd);
    ::close(fd);
    if (!ours) return true;
    return ::rmdir(path.c_str()) == 0 || errno == ENOENT;
}

// True when the file at `path` carries the Linux attribute immutable or append-only
// (chattr +i, +a): nobody may replace it, root included. False when that cannot be told.
bool immutable_or_append_only(const fs::path& path) {
#ifdef FS_IOC_GETFLAGS
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    const bool told = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    ::close(fd);
    return told && (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
#else
    static_cast<void>(path);
    return false;
#endif
}

// True when `a` and `b` are one open file. The null device is left out: anything written to
// it is gone, so sharing it harms nothing.
bool same_open_file(const struct stat& a, const struct stat& b) {
    if (a.st_dev != b.st_dev || a.st_ino != b.st_ino) return false;
    struct stat null_device;
    return ::stat("/dev/null", &null_device) != 0 || !S_ISCHR(a.st_mode) ||
           a.st_rdev != null_device.st_rdev;
}

}  // namespace

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

Descriptor::~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
}

int Descriptor::release() {
    return std::exchange(fd_, -1);
}

bool names_device(const fs::path&) {
    return false;
}

bool name_refused(const fs::path&) {
    return false;
}

Descriptor create_private(const fs::path& path) {
    return Descriptor(::open(path.c_str(), NEW_FILE_FLAGS, 0600));
}

fs::path temporary_folder() {
    const char* folder = std::getenv("TMPDIR");
    return folder != nullptr && *folder != '\0' ? fs::path(folder) : fs::path("/tmp");
}

NewFile create_private_beside(const fs::path& beside, std::string_view prefix) {
    std::random_device random;
    const fs::path folder = beside.parent_path();
    for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        const std::string name = std::string(prefix) + std::to_string(random());
        const fs::path candidate = folder.empty() ? fs::path(name) : folder / name;
        Descriptor fd = create_private(candidate);
        if (fd.valid()) return {std::move(fd), candidate};
        if (errno != EEXIST) break;
    }
    return {};
}

NewFile create_beside(const fs::path& beside, std::string_view prefix) {
    return create_private_beside(beside, prefix);
}

std::optional<NewFolder> create_private_folder_beside(const fs::path& beside,
                                                      std::string_view prefix) {
    const fs::path folder = beside.parent_path();
    std::string pattern = (folder.empty() ? fs::path(prefix) : folder / prefix).string();
    pattern += "XXXXXX";
    // mkdtemp makes the folder with mode 0700.
    if (::mkdtemp(pattern.data()) == nullptr) return std::nullopt;
    const auto identity = identity_at(pattern);
    if (!identity) {
        ::rmdir(pattern.c_str());
        return std::nullopt;
    }
    return NewFolder{pattern, *identity};
}

Descriptor open_for_reading(const fs::path& path, FinalLink final_link) {
    // Opened without waiting (a FIFO without a writer, a serial line), then read as usual.
    const int flags =
        O_RDONLY | O_CLOEXEC | O_NONBLOCK | (final_link == FinalLink::refuse ? O_NOFOLLOW : 0);
    Descriptor fd(::open(path.c_str(), flags));
    if (!fd.valid()) return fd;
    const int status = ::fcntl(fd.get(), F_GETFL);
    if (status < 0 || ::fcntl(fd.get(), F_SETFL, status & ~O_NONBLOCK) != 0) return {};
    return fd;
}

Descriptor open_existing_for_writing(const fs::path& path) {
    // Opened without waiting (a FIFO, a serial line), then written to as usual.
    Descriptor fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) return fd;
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return {};
    return fd;
}

Descriptor wait_for_reader(const fs::path& path) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || !S_ISFIFO(info.st_mode)) return {};
    for (;;) {
        Descriptor fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
        if (fd.valid() || errno != EINTR) return fd;
    }
}

std::optional<std::uint64_t> regular_size(int fd) {
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return static_cast<std::uint64_t>(info.st_size);
}

bool is_regular(int fd) {
    return regular_size(fd).has_value();
}

std::optional<Identity> identity_of(int fd) {
    struct stat info;
    if (::fstat(fd, &info) != 0) return std::nullopt;
    return identity_from(info);
}

std::optional<Identity> identity_at(const fs::path& path) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) return std::nullopt;
    return identity_from(info);
}

Descriptor hold_identity(const fs::path& path, const Identity& identity) {
    Descriptor fd = open_for_reading(path, FinalLink::refuse);
    if (fd.valid() && identity_of(fd.get()) != identity) return {};
    return fd;
}

bool rename_into_place(const fs::path& from, const fs::path& to) {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool remove_if_same(const fs::path& path, const Identity& identity) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0 || identity_from(info) != identity) return true;
    if (S_ISDIR(info.st_mode)) return remove_folder_if_same(path, identity);
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

bool remove_if_ours(const fs::path& path, const std::optional<Identity>& identity) {
    if (identity) return remove_if_same(path, *identity);
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

bool flush_to_disk(int fd) {
    return ::fsync(fd) == 0;
}

bool flush_folder_of(const fs::path& path) {
    const fs::path folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    const Descriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.valid() && ::fsync(fd.get()) == 0;
}

std::optional<std::size_t> longest_name_beside(const fs::path& path) {
    const fs::path folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    const long longest = ::pathconf(folder.c_str(), _PC_NAME_MAX);
    if (longest <= 0) return std::nullopt;
    return static_cast<std::size_t>(longest);
}

bool rename_may_replace(const fs::path& path) {
    const fs::path folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    struct stat file_info;
    struct stat folder_info;
    if (::lstat(path.c_str(), &file_info) != 0 || ::stat(folder.c_str(), &folder_info) != 0) {
        return true;
    }
    if (immutable_or_append_only(path)) return false;
    const uid_t user = ::geteuid();
    return (folder_info.st_mode & S_ISVTX) == 0 || user == 0 || file_info.st_uid == user ||
           folder_info.st_uid == user;
}

std::optional<int> descriptor_named(const fs::path& path) {
    std::error_code error;
    fs::path current = fs::absolute(path, error);
    if (error || path.empty()) return std::nullopt;
    const fs::path own_descriptors = fs::path("/proc") / std::to_string(::getpid()) / "fd";
    for (int links = 0; links < MAX_LINKS; ++links) {
        const fs::path folder = fs::weakly_canonical(current.parent_path(), error);
        if (error) return std::nullopt;
        const std::string name = current.filename().string();
        const bool own_thread_descriptors =
            folder.filename() == "fd" &&
            folder.parent_path().parent_path() == own_descriptors.parent_path() / "task";
        if (folder == own_descriptors || folder == "/dev/fd" || own_thread_descriptors) {
            int fd = -1;
            const auto [end, failed] = std::from_chars(name.data(), name.data() + name.size(), fd);
            if (failed != std::errc() || end != name.data() + name.size()) return std::nullopt;
            return fd;
        }
        const fs::path here = folder / name;
        if (!fs::is_symlink(fs::symlink_status(here, error))) return std::nullopt;
        const fs::path target = fs::read_symlink(here, error);
        if (error) return std::nullopt;
        current = target.is_absolute() ? target : folder / target;
    }
    return std::nullopt;
}

bool leads_to_open_file(const fs::path& path, int fd) {
    struct stat named;
    struct stat open;
    return ::stat(path.c_str(), &named) == 0 && ::fstat(fd, &open) == 0 &&
           same_open_file(named, open);
}

int creation_error(const fs::path& path) {
    if (path.empty()) return ENOENT;
    struct stat info;
    if (::stat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) return EISDIR;
        return ::access(path.c_str(), W_OK) == 0 ? 0 : errno;
    }
    // Nothing there yet (or a dangling link): the folder it would be made in decides.
    const fs::path target = kind_at(path) == Kind::symlink ? resolve(path) : path;
    if (target.empty()) return ELOOP;
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    if (::stat(folder.c_str(), &info) != 0) return errno;
    if (!S_ISDIR(info.st_mode)) return ENOTDIR;
    const long longest = ::pathconf(folder.c_str(), _PC_NAME_MAX);
    if (longest > 0 && target.filename().native().size() > static_cast<std::size_t>(longest)) {
        return ENAMETOOLONG;
    }
    return ::access(folder.c_str(), W_OK) == 0 ? 0 : errno;
}

bool leads_to_pipe(const fs::path& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
}

bool leads_to_terminal(const fs::path& path) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) return false;
    // Opened without becoming the controlling terminal and without waiting on a line.
    const Descriptor fd(::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    return fd.valid() && ::isatty(fd.get()) != 0;
}

bool descriptor_is_open(int fd) {
    return ::fcntl(fd, F_GETFD) >= 0;
}

bool take_mode_of(int fd, const fs::path& model) {
    struct stat info;
    mode_t mode = 0;
    if (::stat(model.c_str(), &info) == 0) {
        mode = info.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    return ::fchmod(fd, mode) == 0;
}

std::FILE* open_stream(Descriptor fd, Direction direction) {
    std::FILE* file = ::fdopen(fd.get(), direction == Direction::write ? "wb" : "rb");
    if (file == nullptr) return nullptr;
    static_cast<void>(fd.release());  // the stream closes it now
    std::setvbuf(file, nullptr, _IONBF, 0);
    return file;
}

int descriptor_of(std::FILE* file) {
    return ::fileno(file);
}

bool seek(std::FILE* file, std::uint64_t offset) {
    return ::fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

std::optional<std::uint64_t> tell(std::FILE* file) {
    const off_t position = ::ftello(file);
    if (position < 0) return std::nullopt;
    return static_cast<std::uint64_t>(position);
}

bool truncate(std::FILE* file, std::uint64_t size) {
    return ::ftruncate(descriptor_of(file), static_cast<off_t>(size)) == 0;
}

FolderLock FolderLock::take() {
    // flock needs a descriptor opened for reading: one opened with O_PATH, which a folder
    // without read permission (mode 0300) still allows, is refused with EBADF. Such a folder
    // cannot be locked, and a run there would go unguarded.
    const int fd = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return FolderLock(State::failed, -1);
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return FolderLock(State::held, fd);
    const bool busy = errno == EWOULDBLOCK;
    ::close(fd);
    // Any other failure (ENOLCK, EOPNOTSUPP, EINVAL, ...) means a file system without locks.
    return FolderLock(busy ? State::busy : State::unsupported, -1);
}

FolderLock::FolderLock(FolderLock&& other) noexcept
    : state_(other.state_), handle_(std::exchange(other.handle_, -1)) {}

FolderLock::~FolderLock() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

}  // namespace quorvel::files
