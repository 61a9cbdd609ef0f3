// The fast engine against the reference rounds, on every path this CPU can run: single blocks
// and chains of blocks, both directions, for tables from the key schedule and for arbitrary
// ones.
#include "cipher/fast_rounds.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "cipher/rounds.h"
#include "tests/support/test_support.h"

namespace quorvel {
namespace {

using test::Bytes;

// The round counts passwords select, and a few others the engine must also get right.
constexpr int ROUND_COUNTS[] = {12, 24, 36, 48, 0, 1, 2, 3, 5, 13, 49};

struct KeyPair {
    RoundKeyTable encrypt;
    RoundKeyTable decrypt;
};

KeyPair password_pair(const std::string& password) {
    return {test::password_keys(password, CipherMode::encrypt),
            test::password_keys(password, CipherMode::decrypt)};
}

// Random XOR and rotation keys, the rotation keys in both forms, identity permutations: every
// rotation amount occurs, unlike in tables whose keys are mixed from a short password.
KeyPair random_pair(std::mt19937& generator) {
    KeyPair pair;
    for (std::size_t k = 0; k < ROUND_KEY_COUNT; ++k) {
        pair.encrypt[k] = test::random_block(generator);
        pair.decrypt[k] = pair.encrypt[k];
        if (k % 3 == 0) {
            make_permutation(pair.encrypt[k]);
            make_permutation(pair.decrypt[k]);
        } else if (k % 3 == 2) {
            set_rotation_amounts(pair.encrypt[k], CipherMode::encrypt);
            set_rotation_amounts(pair.decrypt[k], CipherMode::decrypt);
        }
    }
    return pair;
}

Block block_of(const Bytes& bytes, std::size_t index) {
    Block block;
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(index * BLOCK_SIZE), BLOCK_SIZE,
                block.begin());
    return block;
}

// The chain written out with the reference rounds.
Bytes reference_encrypt_chain(const Bytes& plain, const RoundKeyTable& keys, int rounds,
                              Block& plain_sum) {
    Bytes out;
    Block previous{};
    for (std::size_t b = 0; b < plain.size() / BLOCK_SIZE; ++b) {
        Block block = block_of(plain, b);
        xor_block(plain_sum, block);
        xor_block(block, previous);
        encrypt_rounds(block, keys, rounds);
        out.insert(out.end(), block.begin(), block.end());
        previous = block;
    }
    return out;
}

class FastRoundsTest : public testing::TestWithParam<RoundsPath> {};

TEST_P(FastRoundsTest, SingleBlocksMatchTheReference) {
    std::mt19937 generator(1);
    Block ones;
    ones.fill(0xFF);
    for (int table = 0; table < 6; ++table) {
        const KeyPair keys =
            table % 2 == 0
                ? password_pair(std::string(3 + 4 * static_cast<std::size_t>(table), 'k'))
                : random_pair(generator);
        for (const int rounds : ROUND_COUNTS) {
            const auto encryptor =
                prepare_rounds(keys.encrypt, rounds, CipherMode::encrypt, GetParam());
            const auto decryptor =
                prepare_rounds(keys.decrypt, rounds, CipherMode::decrypt, GetParam());
            for (const Block& original :
                 {Block{}, ones, test::random_block(generator), test::random_block(generator)}) {
                Block expected = original;
                encrypt_rounds(expected, keys.encrypt, rounds);
                Block fast = original;
                encrypt_block_fast(fast, encryptor);
                ASSERT_EQ(fast, expected) << "encrypt, table " << table << ", " << rounds;

                expected = original;
                decrypt_rounds(expected, keys.decrypt, rounds);
                fast = original;
                decrypt_block_fast(fast, decryptor);
                ASSERT_EQ(fast, expected) << "decrypt, table " << table << ", " << rounds;
            }
        }
    }
}

// Chains over many blocks, handed over in calls of uneven sizes so that the chain state
// carries across calls, give the blocks and the plaintext sum of the reference chain, and
// decrypt back.
TEST_P(FastRoundsTest, ChainsMatchTheReferenceAcrossCalls) {
    std::mt19937 generator(2);
    constexpr std::size_t BLOCKS = 37;
    const std::size_t call_sizes[] = {1, 5, 16, 2, 13};
    for (const int rounds : {12, 24, 36, 48}) {
        const KeyPair keys = random_pair(generator);
        const Bytes plain =
            test::random_bytes(BLOCKS * BLOCK_SIZE, static_cast<std::uint32_t>(generator()));
        Block expected_sum{};
        const Bytes expected = reference_encrypt_chain(plain, keys.encrypt, rounds, expected_sum);

        const auto encryptor =
            prepare_rounds(keys.encrypt, rounds, CipherMode::encrypt, GetParam());
        const auto decryptor =
            prepare_rounds(keys.decrypt, rounds, CipherMode::decrypt, GetParam());
        Bytes data = plain;
        ChainState encrypting;
        ChainState decrypting;
        std::size_t done = 0;
        for (std::size_t call = 0; done < BLOCKS; ++call) {
            const std::size_t count = std::min(call_sizes[call % 5], BLOCKS - done);
            const auto span = std::span(data).subspan(done * BLOCK_SIZE, count * BLOCK_SIZE);
            encrypt_chained(span, encrypting, encryptor);
            ASSERT_TRUE(
                std::equal(span.begin(), span.end(),
                           expected.begin() + static_cast<std::ptrdiff_t>(done * BLOCK_SIZE)))
                << rounds << " rounds, blocks " << done << " .. " << done + count - 1;
            decrypt_chained(span, decrypting, decryptor);
            done += count;
        }
        EXPECT_EQ(encrypting.plain_sum, expected_sum) << rounds << " rounds";
        EXPECT_EQ(encrypting.previous, block_of(expected, BLOCKS - 1));
        EXPECT_EQ(data, plain) << rounds << " rounds";
        EXPECT_EQ(decrypting.plain_sum, expected_sum);
        EXPECT_EQ(decrypting.previous, block_of(expected, BLOCKS - 1));
    }
}

// A chain of blocks and the same blocks one call at a time give the same bytes.
TEST_P(FastRoundsTest, ManyBlocksAtOnceMatchOneAtATime) {
    std::mt19937 generator(3);
    const KeyPair keys = password_pair("seventeen-chars!!");
    const auto encryptor = prepare_rounds(keys.encrypt, 48, CipherMode::encrypt, GetParam());
    const Bytes plain = test::random_bytes(64 * BLOCK_SIZE, 4);

    Bytes together = plain;
    ChainState chain;
    encrypt_chained(together, chain, encryptor);

    Bytes singly = plain;
    ChainState single_chain;
    for (std::size_t b = 0; b < 64; ++b) {
        encrypt_chained(std::span(singly).subspan(b * BLOCK_SIZE, BLOCK_SIZE), single_chain,
                        encryptor);
    }
    EXPECT_EQ(together, singly);
    EXPECT_EQ(chain.plain_sum, single_chain.plain_sum);
}

// A table whose permutation keys are not the identity (the key schedule never makes one) is
// still served exactly, through the reference rounds.
TEST_P(FastRoundsTest, OtherPermutationsFallBackToTheReference) {
    std::mt19937 generator(5);
    KeyPair keys = random_pair(generator);
    std::shuffle(keys.encrypt[3].begin(), keys.encrypt[3].end(), generator);
    keys.decrypt[3] = keys.encrypt[3];
    invert_permutation(keys.decrypt[3]);
    const auto encryptor = prepare_rounds(keys.encrypt, 12, CipherMode::encrypt, GetParam());
    const auto decryptor = prepare_rounds(keys.decrypt, 12, CipherMode::decrypt, GetParam());
    EXPECT_FALSE(encryptor.affine);

    const Block original = test::random_block(generator);
    Block expected = original;
    encrypt_rounds(expected, keys.encrypt, 12);
    Block fast = original;
    encrypt_block_fast(fast, encryptor);
    EXPECT_EQ(fast, expected);
    decrypt_block_fast(fast, decryptor);
    EXPECT_EQ(fast, original);
}

INSTANTIATE_TEST_SUITE_P(EveryPath, FastRoundsTest,
                         testing::ValuesIn(supported_rounds_paths().begin(),
                                           supported_rounds_paths().end()),
                         [](const testing::TestParamInfo<RoundsPath>& info) {
                             return std::string(rounds_path_name(info.param));
                         });

}  // namespace
}  // namespace quorvel
