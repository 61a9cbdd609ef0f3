#include <utility>
#include <vector>

#include "internal/chunk_buffers.h"

namespace quorvel {

namespace {

// Buffers of the pipelines that are gone, all of one size, kept for the next pipeline on the
// same thread.
struct SpareBuffers {
    static constexpr std::size_t KEPT = 8;
    std::size_t size = 0;
    std::vector<std::unique_ptr<std::uint8_t[]>> buffers;
};
thread_local SpareBuffers spare;

}  // namespace

std::unique_ptr<std::uint8_t[]> take_chunk_buffer(std::size_t size) {
    if (spare.size == size && !spare.buffers.empty()) {
        auto buffer = std::move(spare.buffers.back());
        spare.buffers.pop_back();
        return buffer;
    }
    return std::make_unique_for_overwrite<std::uint8_t[]>(size);
}

void give_back_chunk_buffer(std::unique_ptr<std::uint8_t[]> buffer, std::size_t size) {
    if (spare.size != size) {
        spare.buffers.clear();
        spare.size = size;
    }
    if (spare.buffers.size() < SpareBuffers::KEPT) spare.buffers.push_back(std::move(buffer));
}

}  // namespace quorvel
