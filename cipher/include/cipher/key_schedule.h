// Derivation of the 12 round keys from a password, or from key-file blocks and the
// password's length.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "cipher/block_ops.h"

namespace quorvel {

inline constexpr std::size_t ROUND_KEY_COUNT = 12;

// The longest password the key schedule takes: the password and a terminating zero byte
// must fit one block.
inline constexpr std::size_t MAX_PASSWORD_SIZE = BLOCK_SIZE - 1;

// Key k has the kind k % 3: 0 a permutation, 1 an XOR key, 2 rotation amounts.
using RoundKeyTable = std::array<Block, ROUND_KEY_COUNT>;

// Where the key material comes from.
enum class KeySource : std::uint8_t {
    password,  // the password's bytes; `table` is overwritten
    key_file,  // `table` already holds the key file's 12 blocks (see read_key_file)
};

// Fills `table` with the round keys in the form `mode` needs. In password mode key j is the
// password buffer (password, a zero byte, then '0' bytes) after j + 1 mixings with the
// password's length as factor; in key-file mode key d is key-file block d mixed once with
// that factor, and the password's characters do not matter. Permutation keys always end up
// as the identity. Requires password.size() <= MAX_PASSWORD_SIZE.
void build_round_keys(RoundKeyTable& table, std::span<const std::uint8_t> password, CipherMode mode,
                      KeySource source);

}  // namespace quorvel
