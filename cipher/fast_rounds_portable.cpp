// The portable path: a block as 32 little-endian 64-bit words, byte i of the block in bits
// 8 (i % 8) .. 8 (i % 8) + 7 of word i / 8.
#include <array>
#include <bit>
#include <cstring>

#include "cipher/secure_wipe.h"
#include "internal/fast_rounds_kernels.h"

namespace quorvel::detail {

namespace {

constexpr std::size_t WORD_COUNT = BLOCK_SIZE / 8;
constexpr std::uint64_t EVERY_BYTE = 0x0101010101010101u;

using Words = std::array<std::uint64_t, WORD_COUNT>;

// Used on big-endian processors only.
[[maybe_unused]] std::uint64_t byte_swapped(std::uint64_t word) {
    std::uint64_t swapped = 0;
    for (int i = 0; i < 8; ++i) {
        swapped = (swapped << 8) | (word & 0xFFu);
        word >>= 8;
    }
    return swapped;
}

Words load_words(const std::uint8_t* bytes) {
    Words words;
    std::memcpy(words.data(), bytes, BLOCK_SIZE);
    if constexpr (std::endian::native == std::endian::big) {
        for (auto& word : words) word = byte_swapped(word);
    }
    return words;
}

void store_words(const Words& words, std::uint8_t* bytes) {
    Words out = words;
    if constexpr (std::endian::native == std::endian::big) {
        for (auto& word : out) word = byte_swapped(word);
    }
    std::memcpy(bytes, out.data(), BLOCK_SIZE);
}

void xor_words(Words& words, const Words& other) {
    for (std::size_t j = 0; j < WORD_COUNT; ++j) words[j] ^= other[j];
}

// One rotation key as select masks: byte i of select[s] is 0xFF when bit s of the amount of
// byte i is set.
struct WordKey {
    std::array<Words, 3> select;
};

void make_word_key(WordKey& word_key, const Block& amounts) {
    Block select;
    for (std::size_t s = 0; s < 3; ++s) {
        for (std::size_t i = 0; i < BLOCK_SIZE; ++i) {
            const bool set = ((static_cast<unsigned>(amounts[i]) >> s) & 1u) != 0;
            select[i] = set ? 0xFF : 0x00;
        }
        word_key.select[s] = load_words(select.data());
    }
    secure_wipe(select);
}

// Rotates every byte right by its own amount in three steps, by 1, 2 and 4, each taken only
// by the bytes whose amount has that bit.
void rotate_words(Words& words, const WordKey& key) {
    for (unsigned s = 0; s < 3; ++s) {
        const unsigned k = 1u << s;
        const std::uint64_t low_bits = EVERY_BYTE * (0xFFu >> k);
        for (std::size_t j = 0; j < WORD_COUNT; ++j) {
            const std::uint64_t word = words[j];
            const std::uint64_t rotated =
                ((word >> k) & low_bits) | ((word << (8u - k)) & ~low_bits);
            words[j] = word ^ ((word ^ rotated) & key.select[s][j]);
        }
    }
}

// The running XOR: a prefix within each word, then the running total of the earlier words
// in every byte.
void diffuse_words(Words& words) {
    std::uint64_t carry = 0;
    for (auto& word : words) {
        word ^= word << 8;
        word ^= word << 16;
        word ^= word << 32;
        word ^= carry;
        carry = (word >> 56) * EVERY_BYTE;
    }
    words[0] ^= words[WORD_COUNT - 1] >> 56;
}

// Each byte XORed with the byte before it; nothing runs, so no carry.
void undiffuse_words(Words& words) {
    words[0] ^= words[WORD_COUNT - 1] >> 56;
    for (std::size_t j = WORD_COUNT - 1; j > 0; --j) {
        words[j] ^= (words[j] << 8) | (words[j - 1] >> 56);
    }
    words[0] ^= words[0] << 8;
}

struct WordRounds {
    std::array<WordKey, ROTATION_KEY_COUNT> keys;
    Words constant;
};

void prepare_portable(PreparedRounds& prepared) {
    WordRounds& rounds = make_path_keys<WordRounds>(prepared);
    for (std::size_t slot = 0; slot < ROTATION_KEY_COUNT; ++slot) {
        make_word_key(rounds.keys[slot], prepared.rotation_amounts[slot]);
    }
    rounds.constant = load_words(prepared.constant.data());
}

void encrypt_portable(std::uint8_t* data, std::size_t blocks, ChainState& state,
                      const PreparedRounds& prepared) {
    const WordRounds& rounds = path_keys_of<WordRounds>(prepared);
    Words previous = load_words(state.previous.data());
    Words sum = load_words(state.plain_sum.data());
    for (std::size_t b = 0; b < blocks; ++b, data += BLOCK_SIZE) {
        Words words = load_words(data);
        xor_words(sum, words);
        xor_words(words, previous);
        for (int g = 0; g < prepared.rotation_rounds; ++g) {
            rotate_words(words, rounds.keys[static_cast<std::size_t>(g) % ROTATION_KEY_COUNT]);
            diffuse_words(words);
        }
        xor_words(words, rounds.constant);
        store_words(words, data);
        previous = words;
    }
    store_words(previous, state.previous.data());
    store_words(sum, state.plain_sum.data());
}

void decrypt_portable(std::uint8_t* data, std::size_t blocks, ChainState& state,
                      const PreparedRounds& prepared) {
    const WordRounds& rounds = path_keys_of<WordRounds>(prepared);
    Words previous = load_words(state.previous.data());
    Words sum = load_words(state.plain_sum.data());
    for (std::size_t b = 0; b < blocks; ++b, data += BLOCK_SIZE) {
        const Words ciphertext = load_words(data);
        Words words = ciphertext;
        for (int g = prepared.rotation_rounds - 1; g >= 0; --g) {
            undiffuse_words(words);
            rotate_words(words, rounds.keys[static_cast<std::size_t>(g) % ROTATION_KEY_COUNT]);
        }
        xor_words(words, rounds.constant);
        xor_words(words, previous);
        xor_words(sum, words);
        store_words(words, data);
        previous = ciphertext;
    }
    store_words(previous, state.previous.data());
    store_words(sum, state.plain_sum.data());
}

}  // namespace

ChainKernels portable_kernels() {
    return {{encrypt_portable, prepare_portable}, {decrypt_portable, prepare_portable}};
}

}  // namespace quorvel::detail
