// What lstat says of a path on a POSIX file system, for tests that check a file's mode bits or
// that it is still the same file, and the mode bits set exactly. Header-only, so that any test
// program may use it without linking more.
#pragma once

#include <sys/stat.h>

#include <filesystem>

namespace quorvel::test {

// A value no mode bits can take: what mode_of gives for a path lstat cannot see, so that a
// comparison with any real mode fails.
inline constexpr unsigned NO_MODE = ~0u;

// The permission bits of `path` (with set-user-ID, set-group-ID and sticky), not following a
// link; NO_MODE when there is nothing there.
inline unsigned mode_of(const std::filesystem::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return NO_MODE;
    return info.st_mode & 07777u;
}

// The inode of `path`, not following a link; 0, which no file has, when there is nothing there.
inline ino_t inode_of(const std::filesystem::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return 0;
    return info.st_ino;
}

// Sets the mode bits of `path` to exactly `mode`.
inline void set_mode(const std::filesystem::path& path, std::filesystem::perms mode) {
    std::filesystem::permissions(path, mode, std::filesystem::perm_options::replace);
}

}  // namespace quorvel::test
