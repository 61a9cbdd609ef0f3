#include "cipher/rounds.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "support/cipher_inputs.h"

namespace quorvel {
namespace {

TEST(RoundCount, ByPasswordLength) {
    const std::pair<std::uint64_t, int> cases[] = {{0, 12},   {8, 12},       {9, 24},  {12, 24},
                                                   {13, 36},  {16, 36},      {17, 48}, {255, 48},
                                                   {256, 48}, {1u << 20, 48}};
    for (const auto& [length, rounds] : cases) {
        EXPECT_EQ(select_round_count(length), rounds) << "length " << length;
    }
}

TEST(Rounds, DecryptUndoesEncryptForEveryRoundCount) {
    std::mt19937 generator(7);
    for (const std::size_t length : {0u, 5u, 8u, 9u, 12u, 13u, 16u, 17u, 40u}) {
        std::string password(length, '\0');
        for (auto& c : password) c = static_cast<char>('!' + generator() % 90);
        const auto encrypt_keys = test::password_keys(password, CipherMode::encrypt);
        const auto decrypt_keys = test::password_keys(password, CipherMode::decrypt);
        const int rounds = select_round_count(length);

        Block ones;
        ones.fill(0xFF);
        for (const Block& original : {Block{}, ones, test::random_block(generator)}) {
            Block block = original;
            encrypt_rounds(block, encrypt_keys, rounds);
            EXPECT_NE(block, original);
            decrypt_rounds(block, decrypt_keys, rounds);
            EXPECT_EQ(block, original) << "password length " << length;
        }
    }
}

TEST(Rounds, ZeroKeysLeaveOnlyTheDiffusions) {
    RoundKeyTable keys{};
    for (std::size_t k = 0; k < ROUND_KEY_COUNT; k += 3) make_permutation(keys[k]);
    std::mt19937 generator(8);
    const Block original = test::random_block(generator);
    for (const int rounds : {12, 48}) {
        Block block = original;
        encrypt_rounds(block, keys, rounds);
        Block expected = original;
        for (int i = 0; i < rounds / 3; ++i) diffuse_block(expected);
        EXPECT_EQ(block, expected) << rounds << " rounds";
    }
}

// Rounds past the twelfth reuse keys cyclically, so 24 rounds are 12 rounds twice.
TEST(Rounds, LongerRoundCountsReuseTheTable) {
    const auto keys = test::password_keys("0123456789", CipherMode::encrypt);
    std::mt19937 generator(9);
    const Block original = test::random_block(generator);
    Block twice = original;
    encrypt_rounds(twice, keys, 12);
    encrypt_rounds(twice, keys, 12);
    Block at_once = original;
    encrypt_rounds(at_once, keys, 24);
    EXPECT_EQ(at_once, twice);
}

}  // namespace
}  // namespace quorvel
