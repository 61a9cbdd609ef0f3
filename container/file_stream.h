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

private:
    explicit InputFile(detail::FileHandle file) : file_(std::move(file)) {}
    detail::FileHandle file_;
};

class OutputFile final : public ByteSink {
public:
    // Creates or truncates `path` for writing; nullopt when that fails.
    static std::optional<OutputFile> create(const std::filesystem::path& path);

    bool write(std::span<const std::uint8_t> bytes) override;
    bool write_at(std::uint64_t offset, std::span<const std::uint8_t> bytes) override;

    // Closes the file and returns false when the last writes or the close failed. Must be
    // called once everything is written; a file destroyed without it is closed unchecked.
    bool close();

private:
    explicit OutputFile(detail::FileHandle file) : file_(std::move(file)) {}
    detail::FileHandle file_;
};

}  // namespace quorvel
