// Operations on one 256-byte block: the pieces every round, the mixing function and the key
// schedule are built from. All work in place on caller-owned storage and keep no state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "cipher/cipher_mode.h"

namespace quorvel {

inline constexpr std::size_t BLOCK_SIZE = 256;

// The unit of all cipher work: data blocks, round keys, the check block, key-file blocks.
using Block = std::array<std::uint8_t, BLOCK_SIZE>;

// Sets every byte of `block` to `value`.
void fill_block(Block& block, std::uint8_t value);

// block[i] ^= key[i] for every position.
void xor_block(Block& block, const Block& key);

// Returns true when all 256 bytes of `a` and `b` are equal.
[[nodiscard]] bool blocks_equal(const Block& a, const Block& b);

// block[i] = old block[perm[i]]: the permutation round. `perm` is read as 256 indices.
void gather_block(Block& block, const Block& perm);

// Overwrites `block` with the identity permutation (block[i] = i), whatever it held.
void make_permutation(Block& block);

// Replaces a permutation by its inverse. `block` must hold each value 0 .. 255 exactly once.
void invert_permutation(Block& block);

// Rotates each byte right by its own amount, amounts[i] & 7 (only the low three bits count).
void rotate_block(Block& block, const Block& amounts);

// Turns each byte, read as a signed value b, into a rotation amount: with r = b rem 8
// (truncated, so r has the sign of b), encrypt stores r and decrypt stores 8 - r, the
// rotation that undoes it.
void set_rotation_amounts(Block& block, CipherMode mode);

// Running XOR from the front (byte i ^= new byte i-1), then byte 0 ^= new byte 255.
void diffuse_block(Block& block);

// Exact inverse of diffuse_block.
void undiffuse_block(Block& block);

}  // namespace quorvel
