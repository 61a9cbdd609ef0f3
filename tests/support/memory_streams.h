// In-memory byte streams for the tests and the fuzz targets: no GoogleTest needed.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "container/byte_stream.h"
#include "support/bytes.h"

namespace quorvel::test {

// A source over bytes held in memory, handing out at most `max_chunk` bytes a read.
class MemorySource final : public ByteSource {
public:
    explicit MemorySource(Bytes bytes, std::size_t max_chunk = SIZE_MAX)
        : bytes_(std::move(bytes)), max_chunk_(max_chunk) {}

    // A source that, like a pipe, gives its bytes once: rewind() fails.
    static MemorySource pipe(Bytes bytes, std::size_t max_chunk = SIZE_MAX);

    std::optional<std::size_t> read(std::span<std::uint8_t> buffer) override;
    bool rewind() override;

private:
    Bytes bytes_;
    std::size_t max_chunk_;
    std::size_t position_ = 0;
    bool rewindable_ = true;
};

// What a MemorySink says of itself to the stream: a pipe is not seekable (write_at() then
// fails).
struct MemorySinkKind {
    bool seekable = true;
};

// A sink that keeps what is written in memory.
class MemorySink final : public ByteSink {
public:
    using Kind = MemorySinkKind;

    explicit MemorySink(Kind kind = {}) : kind_(kind) {}

    bool write(std::span<const std::uint8_t> bytes) override;
    bool write_at(std::uint64_t offset, std::span<const std::uint8_t> bytes) override;
    bool seekable() const override { return kind_.seekable; }

    Bytes bytes;

private:
    Kind kind_;
};

}  // namespace quorvel::test
