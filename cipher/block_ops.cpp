#include "cipher/block_ops.h"

namespace quorvel {

void fill_block(Block& block, std::uint8_t value) {
    block.fill(value);
}

void xor_block(Block& block, const Block& key) {
    for (std::size_t i = 0; i < BLOCK_SIZE; ++i) block[i] ^= key[i];
}

bool blocks_equal(const Block& a, const Block& b) {
    return a == b;
}

void gather_block(Block& block, const Block& perm) {
    Block gathered;
    for (std::size_t i = 0; i < BLOCK_SIZE; ++i) gathered[i] = block[perm[i]];
    block = gathered;
}

void make_permutation(Block& block) {
    for (std::size_t i = 0; i < BLOCK_SIZE; ++i) block[i] = static_cast<std::uint8_t>(i);
}

void invert_permutation(Block& block) {
    Block inverse;
    for (std::size_t i = 0; i < BLOCK_SIZE; ++i) inverse[block[i]] = static_cast<std::uint8_t>(i);
    block = inverse;
}

void rotate_block(Block& block, const Block& amounts) {
    for (std::size_t i = 0; i < BLOCK_SIZE; ++i) {
        const unsigned shift = amounts[i] & 7u;
        const unsigned byte = block[i];
        block[i] = static_cast<std::uint8_t>((byte >> shift) | (byte << ((8u - shift) & 7u)));
    }
}

void set_rotation_amounts(Block& block, CipherMode mode) {
    for (auto& byte : block) {
        const int remainder = static_cast<std::int8_t>(byte) % 8;  // C++ % truncates toward zero
        const int amount = mode == CipherMode::encrypt ? remainder : 8 - remainder;
        byte = static_cast<std::uint8_t>(amount);
    }
}

void diffuse_block(Block& block) {
    // The running value is kept in a register: read back from the block, each byte would
    // wait for the store of the one before.
    std::uint8_t running = block[0];
    for (std::size_t i = 1; i < BLOCK_SIZE; ++i) {
        running ^= block[i];
        block[i] = running;
    }
    block[0] ^= running;
}

void undiffuse_block(Block& block) {
    block[0] ^= block[BLOCK_SIZE - 1];
    for (std::size_t i = BLOCK_SIZE - 1; i >= 1; --i) block[i] ^= block[i - 1];
}

}  // namespace quorvel
