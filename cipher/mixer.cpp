#include "cipher/mixer.h"

namespace quorvel {

namespace {

// The third pass of each group: every byte rotates by its own value plus its position, both
// taken before the pass changes anything.
void rotate_by_value_and_position(Block& block) {
    Block amounts;
    for (std::size_t j = 0; j < BLOCK_SIZE; ++j) {
        amounts[j] = static_cast<std::uint8_t>(block[j] + j);
    }
    rotate_block(block, amounts);
}

}  // namespace

void mix_block(Block& block, std::int8_t factor) {
    // The first pass of each group gathers through a freshly made identity permutation, which
    // changes nothing; only the diffusions and the rotation remain.
    for (int group = 0; group < factor; ++group) {
        diffuse_block(block);
        diffuse_block(block);
        rotate_by_value_and_position(block);
        diffuse_block(block);
    }
}

std::int8_t mix_factor(std::uint64_t length) {
    return static_cast<std::int8_t>(static_cast<std::uint8_t>(length & 0xFFu));
}

}  // namespace quorvel
