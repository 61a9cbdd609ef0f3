// The fast engine against the reference rounds, on every path: single blocks and chains of
// blocks, both directions, for tables from the key schedule and for arbitrary ones. A path
// this build or this processor cannot run is skipped, and says why.
#include "cipher/fast_rounds.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "cipher/rounds.h"
#include "support/cipher_inputs.h"
#include "support/test_support.h"

namespace quorvel {

// The path's name in test names and messages, instead of its byte.
void PrintTo(RoundsPath path, std::ostream* out) {
    *out << rounds_path_name(path);
}

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

// Keys prepared for one direction cannot be handed to the other, nor copied (key material has
// one owner, which wipes it).
static_assert(!std::is_convertible_v<const DecryptingRounds&, const EncryptingRounds&>);
static_assert(!std::is_convertible_v<const EncryptingRounds&, const DecryptingRounds&>);
static_assert(!std::is_copy_constructible_v<EncryptingRounds>);
static_assert(!std::is_copy_constructible_v<DecryptingRounds>);

// Why `path` cannot run here, or nothing when it can.
std::optional<std::string> unavailable_reason(RoundsPath path) {
    const auto supported = supported_rounds_paths();
    if (std::find(supported.begin(), supported.end(), path) != supported.end()) return {};
#if (defined(__x86_64__) || defined(_M_X64)) && !defined(QUORVEL_PORTABLE_ONLY)
    return path == RoundsPath::avx2
               ? "this processor lacks AVX2"
               : "this processor lacks one of AVX-512 F, BW, VL, VBMI and GFNI";
#else
    return std::string(
        "this build has only the portable path (QUORVEL_PORTABLE_ONLY or a "
        "processor other than x86-64)");
#endif
}

class FastRoundsTest : public testing::TestWithParam<RoundsPath> {
protected:
    void SetUp() override {
        if (const auto reason = unavailable_reason(GetParam())) {
            GTEST_SKIP() << "the " << rounds_path_name(GetParam()) << " path: " << *reason;
        }
    }

    EncryptingRounds encrypting(const RoundKeyTable& keys, int rounds) const {
        return EncryptingRounds(keys, rounds, GetParam());
    }
    DecryptingRounds decrypting(const RoundKeyTable& keys, int rounds) const {
        return DecryptingRounds(keys, rounds, GetParam());
    }
};

// One block through the engine with a fresh chain: the chain adds nothing to the first block.
Block encrypt_one(const Block& original, const EncryptingRounds& rounds) {
    Block block = original;
    ChainState state;
    encrypt_chained(block, state, rounds);
    return block;
}

Block decrypt_one(const Block& original, const DecryptingRounds& rounds) {
    Block block = original;
    ChainState state;
    decrypt_chained(block, state, rounds);
    return block;
}

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
            const auto encryptor = encrypting(keys.encrypt, rounds);
            const auto decryptor = decrypting(keys.decrypt, rounds);
            for (const Block& original :
                 {Block{}, ones, test::random_block(generator), test::random_block(generator)}) {
                Block expected = original;
                encrypt_rounds(expected, keys.encrypt, rounds);
                ASSERT_EQ(encrypt_one(original, encryptor), expected)
                    << "encrypt, table " << table << ", " << rounds;

                expected = original;
                decrypt_rounds(expected, keys.decrypt, rounds);
                ASSERT_EQ(decrypt_one(original, decryptor), expected)
                    << "decrypt, table " << table << ", " << rounds;
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

        const auto encryptor = encrypting(keys.encrypt, rounds);
        const auto decryptor = decrypting(keys.decrypt, rounds);
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
    const auto encryptor = encrypting(keys.encrypt, 48);
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
// still served exactly, through the reference rounds: the affine kernels, which skip the
// permutation rounds, would give other bytes.
TEST_P(FastRoundsTest, OtherPermutationsFallBackToTheReference) {
    std::mt19937 generator(5);
    KeyPair keys = random_pair(generator);
    std::shuffle(keys.encrypt[3].begin(), keys.encrypt[3].end(), generator);
    keys.decrypt[3] = keys.encrypt[3];
    invert_permutation(keys.decrypt[3]);
    const auto encryptor = encrypting(keys.encrypt, 12);
    const auto decryptor = decrypting(keys.decrypt, 12);

    const Block original = test::random_block(generator);
    Block expected = original;
    encrypt_rounds(expected, keys.encrypt, 12);
    const Block encrypted = encrypt_one(original, encryptor);
    EXPECT_EQ(encrypted, expected);
    EXPECT_EQ(decrypt_one(encrypted, decryptor), original);
}

INSTANTIATE_TEST_SUITE_P(EveryPath, FastRoundsTest,
                         testing::Values(RoundsPath::portable, RoundsPath::sse2, RoundsPath::avx2,
                                         RoundsPath::avx512),
                         [](const testing::TestParamInfo<RoundsPath>& info) {
                             return std::string(rounds_path_name(info.param));
                         });

}  // namespace
}  // namespace quorvel
