// The AVX-512 path. Encryption works in the column form of fast_rounds_pairs.h, with the 32
// vector registers of AVX-512 and its 16-bit shifts by a separate amount per word. Decryption
// keeps the block as it lies in memory, 4 vectors of 64 bytes, with byte masks for the
// rotations (GFNI rotates all bytes of a vector by one fixed amount; the masks pick which bytes
// take it) and byte-wise two-source permutes (VBMI) for moving bytes across vectors. Every
// function is compiled for these extensions through a target attribute, as in the AVX2 path.
#include "cipher/fast_rounds_kernels.h"

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

// What decryption keeps in PreparedRounds::path_keys.
struct LaneRounds {
    LaneKey keys[ROTATION_KEY_COUNT];
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
        62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45, 44, 43, 42, 41,
        40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19,
        18, 17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 127);
    const __m512i last = _mm512_set1_epi8(63);
    const __m512i wrapped = _mm512_maskz_permutexvar_epi8(2, last, lanes.v[LANES - 1]);
    const __m512i first = _mm512_permutex2var_epi8(lanes.v[0], before, lanes.v[LANES - 1]);
#pragma GCC unroll 4
    for (int j = LANES - 1; j > 0; --j) {
        lanes.v[j] = _mm512_xor_si512(
            lanes.v[j], _mm512_permutex2var_epi8(lanes.v[j], before, lanes.v[j - 1]));
    }
    lanes.v[0] = _mm512_xor_si512(_mm512_xor_si512(lanes.v[0], first), wrapped);
}

QUORVEL_AVX512 void prepare_lanes(PreparedRounds& prepared) {
    LaneRounds rounds;
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
    }
    rounds.constant = load_lanes(prepared.constant.data());
    store_path_keys(prepared, rounds);
}

QUORVEL_AVX512 void decrypt_avx512(std::uint8_t* data, std::size_t blocks, ChainState& state,
                                   const PreparedRounds& prepared) {
    LaneRounds rounds;
    load_path_keys(rounds, prepared);
    Lanes previous = load_lanes(state.previous.data());
    Lanes sum = load_lanes(state.plain_sum.data());
    for (std::size_t b = 0; b < blocks; ++b, data += BLOCK_SIZE) {
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
#define QUORVEL_PAIRS_SHIFTS
#include "cipher/fast_rounds_pairs.h"
#undef QUORVEL_PAIRS_SHIFTS
#undef QUORVEL_PAIRS

QUORVEL_AVX512 void encrypt_avx512(std::uint8_t* data, std::size_t blocks, ChainState& state,
                                   const PreparedRounds& prepared) {
    encrypt_pairs(data, blocks, state, prepared);
}

QUORVEL_AVX512 void prepare_avx512(PreparedRounds& prepared) {
    if (prepared.mode == CipherMode::encrypt) {
        prepare_pairs(prepared);
    } else {
        prepare_lanes(prepared);
    }
}

}  // namespace

ChainKernels avx512_kernels() { return {encrypt_avx512, decrypt_avx512, prepare_avx512}; }

bool cpu_has_avx512() {
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("gfni");
#else
    return false;
#endif
}

}  // namespace quorvel::detail

#endif  // QUORVEL_X86_64
