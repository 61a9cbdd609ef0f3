#include "support/memory_streams.h"

#include <algorithm>
#include <cstring>

namespace quorvel::test {

MemorySource MemorySource::pipe(Bytes bytes, std::size_t max_chunk) {
    MemorySource source(std::move(bytes), max_chunk);
    source.rewindable_ = false;
    return source;
}

std::optional<std::size_t> MemorySource::read(std::span<std::uint8_t> buffer) {
    const std::size_t count = std::min({buffer.size(), max_chunk_, bytes_.size() - position_});
    // An empty vector's data() may be null, which memcpy must not get even for 0 bytes.
    if (count > 0) std::memcpy(buffer.data(), bytes_.data() + position_, count);
    position_ += count;
    return count;
}

bool MemorySource::rewind() {
    if (!rewindable_) return false;
    position_ = 0;
    return true;
}

bool MemorySink::write(std::span<const std::uint8_t> data) {
    bytes.insert(bytes.end(), data.begin(), data.end());
    return true;
}

bool MemorySink::write_at(std::uint64_t offset, std::span<const std::uint8_t> data) {
    if (!kind_.seekable || offset + data.size() > bytes.size()) return false;
    std::copy(data.begin(), data.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
    return true;
}

}  // namespace quorvel::test
