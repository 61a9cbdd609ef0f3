// The AVX2 path: a block as 8 vectors of 32 bytes. Every function here is compiled for AVX2
// through a target attribute rather than a flag for the whole file, so nothing built for AVX2
// can end up in code that runs before the CPU check.
#include "cipher/fast_rounds_kernels.h"

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

// The factors of one rotation key, vector by vector (see RotationKey).
struct LaneKey {
    __m256i even[LANES];
    __m256i odd[LANES];
};

struct LaneRounds {
    LaneKey keys[ROTATION_KEY_COUNT];
    Lanes constant;
    int rotation_rounds;
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
        lanes.v[j] =
            _mm256_or_si256(_mm256_srli_epi16(even, 8), _mm256_and_si256(odd, high_bytes));
    }
}

// The running XOR in three tiers: a prefix within each 16-byte half (byte shifts do not
// cross halves), the total of the low half into the high half, and the running total of the
// earlier vectors. Only the last tier waits for the vector before.
QUORVEL_AVX2 inline void diffuse_lanes(Lanes& lanes) {
    const __m256i last_byte = _mm256_set1_epi8(15);
    __m256i carry = _mm256_setzero_si256();
#pragma GCC unroll 8
    for (int j = 0; j < LANES; ++j) {
        __m256i lane = lanes.v[j];
        lane = _mm256_xor_si256(lane, _mm256_slli_si256(lane, 1));
        lane = _mm256_xor_si256(lane, _mm256_slli_si256(lane, 2));
        lane = _mm256_xor_si256(lane, _mm256_slli_si256(lane, 4));
        lane = _mm256_xor_si256(lane, _mm256_slli_si256(lane, 8));
        const __m256i half_totals = _mm256_shuffle_epi8(lane, last_byte);
        const __m256i low_total_up = _mm256_permute2x128_si256(half_totals, half_totals, 0x08);
        const __m256i both_totals = _mm256_xor_si256(half_totals, low_total_up);
        lanes.v[j] = _mm256_xor_si256(_mm256_xor_si256(lane, low_total_up), carry);
        carry = _mm256_xor_si256(carry, _mm256_permute2x128_si256(both_totals, both_totals, 0x11));
    }
    const __m256i top_half = _mm256_permute2x128_si256(lanes.v[LANES - 1], lanes.v[LANES - 1], 0x81);
    lanes.v[0] = _mm256_xor_si256(lanes.v[0], _mm256_srli_si256(top_half, 15));
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
    lanes.v[0] = _mm256_xor_si256(_mm256_xor_si256(lanes.v[0], first),
                                  _mm256_slli_si256(wrapped, 1));
}

QUORVEL_AVX2 void make_lane_rounds(LaneRounds& rounds, const PreparedRounds& prepared) {
    for (std::size_t slot = 0; slot < ROTATION_KEY_COUNT; ++slot) {
        const RotationKey& key = prepared.rotation[slot];
        for (int j = 0; j < LANES; ++j) {
            rounds.keys[slot].even[j] =
                _mm256_load_si256(reinterpret_cast<const __m256i*>(key.even_factors.data()) + j);
            rounds.keys[slot].odd[j] =
                _mm256_load_si256(reinterpret_cast<const __m256i*>(key.odd_factors.data()) + j);
        }
    }
    rounds.constant = load_lanes(prepared.constant.data());
    rounds.rotation_rounds = prepared.rotation_rounds;
}

QUORVEL_AVX2 void encrypt_avx2(std::uint8_t* data, std::size_t blocks, ChainState& state,
                               const PreparedRounds& prepared) {
    LaneRounds rounds;
    make_lane_rounds(rounds, prepared);
    Lanes previous = load_lanes(state.previous.data());
    Lanes sum = load_lanes(state.plain_sum.data());
    for (std::size_t b = 0; b < blocks; ++b, data += BLOCK_SIZE) {
        Lanes lanes = load_lanes(data);
        xor_lanes(sum, lanes);
        xor_lanes(lanes, previous);
        for (int g = 0; g < rounds.rotation_rounds; ++g) {
            rotate_lanes(lanes, rounds.keys[static_cast<std::size_t>(g) % ROTATION_KEY_COUNT]);
            diffuse_lanes(lanes);
        }
        xor_lanes(lanes, rounds.constant);
        store_lanes(lanes, data);
        previous = lanes;
    }
    store_lanes(previous, state.previous.data());
    store_lanes(sum, state.plain_sum.data());
}

QUORVEL_AVX2 void decrypt_avx2(std::uint8_t* data, std::size_t blocks, ChainState& state,
                               const PreparedRounds& prepared) {
    LaneRounds rounds;
    make_lane_rounds(rounds, prepared);
    Lanes previous = load_lanes(state.previous.data());
    Lanes sum = load_lanes(state.plain_sum.data());
    for (std::size_t b = 0; b < blocks; ++b, data += BLOCK_SIZE) {
        const Lanes ciphertext = load_lanes(data);
        Lanes lanes = ciphertext;
        for (int g = rounds.rotation_rounds - 1; g >= 0; --g) {
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

}  // namespace

ChainKernels avx2_kernels() { return {encrypt_avx2, decrypt_avx2}; }

bool cpu_has_avx2() {
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_cpu_supports("avx2") != 0;
#else
    return false;
#endif
}

}  // namespace quorvel::detail

#endif  // QUORVEL_X86_64
