#include "cipher/rounds.h"

namespace quorvel {

int select_round_count(std::uint64_t password_length) {
    if (password_length <= 8) return 12;
    if (password_length <= 12) return 24;
    if (password_length <= 16) return 36;
    return 48;
}

// Rounds past the twelfth reuse the table cyclically: round r takes key r % 12, which has the
// kind the round expects because 12 is a multiple of 3.
void encrypt_rounds(Block& block, const RoundKeyTable& keys, int rounds) {
    for (int r = 0; r < rounds; ++r) {
        const Block& key = keys[static_cast<std::size_t>(r) % ROUND_KEY_COUNT];
        switch (r % 3) {
            case 0:
                gather_block(block, key);
                break;
            case 1:
                xor_block(block, key);
                break;
            default:
                rotate_block(block, key);
                diffuse_block(block);
                break;
        }
    }
}

void decrypt_rounds(Block& block, const RoundKeyTable& keys, int rounds) {
    for (int r = rounds - 1; r >= 0; --r) {
        const Block& key = keys[static_cast<std::size_t>(r) % ROUND_KEY_COUNT];
        switch (r % 3) {
            case 0:
                gather_block(block, key);
                break;
            case 1:
                xor_block(block, key);
                break;
            default:
                undiffuse_block(block);
                rotate_block(block, key);
                break;
        }
    }
}

}  // namespace quorvel
