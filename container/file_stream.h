// Files as byte streams, opened in binary mode and read and written in large chunks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>

#include "container/byte_stream.h"

namespace quorvel {

namespace detail {
struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;
}  // namespace detail

class InputFile final : public ByteSource {
public:
    // Opens `path` for reading; nullopt when it cannot be opened.
    static std::optional<InputFile> open(const std::filesystem::path& path);

    std::optional<std::size_t> read(std::span<std::uint8_t> buffer) override;

    // The file's length in bytes, taken without moving the read position; nullopt when the
    // length cannot be known (a pipe, for one).
    std::optional<std::uint64_t> size() const;

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
    // directly: /dev/null must stay a device.
    replace_atomically,
    // Created or truncated in place, readable and writable by its owner only: for a file that
    // holds plaintext.
    private_file,
};

class OutputFile final : public ByteSink {
public:
    // Opens an output for `path` as `policy` says; nullopt when that fails.
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

    // Always true: a file write may wait for the disk or for the reader of a pipe.
    bool slow_writes() const override { return true; }

    // Flushes and closes the file and, when it was written under a temporary name, puts it in
    // place. Returns false when any of that failed; the temporary file is then removed.
    bool close();

    // The temporary name the file is written under until close(); empty when written directly.
    const std::filesystem::path& pending_path() const { return pending_path_; }

private:
    OutputFile(detail::FileHandle file, std::filesystem::path final_path,
               std::filesystem::path pending_path)
        : file_(std::move(file)),
          final_path_(std::move(final_path)),
          pending_path_(std::move(pending_path)) {}
    void discard();

    detail::FileHandle file_;
    std::filesystem::path final_path_;
    std::filesystem::path pending_path_;
};

}  // namespace quorvel
