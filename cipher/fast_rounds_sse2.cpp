// The SSE2 path: a block as 16 vectors of 16 bytes. SSE2 is part of x86-64 itself, so this
// path needs no check of the CPU.
#include "cipher/fast_rounds_kernels.h"

#ifdef QUORVEL_X86_64

#include <emmintrin.h>

namespace quorvel::detail {

namespace {

constexpr int LANES = static_cast<int>(BLOCK_SIZE / 16);

struct Lanes {
    __m128i v[LANES];
};

// The factors of one rotation key, lane by lane (see RotationKey).
struct LaneKey {
    __m128i even[LANES];
    __m128i odd[LANES];
};

struct LaneRounds {
    LaneKey keys[ROTATION_KEY_COUNT];
    Lanes constant;
    int rotation_rounds;
};

inline Lanes load_lanes(const std::uint8_t* bytes) {
    Lanes lanes;
#pragma GCC unroll 16
    for (int j = 0; j < LANES; ++j) {
        lanes.v[j] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes) + j);
    }
    return lanes;
}

inline void store_lanes(const Lanes& lanes, std::uint8_t* bytes) {
#pragma GCC unroll 16
    for (int j = 0; j < LANES; ++j) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes) + j, lanes.v[j]);
    }
}

inline void xor_lanes(Lanes& lanes, const Lanes& other) {
#pragma GCC unroll 16
    for (int j = 0; j < LANES; ++j) lanes.v[j] = _mm_xor_si128(lanes.v[j], other.v[j]);
}

// Each byte, widened to 16 bits and multiplied by 257 << (8 - amount), ends up rotated right
// by its amount in the high byte of the product; even and odd bytes take one multiply each.
inline void rotate_lanes(Lanes& lanes, const LaneKey& key) {
    const __m128i low_bytes = _mm_set1_epi16(0x00FF);
    const __m128i high_bytes = _mm_set1_epi16(static_cast<short>(0xFF00));
#pragma GCC unroll 16
    for (int j = 0; j < LANES; ++j) {
        const __m128i even = _mm_mullo_epi16(_mm_and_si128(lanes.v[j], low_bytes), key.even[j]);
        const __m128i odd = _mm_mullo_epi16(_mm_srli_epi16(lanes.v[j], 8), key.odd[j]);
        lanes.v[j] = _mm_or_si128(_mm_srli_epi16(even, 8), _mm_and_si128(odd, high_bytes));
    }
}

// Byte 15 of `lane` in all 16 bytes.
inline __m128i broadcast_last_byte(__m128i lane) {
    const __m128i pairs = _mm_unpackhi_epi8(lane, lane);
    const __m128i quads = _mm_unpackhi_epi16(pairs, pairs);
    return _mm_shuffle_epi32(quads, 0xFF);
}

// The running XOR as a prefix within each lane, all lanes at once, and then the running
// total of the earlier lanes: only that last XOR waits for the lane before.
inline void diffuse_lanes(Lanes& lanes) {
    __m128i carry = _mm_setzero_si128();
#pragma GCC unroll 16
    for (int j = 0; j < LANES; ++j) {
        __m128i lane = lanes.v[j];
        lane = _mm_xor_si128(lane, _mm_slli_si128(lane, 1));
        lane = _mm_xor_si128(lane, _mm_slli_si128(lane, 2));
        lane = _mm_xor_si128(lane, _mm_slli_si128(lane, 4));
        lane = _mm_xor_si128(lane, _mm_slli_si128(lane, 8));
        lanes.v[j] = _mm_xor_si128(lane, carry);
        carry = _mm_xor_si128(carry, broadcast_last_byte(lane));
    }
    lanes.v[0] = _mm_xor_si128(lanes.v[0], _mm_srli_si128(lanes.v[LANES - 1], 15));
}

inline void undiffuse_lanes(Lanes& lanes) {
    lanes.v[0] = _mm_xor_si128(lanes.v[0], _mm_srli_si128(lanes.v[LANES - 1], 15));
#pragma GCC unroll 16
    for (int j = LANES - 1; j > 0; --j) {
        const __m128i before =
            _mm_or_si128(_mm_slli_si128(lanes.v[j], 1), _mm_srli_si128(lanes.v[j - 1], 15));
        lanes.v[j] = _mm_xor_si128(lanes.v[j], before);
    }
    lanes.v[0] = _mm_xor_si128(lanes.v[0], _mm_slli_si128(lanes.v[0], 1));
}

void make_lane_rounds(LaneRounds& rounds, const PreparedRounds& prepared) {
    for (std::size_t slot = 0; slot < ROTATION_KEY_COUNT; ++slot) {
        const RotationKey& key = prepared.rotation[slot];
        for (int j = 0; j < LANES; ++j) {
            rounds.keys[slot].even[j] =
                _mm_load_si128(reinterpret_cast<const __m128i*>(key.even_factors.data()) + j);
            rounds.keys[slot].odd[j] =
                _mm_load_si128(reinterpret_cast<const __m128i*>(key.odd_factors.data()) + j);
        }
    }
    rounds.constant = load_lanes(prepared.constant.data());
    rounds.rotation_rounds = prepared.rotation_rounds;
}

void encrypt_sse2(std::uint8_t* data, std::size_t blocks, ChainState& state,
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

void decrypt_sse2(std::uint8_t* data, std::size_t blocks, ChainState& state,
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

ChainKernels sse2_kernels() { return {encrypt_sse2, decrypt_sse2}; }

}  // namespace quorvel::detail

#endif  // QUORVEL_X86_64
