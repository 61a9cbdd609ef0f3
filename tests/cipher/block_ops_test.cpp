#include "cipher/block_ops.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

#include "support/cipher_inputs.h"

namespace quorvel {
namespace {

Block block_of(std::initializer_list<std::uint8_t> head) {
    Block block{};
    std::copy(head.begin(), head.end(), block.begin());
    return block;
}

TEST(Diffusion, KnownAnswers) {
    Block block = block_of({1, 2, 3});
    diffuse_block(block);
    EXPECT_EQ(block, block_of({1, 3, 0}));

    Block zero{};
    diffuse_block(zero);
    EXPECT_EQ(zero, Block{});

    Block last{};
    last[255] = 0x5A;
    diffuse_block(last);
    Block expected{};
    expected[0] = 0x5A;
    expected[255] = 0x5A;
    EXPECT_EQ(last, expected);
}

TEST(Diffusion, UndiffuseUndoesDiffuse) {
    std::mt19937 generator(1);
    for (int i = 0; i < 100; ++i) {
        const Block original = test::random_block(generator);
        Block block = original;
        diffuse_block(block);
        EXPECT_NE(block, original);
        undiffuse_block(block);
        EXPECT_EQ(block, original);
    }
}

TEST(RotationAmounts, SignedRemainderInBothModes) {
    struct Case {
        std::uint8_t byte, encrypt, decrypt;
    };
    const Case cases[] = {{0x00, 0x00, 8}, {0x07, 0x07, 1},  {0x08, 0x00, 8}, {0x7F, 0x07, 1},
                          {0x80, 0x00, 8}, {0xF9, 0xF9, 15}, {0xFF, 0xFF, 9}, {0xFD, 0xFD, 11}};
    for (const auto& c : cases) {
        Block encrypt{}, decrypt{};
        encrypt[0] = decrypt[0] = c.byte;
        set_rotation_amounts(encrypt, CipherMode::encrypt);
        set_rotation_amounts(decrypt, CipherMode::decrypt);
        EXPECT_EQ(encrypt[0], c.encrypt) << "byte " << int(c.byte);
        EXPECT_EQ(decrypt[0], c.decrypt) << "byte " << int(c.byte);
    }
}

TEST(Rotation, LowThreeBitsCount) {
    Block block{};
    block[0] = 0x01;  // by 1
    block[1] = 0xA5;  // by 8: unchanged
    block[2] = 0xA5;  // by 0x10: unchanged
    block[3] = 0x81;  // by 0x0B, that is 3
    Block amounts{};
    amounts[0] = 1;
    amounts[1] = 8;
    amounts[2] = 0x10;
    amounts[3] = 0x0B;
    rotate_block(block, amounts);
    EXPECT_EQ(block, block_of({0x80, 0xA5, 0xA5, 0x30}));
}

TEST(Rotation, DecryptAmountsUndoEncryptAmounts) {
    std::mt19937 generator(2);
    const Block key = test::random_block(generator);
    Block forward = key, backward = key;
    set_rotation_amounts(forward, CipherMode::encrypt);
    set_rotation_amounts(backward, CipherMode::decrypt);
    const Block original = test::random_block(generator);
    Block block = original;
    rotate_block(block, forward);
    rotate_block(block, backward);
    EXPECT_EQ(block, original);
}

TEST(Permutation, IdentityAndInverse) {
    Block identity;
    std::iota(identity.begin(), identity.end(), 0);

    Block made;
    made.fill(0x77);
    make_permutation(made);
    EXPECT_EQ(made, identity);
    invert_permutation(made);
    EXPECT_EQ(made, identity);

    std::mt19937 generator(3);
    const Block data = test::random_block(generator);
    Block gathered = data;
    gather_block(gathered, identity);
    EXPECT_EQ(gathered, data);

    Block shuffled = identity;
    std::shuffle(shuffled.begin(), shuffled.end(), generator);
    Block inverse = shuffled;
    invert_permutation(inverse);
    gather_block(gathered, shuffled);
    EXPECT_NE(gathered, data);
    gather_block(gathered, inverse);
    EXPECT_EQ(gathered, data);
}

}  // namespace
}  // namespace quorvel
