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

// A key file that failed, and how: what the program reports, by name.
struct KeyFileFault {
    enum class Kind {
        not_found,    // nothing at the name (a dangling link included)
        not_regular,  // there, but a folder, a device, a pipe, ...
        unreadable,   // it does not open, or a read fails
        not_created,  // a new key file could not be made
    };
    Kind kind;
    std::filesystem::path path;
    int error = 0;  // the system's error number (errno), 0 when not known

    bool operator==(const KeyFileFault&) const = default;
};

// What may serve as a key file besides a regular file.
enum class KeyFileKinds {
    // A regular file only: a key to encrypt with must be one that can be read again (a pipe or
    // /dev/urandom would make an output nobody can decrypt), and its length is checked.
    regular_only,
    // A pipe too (`<(cat my.key)`, a FIFO), read once up to the key's length: reading a key
    // from one is harmless when it only decrypts. A device stays refused: it is never a key.
    pipes_too,
};

// An existing key file, opened and checked on the open file.
class KeyFile {
public:
    // Opens the key file at `path`; fault() tells what kept it from opening. Anything but a
    // regular file is refused (not_regular), unless `kinds` takes a pipe and it is one; a
    // pipe's size() is 0. Prints nothing.
    [[nodiscard]] static KeyFile open(const std::filesystem::path& path,
                                      KeyFileKinds kinds = KeyFileKinds::regular_only);

    // Nothing for a file open for reading; otherwise not_found, not_regular or unreadable.
    [[nodiscard]] const std::optional<KeyFileFault>& fault() const { return fault_; }

    // True when nothing is at the name: the one fault that creating a key file answers.
    [[nodiscard]] bool missing() const;

    // The fault of a file that is there but refused (not_regular or unreadable); nullopt for
    // an opened or a missing one.
    [[nodiscard]] std::optional<KeyFileFault> refusal() const;

    // The file's length in bytes (when opened).
    [[nodiscard]] std::uint64_t size() const { return size_; }

    // XORs the file's 12 blocks into `table`. A shorter file reads as if padded with 0xFF,
    // bytes past the 3072nd are ignored. Returns nullopt, or unreadable when a read fails, the
    // file did not open or a pipe gave no byte at all.
    [[nodiscard]] std::optional<KeyFileFault> read_into(RoundKeyTable& table);

private:
    KeyFile(std::filesystem::path path, files::Descriptor fd, std::uint64_t size)
        : path_(std::move(path)), fd_(std::move(fd)), size_(size) {}
    KeyFile(KeyFileFault::Kind fault, const std::filesystem::path& path, int error = 0)
        : fault_(KeyFileFault{fault, path, error}), path_(path), size_(0) {}

    std::optional<KeyFileFault> fault_;
    std::filesystem::path path_;
    files::Descriptor fd_;
    std::uint64_t size_;
    bool pipe_ = false;
};

// Creates a new key file at `path` (never replacing anything there, a link included),
// readable by its owner only, from the operating system's random source, each byte followed
// by a mixing of the working block. Returns the new file's identity; on failure
// (KeyFileFault::Kind::not_created) leaves no file behind and returns nullopt. The file and
// its name are flushed to the disk before it returns. Prints nothing.
[[nodiscard]] std::optional<files::Identity> create_key_file(const std::filesystem::path& path);

// Opens the key file at `path` and XORs it into `table` as KeyFile::read_into does. Returns
// nullopt, or the fault of KeyFile::open or that of read_into.
[[nodiscard]] std::optional<KeyFileFault> read_key_file(const std::filesystem::path& path,
                                                        RoundKeyTable& table);

}  // namespace quorvel
