#include "cipher/key_schedule.h"

#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <string>

#include "cipher/mixer.h"
#include "support/cipher_inputs.h"

namespace quorvel {
namespace {

Block identity_permutation() {
    Block identity;
    std::iota(identity.begin(), identity.end(), 0);
    return identity;
}

// The password buffer before any mixing: the password, a zero byte, then '0' fill.
Block password_buffer(const std::string& password) {
    Block buffer;
    buffer.fill('0');
    std::copy(password.begin(), password.end(), buffer.begin());
    buffer[password.size()] = 0;
    return buffer;
}

TEST(KeySchedule, EmptyPasswordMixesNothing) {
    const auto encrypt = test::password_keys("", CipherMode::encrypt);
    const auto decrypt = test::password_keys("", CipherMode::decrypt);
    Block zero_amounts{};
    Block eight_amounts;
    eight_amounts.fill(8);
    for (std::size_t k = 0; k < ROUND_KEY_COUNT; ++k) {
        switch (k % 3) {
            case 0:
                EXPECT_EQ(encrypt[k], identity_permutation());
                EXPECT_EQ(decrypt[k], identity_permutation());
                break;
            case 1:
                EXPECT_EQ(encrypt[k], password_buffer(""));
                EXPECT_EQ(decrypt[k], password_buffer(""));
                break;
            default:
                EXPECT_EQ(encrypt[k], zero_amounts);  // '0' is 48, a multiple of 8
                EXPECT_EQ(decrypt[k], eight_amounts);
        }
    }
}

TEST(KeySchedule, LongPasswordsHaveNegativeFactorAndAreNotMixed) {
    for (const std::size_t length : {128u, 200u, 255u}) {
        const std::string password(length, 'k');
        const auto keys = test::password_keys(password, CipherMode::encrypt);
        EXPECT_EQ(keys[1], password_buffer(password)) << length;
        EXPECT_EQ(keys[10], password_buffer(password)) << length;
    }
}

TEST(KeySchedule, PasswordKeysAreSuccessiveMixings) {
    const std::string password = "secret";
    const auto keys = test::password_keys(password, CipherMode::encrypt);
    Block buffer = password_buffer(password);
    for (std::size_t j = 0; j < ROUND_KEY_COUNT; ++j) {
        mix_block(buffer, static_cast<std::int8_t>(password.size()));
        if (j % 3 == 1) {
            EXPECT_EQ(keys[j], buffer) << "key " << j;
        }
    }
    EXPECT_NE(keys[1], keys[4]);
}

TEST(KeySchedule, FormsDifferOnlyInRotationKeys) {
    const auto encrypt = test::password_keys("correct horse", CipherMode::encrypt);
    const auto decrypt = test::password_keys("correct horse", CipherMode::decrypt);
    for (std::size_t k = 0; k < ROUND_KEY_COUNT; ++k) {
        if (k % 3 == 2) {
            EXPECT_NE(encrypt[k], decrypt[k]) << k;
        } else {
            EXPECT_EQ(encrypt[k], decrypt[k]) << k;
        }
    }
}

TEST(KeySchedule, KeyFileModeUsesOnlyThePasswordLength) {
    std::mt19937 generator(6);
    RoundKeyTable file_blocks;
    for (auto& block : file_blocks) block = test::random_block(generator);

    auto derive = [&](const std::string& password) {
        RoundKeyTable keys = file_blocks;
        build_round_keys(
            keys,
            std::span(reinterpret_cast<const std::uint8_t*>(password.data()), password.size()),
            CipherMode::encrypt, KeySource::key_file);
        return keys;
    };
    EXPECT_EQ(derive("abcde"), derive("vwxyz"));
    EXPECT_NE(derive("abcde"), derive("abcdef"));

    // Each XOR key is its key-file block mixed once with the length as factor.
    Block expected = file_blocks[4];
    mix_block(expected, 5);
    EXPECT_EQ(derive("abcde")[4], expected);
    EXPECT_EQ(derive("abcde")[0], identity_permutation());
}

}  // namespace
}  // namespace quorvel
