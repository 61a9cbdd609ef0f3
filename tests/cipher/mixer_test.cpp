#include "cipher/mixer.h"

#include <gtest/gtest.h>

#include <random>

#include "support/cipher_inputs.h"

namespace quorvel {
namespace {

TEST(Mixer, NonPositiveFactorLeavesBlockUnchanged) {
    std::mt19937 generator(4);
    const Block original = test::random_block(generator);
    for (const std::uint64_t length : {0u, 128u, 200u, 255u}) {
        Block block = original;
        mix_block(block, mix_factor(length));
        EXPECT_EQ(block, original) << "length " << length;
    }
    EXPECT_EQ(mix_factor(200), -56);
    EXPECT_EQ(mix_factor(256 + 5), 5);
}

TEST(Mixer, ZeroBlockStaysZero) {
    Block block{};
    mix_block(block, 1);
    EXPECT_EQ(block, Block{});
}

TEST(Mixer, FactorIsRepeatedMixing) {
    std::mt19937 generator(5);
    const Block original = test::random_block(generator);
    Block once_each = original;
    for (int i = 0; i < 3; ++i) mix_block(once_each, 1);
    Block at_once = original;
    mix_block(at_once, 3);
    EXPECT_EQ(at_once, once_each);
    EXPECT_NE(at_once, original);
}

}  // namespace
}  // namespace quorvel
