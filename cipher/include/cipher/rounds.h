// The round sequence that turns one chained block into a ciphertext block and back, and the
// number of rounds a password's length selects.
#pragma once

#include <cstdint>

#include "cipher/block_ops.h"
#include "cipher/key_schedule.h"

namespace quorvel {

// 12 rounds for passwords of 0 .. 8 bytes, 24 for 9 .. 12, 36 for 13 .. 16, 48 from 17 on.
[[nodiscard]] int select_round_count(std::uint64_t password_length);

// Runs rounds 0 .. rounds-1 on `block`. Round r uses key r % 12 and has the kind r % 3:
// a gather through a permutation key, an XOR, or a rotation followed by diffusion.
// `keys` must hold the encrypt form.
void encrypt_rounds(Block& block, const RoundKeyTable& keys, int rounds);

// Undoes encrypt_rounds with the same round count; `keys` must hold the decrypt form.
void decrypt_rounds(Block& block, const RoundKeyTable& keys, int rounds);

}  // namespace quorvel
