// The optional key file: 3072 raw bytes, 12 blocks of 256, no header. Block d is XORed into
// round-key slot d before the key schedule mixes it; the blocks that land in permutation
// slots (0, 3, 6, 9) have no effect on the keys. A key file is always a regular file: a
// device or a pipe would give different bytes each time, or none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>

#include "cipher/key_schedule.h"
#include "files/files.h"

namespace quorvel {

inline constexpr std::size_t KEY_FILE_SIZE = ROUND_KEY_COUNT * BLOCK_SIZE;

// An existing key file, opened and checked on the open file.
class KeyFile {
public:
    enum class State {
        missing,  // nothing at the name (a dangling link included)
        opened,   // a regular file, open for reading
        refused,  // there, but not a regular file or not readable; the message is printed
    };

    // Opens the key file at `path`. Prints "Key file found." (no line break) when it is a
    // regular file that opens, "Error! Key file '...' is not a regular file." when it is
    // anything else, "Error! Can't read key-file '...'." when it does not open; nothing when
    // there is nothing at the name.
    static KeyFile open(const std::filesystem::path& path);

    State state() const { return state_; }

    // The file's length in bytes (when opened).
    std::uint64_t size() const { return size_; }

    // XORs the file's 12 blocks into `table`. A shorter file reads as if padded with 0xFF,
    // bytes past the 3072nd are ignored. Prints "Error! Can't read key-file '...'." and
    // returns false when a read fails.
    bool read_into(RoundKeyTable& table);

private:
    KeyFile(State state, std::filesystem::path path, files::Descriptor fd, std::uint64_t size)
        : state_(state), path_(std::move(path)), fd_(std::move(fd)), size_(size) {}
    static KeyFile open_quietly(const std::filesystem::path& path);

    State state_;
    std::filesystem::path path_;
    files::Descriptor fd_;
    std::uint64_t size_;

    friend bool read_key_file(const std::filesystem::path& path, RoundKeyTable& table);
};

// Creates a new key file at `path` (never replacing anything there, a link included),
// readable by its owner only, from the operating system's random source, each byte followed
// by a mixing of the working block. Prints "Key file is successfully created!" and returns
// the new file's identity; on failure prints "Error! Can't create key-file '...'.", leaves
// no file behind and returns nullopt.
std::optional<files::Identity> create_key_file(const std::filesystem::path& path);

// Opens the key file at `path` and XORs it into `table` as KeyFile::read_into does. On
// failure prints "Error! File '...' not found." (nothing there), the messages of
// KeyFile::open for a file that is not regular or does not open, or those of read_into, and
// returns false.
bool read_key_file(const std::filesystem::path& path, RoundKeyTable& table);

}  // namespace quorvel
