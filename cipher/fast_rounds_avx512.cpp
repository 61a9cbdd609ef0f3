// The AVX-512 path. Encryption is the column form of fast_rounds_pairs.h, as on the AVX2 path,
// with AVX-512's 32 vector registers to hold it. Decryption, whose blocks do not wait for each
// other, takes eight blocks at a time side by side (see SideBySide), where a rotation is one
// GFNI transform per vector; the blocks left over at the end of a call keep the layout they
// have in memory, 4 vectors of 64 bytes, with byte masks picking which bytes take each of three
// GFNI rotations. Every function is compiled for these extensions through a target attribute,
// as on the AVX2 path.
#include "cipher/secure_wipe.h"
#include "internal/fast_rounds_kernels.h"

#ifdef QUORVEL_X86_64

#include <immintrin.h>

#if defined(__GNUC__) || defined(__clang__)
#define QUORVEL_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,gfni")))
#else
#define QUORVEL_AVX512
#endif

namespace quorvel::detail {

namespace {

constexpr int LANES = static_cast<int>(BLOCK_SIZE / 64);

struct Lanes {
    __m512i v[LANES];
};

// Which bytes of each vector rotate by 1, 2 and 4: bit i of select[s][j] is set when bit s of
// the amount of byte 64 j + i is.
struct LaneKey {
    __mmask64 select[3][LANES];
};

// Eight blocks side by side: each 64-bit word holds one byte position of all eight blocks
// (byte b of the word from block b). A rotation, the same for all bytes of a word, is then one
// GFNI transform with a matrix per word instead of three masked ones. Vector m of slice q
// holds, in 128-bit lane L and word h, position 64 q + 16 L + 2 m + h: the arrangement that
// three rounds of byte interleaving make of slice q of the eight blocks.
constexpr int SIDE_BY_SIDE = 8;
constexpr std::size_t SIDE_BY_SIDE_BYTES = SIDE_BY_SIDE * BLOCK_SIZE;
constexpr int SLICE_VECTORS = 8;

struct SideBySide {
    __m512i v[LANES][SLICE_VECTORS];
};

// One rotation key as a GFNI matrix per position, arranged as SideBySide.
struct SideBySideKey {
    __m512i matrix[LANES][SLICE_VECTORS];
};

// What decryption keeps in PreparedRounds::path_keys.
struct LaneRounds {
    LaneKey keys[ROTATION_KEY_COUNT];
    SideBySideKey side_by_side[ROTATION_KEY_COUNT];
    Lanes constant;
};

// The GFNI matrix that rotates every byte right by `amount`: result bit i is bit
// (i + amount) % 8 of the byte, and row 7 - i of the matrix picks the bits of result bit i.
constexpr long long rotation_matrix(unsigned amount) {
    unsigned long long matrix = 0;
    for (unsigned i = 0; i < 8; ++i) {
        matrix |= (1ull << ((i + amount) % 8)) << (8 * (7 - i));
    }
    return static_cast<long long>(matrix);
}

QUORVEL_AVX512 inline Lanes load_lanes(const std::uint8_t* bytes) {
    Lanes lanes;
#pragma GCC unroll 4
    for (int j = 0; j < LANES; ++j) lanes.v[j] = _mm512_loadu_si512(bytes + 64 * j);
    return lanes;
}

QUORVEL_AVX512 inline void store_lanes(const Lanes& lanes, std::uint8_t* bytes) {
#pragma GCC unroll 4
    for (int j = 0; j < LANES; ++j) _mm512_storeu_si512(bytes + 64 * j, lanes.v[j]);
}

QUORVEL_AVX512 inline void xor_lanes(Lanes& lanes, const Lanes& other) {
#pragma GCC unroll 4
    for (int j = 0; j < LANES; ++j) lanes.v[j] = _mm512_xor_si512(lanes.v[j], other.v[j]);
}

// Rotation by 1, then 2, then 4, each applied only to the bytes whose amount has that bit.
QUORVEL_AVX512 inline void rotate_lanes(Lanes& lanes, const LaneKey& key) {
    const __m512i by_one = _mm512_set1_epi64(rotation_matrix(1));
    const __m512i by_two = _mm512_set1_epi64(rotation_matrix(2));
    const __m512i by_four = _mm512_set1_epi64(rotation_matrix(4));
#pragma GCC unroll 4
    for (int j = 0; j < LANES; ++j) {
        __m512i lane = lanes.v[j];
        lane = _mm512_mask_gf2p8affine_epi64_epi8(lane, key.select[0][j], lane, by_one, 0);
        lane = _mm512_mask_gf2p8affine_epi64_epi8(lane, key.select[1][j], lane, by_two, 0);
        lane = _mm512_mask_gf2p8affine_epi64_epi8(lane, key.select[2][j], lane, by_four, 0);
        lanes.v[j] = lane;
    }
}

// Byte 0 takes byte 255 and byte 1 takes the new byte 0, so byte 1 also takes byte 255; every
// other byte takes the byte before it.
QUORVEL_AVX512 inline void undiffuse_lanes(Lanes& lanes) {
    // Index i - 1 for byte i; byte 0 takes byte 63 of the second source, the vector before.
    const __m512i before = _mm512_set_epi8(
        62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45, 44, 43, 42, 41, 40,
        39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17,
        16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 127);
    const __m512i last = _mm512_set1_epi8(63);
    const __m512i wrapped = _mm512_maskz_permutexvar_epi8(2, last, lanes.v[LANES - 1]);
    const __m512i first = _mm512_permutex2var_epi8(lanes.v[0], before, lanes.v[LANES - 1]);
#pragma GCC unroll 4
    for (int j = LANES - 1; j > 0; --j) {
        lanes.v[j] = _mm512_xor_si512(lanes.v[j],
                                      _mm512_permutex2var_epi8(lanes.v[j], before, lanes.v[j - 1]));
    }
    lanes.v[0] = _mm512_xor_si512(_mm512_xor_si512(lanes.v[0], first), wrapped);
}

QUORVEL_AVX512 void prepare_lanes(PreparedRounds& prepared) {
    LaneRounds& rounds = make_path_keys<LaneRounds>(prepared);
    for (std::size_t slot = 0; slot < ROTATION_KEY_COUNT; ++slot) {
        for (std::size_t s = 0; s < 3; ++s) {
            for (std::size_t j = 0; j < LANES; ++j) {
                std::uint64_t select = 0;
                for (std::size_t i = 0; i < 64; ++i) {
                    const unsigned amount = prepared.rotation_amounts[slot][64 * j + i];
                    select |= static_cast<std::uint64_t>((amount >> s) & 1u) << i;
                }
                rounds.keys[slot].select[s][j] = select;
            }
        }
        for (std::size_t q = 0; q < LANES; ++q) {
            for (std::size_t m = 0; m < SLICE_VECTORS; ++m) {
                // Loaded unaligned: a local's alignment is not kept everywhere (the address
                // sanitizer's detached stack frames give 32 bytes at most).
                long long matrices[8];
                for (std::size_t word = 0; word < 8; ++word) {
                    const std::size_t position = 64 * q + 16 * (word / 2) + 2 * m + word % 2;
                    matrices[word] = rotation_matrix(prepared.rotation_amounts[slot][position]);
                }
                rounds.side_by_side[slot].matrix[q][m] = _mm512_loadu_si512(matrices);
                secure_wipe(std::as_writable_bytes(std::span(matrices)));
            }
        }
    }
    rounds.constant = load_lanes(prepared.constant.data());
}

// One round of interleaving the bytes of vector i with those of vector i + 4. Three rounds
// put eight blocks side by side (see SideBySide); four more put them back.
QUORVEL_AVX512 inline void interleave(__m512i (&v)[SLICE_VECTORS]) {
    __m512i next[SLICE_VECTORS];
#pragma GCC unroll 4
    for (int i = 0; i < SLICE_VECTORS / 2; ++i) {
        next[2 * i] = _mm512_unpacklo_epi8(v[i], v[i + 4]);
        next[2 * i + 1] = _mm512_unpackhi_epi8(v[i], v[i + 4]);
    }
#pragma GCC unroll 8
    for (int i = 0; i < SLICE_VECTORS; ++i) v[i] = next[i];
}

QUORVEL_AVX512 inline void load_side_by_side(SideBySide& blocks, const std::uint8_t* bytes) {
#pragma GCC unroll 4
    for (int q = 0; q < LANES; ++q) {
#pragma GCC unroll 8
        for (int b = 0; b < SIDE_BY_SIDE; ++b) {
            blocks.v[q][b] = _mm512_loadu_si512(bytes + 256 * b + 64 * q);
        }
        for (int round = 0; round < 3; ++round) interleave(blocks.v[q]);
    }
}

// Each position takes the one before it, as in undiffuse_lanes. Word 1 of a lane holds the
// position after word 0; word 0 follows word 1 of the vector before, and vector 0 of a slice
// follows vector 7 one lane down (the slice before for lane 0; position 255 for position 0).
QUORVEL_AVX512 inline void undiffuse_side_by_side(SideBySide& blocks) {
    __m512i last[LANES];
#pragma GCC unroll 4
    for (int q = 0; q < LANES; ++q) last[q] = blocks.v[q][SLICE_VECTORS - 1];
#pragma GCC unroll 4
    for (int q = LANES - 1; q >= 0; --q) {
        __m512i(&v)[SLICE_VECTORS] = blocks.v[q];
#pragma GCC unroll 8
        for (int m = SLICE_VECTORS - 1; m > 0; --m) {
            v[m] = _mm512_xor_si512(v[m], _mm512_alignr_epi8(v[m], v[m - 1], 8));
        }
        const __m512i lane_down =
            _mm512_maskz_alignr_epi64(0xFF, last[q], last[(q + LANES - 1) % LANES], 6);
        v[0] = _mm512_xor_si512(v[0], _mm512_alignr_epi8(v[0], lane_down, 8));
        // Position 1 also takes position 255 (word 1 of lane_down in slice 0).
        if (q == 0) v[0] = _mm512_mask_xor_epi64(v[0], 0x02, v[0], lane_down);
    }
}

QUORVEL_AVX512 inline void rotate_side_by_side(SideBySide& blocks, const SideBySideKey& key) {
#pragma GCC unroll 4
    for (int q = 0; q < LANES; ++q) {
#pragma GCC unroll 8
        for (int m = 0; m < SLICE_VECTORS; ++m) {
            blocks.v[q][m] = _mm512_gf2p8affine_epi64_epi8(blocks.v[q][m], key.matrix[q][m], 0);
        }
    }
}

// Decrypts eight blocks at `data` in place; `previous` and `sum` carry the chain.
QUORVEL_AVX512 inline void decrypt_eight(std::uint8_t* data, Lanes& previous, Lanes& sum,
                                         const LaneRounds& rounds, int rotation_rounds) {
    SideBySide blocks;
    load_side_by_side(blocks, data);
    for (int g = rotation_rounds - 1; g >= 0; --g) {
        undiffuse_side_by_side(blocks);
        rotate_side_by_side(blocks,
                            rounds.side_by_side[static_cast<std::size_t>(g) % ROTATION_KEY_COUNT]);
    }
#pragma GCC unroll 4
    for (int q = 0; q < LANES; ++q) {
        __m512i(&v)[SLICE_VECTORS] = blocks.v[q];
        for (int round = 0; round < 4; ++round) interleave(v);
        // Block b is now v[b]. Going from the last block down, the ciphertext of the block
        // before is still in memory when block b is stored.
        std::uint8_t* slice = data + 64 * q;
        const __m512i last_ciphertext = _mm512_loadu_si512(slice + 256 * (SIDE_BY_SIDE - 1));
#pragma GCC unroll 8
        for (int b = SIDE_BY_SIDE - 1; b >= 0; --b) {
            const __m512i before =
                b > 0 ? _mm512_loadu_si512(slice + 256 * (b - 1)) : previous.v[q];
            const __m512i plain =
                _mm512_ternarylogic_epi64(v[b], rounds.constant.v[q], before, 0x96);
            sum.v[q] = _mm512_xor_si512(sum.v[q], plain);
            _mm512_storeu_si512(slice + 256 * b, plain);
        }
        previous.v[q] = last_ciphertext;
    }
}

QUORVEL_AVX512 void decrypt_avx512(std::uint8_t* data, std::size_t blocks, ChainState& state,
                                   const PreparedRounds& prepared) {
    const LaneRounds& rounds = path_keys_of<LaneRounds>(prepared);
    Lanes previous = load_lanes(state.previous.data());
    Lanes sum = load_lanes(state.plain_sum.data());
    std::size_t b = 0;
    for (; b + SIDE_BY_SIDE <= blocks; b += SIDE_BY_SIDE, data += SIDE_BY_SIDE_BYTES) {
        decrypt_eight(data, previous, sum, rounds, prepared.rotation_rounds);
    }
    for (; b < blocks; ++b, data += BLOCK_SIZE) {
        const Lanes ciphertext = load_lanes(data);
        Lanes lanes = ciphertext;
        for (int g = prepared.rotation_rounds - 1; g >= 0; --g) {
            undiffuse_lanes(lanes);
            rotate_lanes(lanes, rounds.keys[static_cast<std::size_t>(g) % ROTATION_KEY_COUNT]);
        }
        xor_lanes(lanes, rounds.constant);
        xor_lanes(lanes, previous);
        xor_lanes(sum, lanes);
        store_lanes(lanes, data);
        previous = ciphertext;
    }
    store_lanes(previous, state.previous.data());
    store_lanes(sum, state.plain_sum.data());
}

#define QUORVEL_PAIRS QUORVEL_AVX512
#include "internal/fast_rounds_pairs.h"
#undef QUORVEL_PAIRS

QUORVEL_AVX512 void encrypt_avx512(std::uint8_t* data, std::size_t blocks, ChainState& state,
                                   const PreparedRounds& prepared) {
    encrypt_pairs(data, blocks, state, prepared);
}

}  // namespace

ChainKernels avx512_kernels() {
    return {{encrypt_avx512, prepare_pairs}, {decrypt_avx512, prepare_lanes}};
}

bool cpu_has_avx512() {
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi") &&
           __builtin_cpu_supports("gfni");
#else
    return false;
#endif
}

}  // namespace quorvel::detail

#endif  // QUORVEL_X86_64
