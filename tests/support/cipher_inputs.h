// Inputs of the cipher as its tests and the container's make them: random blocks, and the
// keys the program derives from a password. Header-only, so that it links nothing besides the
// cipher the test already links.
#pragma once

#include <cstdint>
#include <random>
#include <span>
#include <string>

#include "cipher/block_ops.h"
#include "cipher/key_schedule.h"

namespace quorvel::test {

inline Block random_block(std::mt19937& generator) {
    Block block;
    for (auto& byte : block) byte = static_cast<std::uint8_t>(generator());
    return block;
}

// Keys of a password, in the given form, as the program derives them.
inline RoundKeyTable password_keys(const std::string& password, CipherMode mode) {
    RoundKeyTable keys{};
    build_round_keys(
        keys, std::span(reinterpret_cast<const std::uint8_t*>(password.data()), password.size()),
        mode, KeySource::password);
    return keys;
}

}  // namespace quorvel::test
