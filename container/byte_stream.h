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
    virtual std::optional<std::size_t> read(std::span<std::uint8_t> buffer) = 0;
};

class ByteSink {
public:
    virtual ~ByteSink() = default;
    // Appends all of `bytes`. Returns false on a write error (a full disk, for one).
    virtual bool write(std::span<const std::uint8_t> bytes) = 0;
    // Overwrites bytes at `offset` from the start, already written. Returns false on error.
    virtual bool write_at(std::uint64_t offset, std::span<const std::uint8_t> bytes) = 0;
};

}  // namespace quorvel
