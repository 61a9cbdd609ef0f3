#include "keyfile/keyfile.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <utility>

#include "cipher/mixer.h"
#include "cipher/secure_wipe.h"
#include "internal/random_source.h"

namespace quorvel {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// The key file's bytes: random bytes fed one at a time into a working block that is mixed
// after each, so every block also carries everything drawn before it.
bool make_key_bytes(std::array<std::uint8_t, KEY_FILE_SIZE>& key_bytes) {
    std::array<std::uint8_t, KEY_FILE_SIZE> random{};
    if (!fill_random(random)) return false;
    Block work{};
    std::size_t next = 0;
    for (std::size_t d = 0; d < ROUND_KEY_COUNT; ++d) {
        for (std::size_t j = 0; j < BLOCK_SIZE; ++j) {
            work[j] = random[next++];
            mix_block(work, 1);
        }
        std::copy(work.begin(), work.end(),
                  key_bytes.begin() + static_cast<std::ptrdiff_t>(d * BLOCK_SIZE));
    }
    secure_wipe(random);
    secure_wipe(work);
    return true;
}

bool write_all_and_close(files::Descriptor fd,
                         const std::array<std::uint8_t, KEY_FILE_SIZE>& bytes) {
    FileHandle file(files::open_stream(std::move(fd), files::Direction::write));
    if (!file) return false;
    // The key is on the disk, and its name too, before anything is encrypted with it: an
    // output that outlives a crash is useless without it.
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size() &&
                         std::fflush(file.get()) == 0 &&
                         files::flush_to_disk(files::descriptor_of(file.get()));
    return std::fclose(file.release()) == 0 && written;
}

}  // namespace

KeyFile KeyFile::open(const std::filesystem::path& path, KeyFileKinds kinds) {
    using Kind = KeyFileFault::Kind;
    const bool pipes_taken = kinds == KeyFileKinds::pipes_too;
    // Looked at before opening, so that a device, or a pipe where none is taken, is refused
    // instead of opened or waited on (a pipe that is taken waits for its writer, as any reader
    // would); a regular file is checked again once open, as the name may have changed.
    const files::Kind kind = files::kind_behind(path);
    if (kind == files::Kind::missing) return KeyFile(Kind::not_found, path);
    const bool pipe = kind == files::Kind::other && pipes_taken && files::leads_to_pipe(path);
    if (kind != files::Kind::regular && kind != files::Kind::unknown && !pipe) {
        return KeyFile(Kind::not_regular, path);
    }
    files::Descriptor fd = files::open_for_reading(path);
    if (!fd.valid()) return KeyFile(Kind::unreadable, path, errno);
    const auto size = files::regular_size(fd.get());
    if (size) return KeyFile(path, std::move(fd), *size);
    if (!pipe) return KeyFile(Kind::not_regular, path);
    KeyFile piped(path, std::move(fd), 0);
    piped.pipe_ = true;
    return piped;
}

bool KeyFile::missing() const {
    return fault_ && fault_->kind == KeyFileFault::Kind::not_found;
}

std::optional<KeyFileFault> KeyFile::refusal() const {
    if (missing()) return std::nullopt;
    return fault_;
}

std::optional<KeyFileFault> KeyFile::read_into(RoundKeyTable& table) {
    KeyFileFault unreadable{KeyFileFault::Kind::unreadable, path_};
    FileHandle file(fd_.valid() ? files::open_stream(std::move(fd_), files::Direction::read)
                                : nullptr);
    if (!file) return unreadable;
    std::array<std::uint8_t, KEY_FILE_SIZE> key_bytes;
    key_bytes.fill(0xFF);  // what a missing byte reads as
    std::size_t got = 0;
    while (got < KEY_FILE_SIZE) {
        const std::size_t n =
            std::fread(key_bytes.data() + got, 1, KEY_FILE_SIZE - got, file.get());
        if (n == 0) break;
        got += n;
    }
    // A pipe that gives nothing is a command that failed (`<(cat missing.key)`), not a key.
    const bool nothing_piped = pipe_ && got == 0 && !std::ferror(file.get());
    const bool read = !std::ferror(file.get()) && !nothing_piped;
    if (!read) unreadable.error = nothing_piped ? ENODATA : errno;
    if (read) {
        for (std::size_t i = 0; i < KEY_FILE_SIZE; ++i) {
            table[i / BLOCK_SIZE][i % BLOCK_SIZE] ^= key_bytes[i];
        }
    }
    secure_wipe(key_bytes);
    if (!read) return unreadable;
    return std::nullopt;
}

std::optional<files::Identity> create_key_file(const std::filesystem::path& path) {
    std::array<std::uint8_t, KEY_FILE_SIZE> key_bytes{};
    files::Descriptor fd = files::create_private(path);
    std::optional<files::Identity> identity;
    if (fd.valid() && files::is_regular(fd.get())) identity = files::identity_of(fd.get());
    bool created = false;
    if (identity) {
        created = make_key_bytes(key_bytes) && write_all_and_close(std::move(fd), key_bytes) &&
                  files::flush_folder_of(path);
        // Whether the half-made file could be removed changes nothing: the creation failed.
        const int error = errno;
        if (!created) static_cast<void>(files::remove_if_same(path, *identity));
        errno = error;
    }
    const int error = errno;
    secure_wipe(key_bytes);
    errno = error;  // why it failed, for the caller's message
    if (!created) return std::nullopt;
    return identity;
}

std::optional<KeyFileFault> read_key_file(const std::filesystem::path& path, RoundKeyTable& table) {
    KeyFile key_file = KeyFile::open(path);
    if (key_file.fault()) return key_file.fault();
    return key_file.read_into(table);
}

}  // namespace quorvel
