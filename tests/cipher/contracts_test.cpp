// The preconditions that guard memory stop the program in every build, the release build
// included, and let the limits themselves through.
#include <gtest/gtest.h>

#include <vector>

#include "cipher/fast_rounds.h"
#include "cipher/key_schedule.h"
#include "support/cipher_inputs.h"
#include "support/test_support.h"

namespace quorvel {
namespace {

const test::Bytes SAMPLE(3 * BLOCK_SIZE, 0x5A);

test::Bytes encrypted(std::size_t size) {
    const EncryptingRounds rounds(test::password_keys("pw", CipherMode::encrypt), 12);
    test::Bytes data(SAMPLE.begin(), SAMPLE.begin() + static_cast<std::ptrdiff_t>(size));
    ChainState state;
    encrypt_chained(data, state, rounds);
    return data;
}

test::Bytes decrypted(std::size_t size) {
    const DecryptingRounds rounds(test::password_keys("pw", CipherMode::decrypt), 12);
    test::Bytes data(SAMPLE.begin(), SAMPLE.begin() + static_cast<std::ptrdiff_t>(size));
    ChainState state;
    decrypt_chained(data, state, rounds);
    return data;
}

RoundKeyTable password_keys(std::size_t password_size) {
    const std::vector<std::uint8_t> password(password_size, 'p');
    RoundKeyTable table{};
    build_round_keys(table, password, CipherMode::encrypt, KeySource::password);
    return table;
}

TEST(ContractsDeathTest, BrokenPreconditionsStopTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(encrypted(BLOCK_SIZE - 1), "");
    EXPECT_DEATH(encrypted(2 * BLOCK_SIZE + 1), "");
    EXPECT_DEATH(decrypted(BLOCK_SIZE + 1), "");
    EXPECT_DEATH(password_keys(MAX_PASSWORD_SIZE + 1), "");
}

TEST(Contracts, TheLimitsThemselvesPass) {
    EXPECT_TRUE(encrypted(0).empty());
    EXPECT_NE(encrypted(3 * BLOCK_SIZE), SAMPLE);
    EXPECT_NE(decrypted(3 * BLOCK_SIZE), SAMPLE);
    // The longest password fills the block but for its terminating zero.
    EXPECT_NE(password_keys(MAX_PASSWORD_SIZE), password_keys(MAX_PASSWORD_SIZE - 1));
}

}  // namespace
}  // namespace quorvel
