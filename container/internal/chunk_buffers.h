// Where the stream pipeline's chunk buffers come from and where they go. The program runs one
// stream a run and takes fresh buffers (chunk_buffers.cpp). A fuzz build keeps the buffers of
// finished pipelines for the next one on the same thread (chunk_buffers_fuzz.cpp): a fuzz
// target runs thousands of short streams a second, where fresh buffers each time, mapped and
// faulted in by the sanitizer's allocator and then held in its quarantine, cost more than the
// stream itself: the decrypt target ran 21 inputs a second with them instead of 4,256.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace quorvel {

// A buffer of `size` bytes, left uninitialised.
[[nodiscard]] std::unique_ptr<std::uint8_t[]> take_chunk_buffer(std::size_t size);

// Hands back a buffer of `size` bytes that take_chunk_buffer() gave.
void give_back_chunk_buffer(std::unique_ptr<std::uint8_t[]> buffer, std::size_t size);

}  // namespace quorvel
