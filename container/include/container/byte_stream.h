// The byte streams the cipher stage reads and writes: files in the program, failing or
// in-memory streams in tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quorvel {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Reads up to buffer.size() bytes into `buffer`. Returns how many were read, 0 only at
    // the end of the input, or nullopt on a read error.
    [[nodiscard]] virtual std::optional<std::size_t> read(std::span<std::uint8_t> buffer) = 0;
    // Goes back to the first byte, so that the input can be read a second time. Returns false
    // when it cannot (a pipe gives its bytes once); the position is then unknown.
    [[nodiscard]] virtual bool rewind() { return false; }
};

class ByteSink {
public:
    virtual ~ByteSink() = default;
    // Appends all of `bytes`. Returns false on a write error (a full disk, for one).
    [[nodiscard]] virtual bool write(std::span<const std::uint8_t> bytes) = 0;
    // Overwrites bytes at `offset` from the start, already written. Returns false on error,
    // and always when seekable() is false.
    [[nodiscard]] virtual bool write_at(std::uint64_t offset,
                                        std::span<const std::uint8_t> bytes) = 0;
    // True when write_at() can work; false for an output that takes its bytes strictly in
    // order (a pipe, a terminal).
    virtual bool seekable() const { return true; }
};

}  // namespace quorvel
