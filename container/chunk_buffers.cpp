#include "internal/chunk_buffers.h"

namespace quorvel {

std::unique_ptr<std::uint8_t[]> take_chunk_buffer(std::size_t size) {
    return std::make_unique_for_overwrite<std::uint8_t[]>(size);
}

void give_back_chunk_buffer(std::unique_ptr<std::uint8_t[]> /*buffer*/, std::size_t /*size*/) {}

}  // namespace quorvel
