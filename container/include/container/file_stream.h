// Files as byte streams, opened in binary mode and read and written in large chunks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>

#include "container/byte_stream.h"
#include "files/files.h"

namespace quorvel {

namespace detail {
struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;
}  // namespace detail

class InputFile final : public ByteSource {
public:
    // Opens `path` for reading; nullopt when it cannot be opened. With `follow_link` false a
    // symbolic link at the name does not open.
    static std::optional<InputFile> open(const std::filesystem::path& path,
                                         bool follow_link = true);

    std::optional<std::size_t> read(std::span<std::uint8_t> buffer) override;

    // The file's length in bytes, taken without moving the read position; nullopt when the
    // length cannot be known (a pipe, for one).
    std::optional<std::uint64_t> size() const;

    // The identity of the open file (see files/files.h); nullopt when it cannot be told.
    std::optional<files::Identity> identity() const;

    // Goes back to the first byte of a regular file. Returns false for anything else (a pipe,
    // a terminal), which can be read only once.
    bool rewind() override;

private:
    explicit InputFile(detail::FileHandle file) : file_(std::move(file)) {}
    detail::FileHandle file_;
};

// How an output file comes into being.
enum class OutputPolicy {
    // Written under a temporary name in the same folder and renamed over the path only by a
    // successful close(), so a failed or interrupted run leaves what was at the path as it
    // was. A path that exists and is not a regular file (a device, a pipe) is written
    // directly: /dev/null must stay a device. A symbolic link is followed, a dangling one
    // too: the file it names is replaced. When no temporary file can be made (a folder that
    // is not writable) an existing writable file is written in place; that is not atomic.
    replace_atomically,
    // A fresh file, readable and writable by its owner only, made under a temporary name in
    // the same folder and renamed over the path by close(): for a file that holds plaintext.
    // No file already there is ever opened; a path holding anything but a regular file is
    // refused.
    private_file,
};

class OutputFile final : public ByteSink {
public:
    // Opens an output for `path` as `policy` says; nullopt when that fails (an empty name
    // included).
    static std::optional<OutputFile> create(const std::filesystem::path& path, OutputPolicy policy);

    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&& other) noexcept;
    // An output never finished by close() is closed unchecked, and its temporary file removed.
    ~OutputFile() override;

    bool write(std::span<const std::uint8_t> bytes) override;
    bool write_at(std::uint64_t offset, std::span<const std::uint8_t> bytes) override;

    // True for a regular file; false for a pipe, a terminal or another device, which take
    // their bytes in order only.
    bool seekable() const override;

    // Flushes and closes the file and, when it was written under a temporary name, puts it in
    // place. Returns false when any of that failed; the temporary file is then removed.
    bool close();

    // The temporary name the file is written under until close(); empty when written directly.
    const std::filesystem::path& pending_path() const { return pending_path_; }

    // The identity of the file being written; nullopt when it cannot be told.
    const std::optional<files::Identity>& identity() const { return identity_; }

private:
    enum class Placement { direct, in_place, renamed };
    OutputFile(detail::FileHandle file, std::filesystem::path final_path,
               std::filesystem::path pending_path, Placement placement);
    void discard();

    detail::FileHandle file_;
    std::filesystem::path final_path_;
    std::filesystem::path pending_path_;
    Placement placement_ = Placement::direct;
    std::optional<files::Identity> identity_;
};

}  // namespace quorvel
