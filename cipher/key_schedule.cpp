#include "cipher/key_schedule.h"

#include <algorithm>

#include "cipher/mixer.h"
#include "cipher/secure_wipe.h"
#include "internal/expects.h"

namespace quorvel {

namespace {

void derive_from_password(RoundKeyTable& table, std::span<const std::uint8_t> password,
                          std::int8_t factor) {
    Block work;
    fill_block(work, '0');
    std::copy(password.begin(), password.end(), work.begin());
    work[password.size()] = 0;
    // The buffer is not reset between keys: key j is the buffer after j + 1 mixings.
    for (auto& key : table) {
        mix_block(work, factor);
        key = work;
    }
    secure_wipe(work);
}

void derive_from_key_file(RoundKeyTable& table, std::int8_t factor) {
    for (auto& key : table) mix_block(key, factor);
}

void put_keys_in_mode_form(RoundKeyTable& table, CipherMode mode) {
    for (std::size_t k = 0; k < ROUND_KEY_COUNT; ++k) {
        if (k % 3 == 0) {
            make_permutation(table[k]);
            if (mode == CipherMode::decrypt) invert_permutation(table[k]);
        } else if (k % 3 == 2) {
            set_rotation_amounts(table[k], mode);
        }
    }
}

}  // namespace

void build_round_keys(RoundKeyTable& table, std::span<const std::uint8_t> password, CipherMode mode,
                      KeySource source) {
    // The password and its terminating zero are copied into one block.
    detail::expects(password.size() <= MAX_PASSWORD_SIZE);
    const std::int8_t factor = mix_factor(password.size());
    if (source == KeySource::password) {
        derive_from_password(table, password, factor);
    } else {
        derive_from_key_file(table, factor);
    }
    put_keys_in_mode_form(table, mode);
}

}  // namespace quorvel
