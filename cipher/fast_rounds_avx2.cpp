// The AVX2 path. Encryption, a chain of one block after another, works in the column form of
// fast_rounds_pairs.h, where a diffusion is cheap; decryption, with undiffusions that cost
// little in any form and blocks that do not wait for each other, keeps the block as it lies in
// memory, 8 vectors of 32 bytes. Every function here is compiled for AVX2 through a target
// attribute rather than a flag for the whole file, so nothing built for AVX2 can end up in
// code that runs before the CPU check.
#include "cipher/secure_wipe.h"
#include "internal/fast_rounds_kernels.h"

#ifdef QUORVEL_X86_64

#include <immintrin.h>

#if defined(__GNUC__) || defined(__clang__)
#define QUORVEL_AVX2 __attribute__((target("avx2")))
#else
#define QUORVEL_AVX2
#endif

namespace quorvel::detail {

namespace {

constexpr int LANES = static_cast<int>(BLOCK_SIZE / 32);

struct Lanes {
    __m256i v[LANES];
};

// The factors of one rotation key, vector by vector (see rotation_factor): word w of even[j]
// serves byte 32 j + 2 w, word w of odd[j] byte 32 j + 2 w + 1.
struct LaneKey {
    __m256i even[LANES];
    __m256i odd[LANES];
};

// What decryption keeps in PreparedRounds::path_keys.
struct LaneRounds {
    LaneKey keys[ROTATION_KEY_COUNT];
    Lanes constant;
};

QUORVEL_AVX2 inline Lanes load_lanes(const std::uint8_t* bytes) {
    Lanes lanes;
#pragma GCC unroll 8
    for (int j = 0; j < LANES; ++j) {
        lanes.v[j] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes) + j);
    }
    return lanes;
}

QUORVEL_AVX2 inline void store_lanes(const Lanes& lanes, std::uint8_t* bytes) {
#pragma GCC unroll 8
    for (int j = 0; j < LANES; ++j) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(bytes) + j, lanes.v[j]);
    }
}

QUORVEL_AVX2 inline void xor_lanes(Lanes& lanes, const Lanes& other) {
#pragma GCC unroll 8
    for (int j = 0; j < LANES; ++j) lanes.v[j] = _mm256_xor_si256(lanes.v[j], other.v[j]);
}

// As in the SSE2 path: the high byte of byte * (257 << (8 - amount)) is the rotated byte.
QUORVEL_AVX2 inline void rotate_lanes(Lanes& lanes, const LaneKey& key) {
    const __m256i low_bytes = _mm256_set1_epi16(0x00FF);
    const __m256i high_bytes = _mm256_set1_epi16(static_cast<short>(0xFF00));
#pragma GCC unroll 8
    for (int j = 0; j < LANES; ++j) {
        const __m256i even =
            _mm256_mullo_epi16(_mm256_and_si256(lanes.v[j], low_bytes), key.even[j]);
        const __m256i odd = _mm256_mullo_epi16(_mm256_srli_epi16(lanes.v[j], 8), key.odd[j]);
        lanes.v[j] = _mm256_or_si256(_mm256_srli_epi16(even, 8), _mm256_and_si256(odd, high_bytes));
    }
}

// The block moved up by one byte, byte 255 coming round into byte 0: vector j of the result.
QUORVEL_AVX2 inline __m256i bytes_before(const Lanes& lanes, int j) {
    const __m256i earlier = lanes.v[(j + LANES - 1) % LANES];
    const __m256i straddle = _mm256_permute2x128_si256(lanes.v[j], earlier, 0x03);
    return _mm256_alignr_epi8(lanes.v[j], straddle, 15);
}

// Byte 0 takes byte 255 and byte 1 takes the new byte 0, so byte 1 also takes byte 255; every
// other byte takes the byte before it.
QUORVEL_AVX2 inline void undiffuse_lanes(Lanes& lanes) {
    const __m256i first = bytes_before(lanes, 0);
#pragma GCC unroll 8
    for (int j = LANES - 1; j > 0; --j) {
        lanes.v[j] = _mm256_xor_si256(lanes.v[j], bytes_before(lanes, j));
    }
    const __m256i wrapped = _mm256_and_si256(first, _mm256_setr_epi64x(0xFF, 0, 0, 0));
    lanes.v[0] =
        _mm256_xor_si256(_mm256_xor_si256(lanes.v[0], first), _mm256_slli_si256(wrapped, 1));
}

QUORVEL_AVX2 void prepare_lanes(PreparedRounds& prepared) {
    LaneRounds& rounds = make_path_keys<LaneRounds>(prepared);
    for (std::size_t slot = 0; slot < ROTATION_KEY_COUNT; ++slot) {
        alignas(32) std::uint16_t even[BLOCK_SIZE / 2];
        alignas(32) std::uint16_t odd[BLOCK_SIZE / 2];
        for (std::size_t k = 0; k < BLOCK_SIZE / 2; ++k) {
            even[k] = rotation_factor(prepared.rotation_amounts[slot][2 * k]);
            odd[k] = rotation_factor(prepared.rotation_amounts[slot][2 * k + 1]);
        }
        for (int j = 0; j < LANES; ++j) {
            rounds.keys[slot].even[j] =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(even) + j);
            rounds.keys[slot].odd[j] =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(odd) + j);
        }
        secure_wipe(std::as_writable_bytes(std::span(even)));
        secure_wipe(std::as_writable_bytes(std::span(odd)));
    }
    rounds.constant = load_lanes(prepared.constant.data());
}

QUORVEL_AVX2 void decrypt_avx2(std::uint8_t* data, std::size_t blocks, ChainState& state,
                               const PreparedRounds& prepared) {
    const LaneRounds& rounds = path_keys_of<LaneRounds>(prepared);
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

#define QUORVEL_PAIRS QUORVEL_AVX2
#include "internal/fast_rounds_pairs.h"
#undef QUORVEL_PAIRS

QUORVEL_AVX2 void encrypt_avx2(std::uint8_t* data, std::size_t blocks, ChainState& state,
                               const PreparedRounds& prepared) {
    encrypt_pairs(data, blocks, state, prepared);
}

}  // namespace

ChainKernels avx2_kernels() {
    return {{encrypt_avx2, prepare_pairs}, {decrypt_avx2, prepare_lanes}};
}

bool cpu_has_avx2() {
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_cpu_supports("avx2") != 0;
#else
    return false;
#endif
}

}  // namespace quorvel::detail

#endif  // QUORVEL_X86_64
