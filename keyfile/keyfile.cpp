#include "keyfile/keyfile.h"

#include <array>
#include <cstdio>
#include <memory>
#include <system_error>

#include "cipher/mixer.h"
#include "cipher/secure_wipe.h"
#include "console/console.h"
#include "keyfile/random_source.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace quorvel {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

FileHandle open_for_reading(const std::filesystem::path& path) {
#ifdef _WIN32
    return FileHandle(_wfopen(path.c_str(), L"rb"));
#else
    return FileHandle(std::fopen(path.c_str(), "rb"));
#endif
}

// A key is a secret: the new file is readable by its owner only, and an existing file at
// the same path is never replaced.
FileHandle create_exclusive(const std::filesystem::path& path) {
#ifdef _WIN32
    const int fd = _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                          _S_IREAD | _S_IWRITE);
    if (fd < 0) return nullptr;
    std::FILE* file = _fdopen(fd, "wb");
    if (file == nullptr) _close(fd);
    return FileHandle(file);
#else
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    std::FILE* file = fdopen(fd, "wb");
    if (file == nullptr) ::close(fd);
    return FileHandle(file);
#endif
}

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

bool write_all_and_close(FileHandle file, const std::array<std::uint8_t, KEY_FILE_SIZE>& bytes) {
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
    return std::fclose(file.release()) == 0 && written;
}

// A folder opens for reading on POSIX, where only its reads fail, but not on Windows. It is
// taken as an existing, unreadable key file on both, so that both say the same.
bool is_folder(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::is_directory(path, error);
}

}  // namespace

bool key_file_exists(const std::filesystem::path& path) {
    if (!open_for_reading(path) && !is_folder(path)) return false;
    print_text("Key file found.");
    return true;
}

bool create_key_file(const std::filesystem::path& path) {
    std::array<std::uint8_t, KEY_FILE_SIZE> key_bytes{};
    auto file = create_exclusive(path);
    bool created = file != nullptr;
    if (created) {
        created = make_key_bytes(key_bytes) && write_all_and_close(std::move(file), key_bytes);
        if (!created) {
            std::error_code ignored;
            std::filesystem::remove(path, ignored);
        }
    }
    secure_wipe(key_bytes);
    if (!created) {
        print_named("Error! Can't create key-file '", display_name(path), "'.");
        return false;
    }
    print_text("Key file is successfully created!\n");
    return true;
}

bool read_key_file(const std::filesystem::path& path, RoundKeyTable& table) {
    auto file = open_for_reading(path);
    if (!file) {
        if (is_folder(path)) {
            print_named("Error! Can't read key-file '", display_name(path), "'.");
        } else {
            print_named("Error! File '", display_name(path), "' not found.");
        }
        return false;
    }
    std::array<std::uint8_t, KEY_FILE_SIZE> key_bytes;
    key_bytes.fill(0xFF);  // what a missing byte reads as
    std::size_t got = 0;
    while (got < KEY_FILE_SIZE) {
        const std::size_t n =
            std::fread(key_bytes.data() + got, 1, KEY_FILE_SIZE - got, file.get());
        if (n == 0) break;
        got += n;
    }
    const bool read = !std::ferror(file.get());
    if (read) {
        for (std::size_t i = 0; i < KEY_FILE_SIZE; ++i) {
            table[i / BLOCK_SIZE][i % BLOCK_SIZE] ^= key_bytes[i];
        }
    } else {
        print_named("Error! Can't read key-file '", display_name(path), "'.");
    }
    secure_wipe(key_bytes);
    return read;
}

}  // namespace quorvel
