// The keyless scrambler behind round keys, key-file bytes and the check block. It is not
// invertible in general and nothing inverts it.
#pragma once

#include <cstdint>

#include "cipher/block_ops.h"

namespace quorvel {

// Runs 3 * factor passes over `block` (none when factor <= 0). Each group of three passes is:
// diffuse; diffuse; rotate every byte right by (its value + its position) & 7, then diffuse.
// Callers holding a wider count pass its low 8 bits read as signed: a length of 200 gives -56.
void mix_block(Block& block, std::int8_t factor);

// The low 8 bits of `length`, read as the signed factor mix_block takes.
[[nodiscard]] std::int8_t mix_factor(std::uint64_t length);

}  // namespace quorvel
