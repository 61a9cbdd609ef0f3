// Encryption in a column form on 32-byte vectors, shared by the AVX2 and AVX-512 paths. Each
// includes this file once, inside its own anonymous namespace, with QUORVEL_PAIRS defined as
// its function attributes; so there is deliberately no include guard.
//
// Read a block as 16 rows of 16 bytes (byte 16 p + v is row p, column v). Vector u (0 .. 7)
// holds column u in its low half and column u + 8 in its high half, byte 16 p + v at position
// p of its column. The running XOR of a diffusion, along the rows, then goes from vector to
// vector for both halves at once; what crosses halves is the total of columns 0 .. 7 going up
// and the row totals, whose running XOR is the only one within a vector. Blocks are turned
// into columns when loaded and back when stored; the chain of ciphertext blocks stays in
// columns in between.
//
// Needs <immintrin.h>, fast_rounds_kernels.h, secure_wipe.h and quorvel::detail in scope.

constexpr int PAIRS = 8;

struct Pairs {
    __m256i v[PAIRS];
};

// Factors of one rotation key for the multiply rotation (see rotation_factor), in pair form:
// word w of even[u] serves position 2 w of the columns in vector u, odd[u] position 2 w + 1.
struct PairKey {
    __m256i even[PAIRS];
    __m256i odd[PAIRS];
};

// What the pair kernels keep in PreparedRounds::path_keys.
struct PairRounds {
    PairKey keys[ROTATION_KEY_COUNT];
    Pairs constant;
};

// Rows into columns and back, with vector k holding (row k, row k + 8) on the way in and
// (column k, column k + 8) on the way out, or the other way round. Three rounds that
// interleave vector i with i + 4 leave each half with two columns of 8 rows; the last round
// pairs the 8-row pieces up into whole columns.
QUORVEL_PAIRS inline void transpose_pairs(Pairs& block) {
#pragma GCC unroll 3
    for (int round = 0; round < 3; ++round) {
        Pairs next;
#pragma GCC unroll 4
        for (int i = 0; i < PAIRS / 2; ++i) {
            next.v[2 * i] = _mm256_unpacklo_epi8(block.v[i], block.v[i + 4]);
            next.v[2 * i + 1] = _mm256_unpackhi_epi8(block.v[i], block.v[i + 4]);
        }
        block = next;
    }
    // Vector m now holds columns 2m and 2m + 1: rows 0 .. 7 in the low half, 8 .. 15 in the
    // high half.
    Pairs next;
#pragma GCC unroll 4
    for (int m = 0; m < PAIRS / 2; ++m) {
        next.v[2 * m] =
            _mm256_permute4x64_epi64(_mm256_unpacklo_epi64(block.v[m], block.v[m + 4]), 0xD8);
        next.v[2 * m + 1] =
            _mm256_permute4x64_epi64(_mm256_unpackhi_epi64(block.v[m], block.v[m + 4]), 0xD8);
    }
    block = next;
}

QUORVEL_PAIRS inline Pairs load_pairs(const std::uint8_t* bytes) {
    const auto* rows = reinterpret_cast<const __m128i*>(bytes);
    Pairs block;
#pragma GCC unroll 8
    for (int k = 0; k < PAIRS; ++k) {
        block.v[k] = _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(rows + k)),
                                             _mm_loadu_si128(rows + k + 8), 1);
    }
    transpose_pairs(block);
    return block;
}

QUORVEL_PAIRS inline void store_pairs(const Pairs& block, std::uint8_t* bytes) {
    auto* rows = reinterpret_cast<__m128i*>(bytes);
    Pairs out = block;
    transpose_pairs(out);
#pragma GCC unroll 8
    for (int k = 0; k < PAIRS; ++k) {
        _mm_storeu_si128(rows + k, _mm256_castsi256_si128(out.v[k]));
        _mm_storeu_si128(rows + k + 8, _mm256_extracti128_si256(out.v[k], 1));
    }
}

QUORVEL_PAIRS inline void xor_pairs(Pairs& block, const Pairs& other) {
#pragma GCC unroll 8
    for (int u = 0; u < PAIRS; ++u) block.v[u] = _mm256_xor_si256(block.v[u], other.v[u]);
}

// As on the other paths: the high byte of byte * (257 << (8 - amount)) is the rotated byte.
QUORVEL_PAIRS inline void rotate_pairs(Pairs& block, const PairKey& key) {
    const __m256i low_bytes = _mm256_set1_epi16(0x00FF);
    const __m256i high_bytes = _mm256_set1_epi16(static_cast<short>(0xFF00));
#pragma GCC unroll 8
    for (int u = 0; u < PAIRS; ++u) {
        const __m256i even =
            _mm256_mullo_epi16(_mm256_and_si256(block.v[u], low_bytes), key.even[u]);
        const __m256i odd = _mm256_mullo_epi16(_mm256_srli_epi16(block.v[u], 8), key.odd[u]);
        block.v[u] = _mm256_or_si256(_mm256_srli_epi16(even, 8), _mm256_and_si256(odd, high_bytes));
    }
}

QUORVEL_PAIRS inline void xor_pair(Pairs& block, int to, int from) {
    block.v[to] = _mm256_xor_si256(block.v[to], block.v[from]);
}

// A prefix across the 8 vectors in two sweeps (see ROW_PREFIX_UP in the column form).
constexpr int PAIR_PREFIX_UP[][2] = {{1, 0}, {3, 2}, {5, 4}, {7, 6}, {3, 1}, {7, 5}, {7, 3}};
constexpr int PAIR_PREFIX_DOWN[][2] = {{5, 3}, {2, 1}, {4, 3}, {6, 5}};

// The running XOR: along each row across the vectors, for columns 0 .. 7 and 8 .. 15 side by
// side; then the high halves take the total of columns 0 .. 7, and every column the running
// total of the earlier rows. Then byte 0 takes the new byte 255, the total.
QUORVEL_PAIRS inline void diffuse_pairs(Pairs& block) {
#pragma GCC unroll 8
    for (const auto& [to, from] : PAIR_PREFIX_UP) xor_pair(block, to, from);
    // Vector 7 holds the totals of columns 0 .. 7 (low) and 8 .. 15 (high) of every row.
    const __m256i halves = block.v[PAIRS - 1];
    const __m256i low_total_up = _mm256_permute2x128_si256(halves, halves, 0x08);
    const __m256i row_totals =
        _mm256_xor_si256(halves, _mm256_permute2x128_si256(halves, halves, 0x01));
    // The prefix over rows: within each 8-row half by 64-bit shifts, then the total of rows
    // 0 .. 7 into rows 8 .. 15.
    __m256i rows_through = row_totals;
    rows_through = _mm256_xor_si256(rows_through, _mm256_slli_epi64(rows_through, 8));
    rows_through = _mm256_xor_si256(rows_through, _mm256_slli_epi64(rows_through, 16));
    rows_through = _mm256_xor_si256(rows_through, _mm256_slli_epi64(rows_through, 32));
    const __m256i row_7_up = _mm256_setr_epi64x(-1, 0x0707070707070707, -1, 0x0707070707070707);
    rows_through = _mm256_xor_si256(rows_through, _mm256_shuffle_epi8(rows_through, row_7_up));
    const __m256i rows_before = _mm256_xor_si256(rows_through, row_totals);
    const __m256i carry = _mm256_xor_si256(rows_before, low_total_up);
#pragma GCC unroll 8
    for (const auto& [to, from] : PAIR_PREFIX_DOWN) xor_pair(block, to, from);
    const __m256i total =
        _mm256_and_si256(_mm256_srli_si256(rows_through, 15), _mm256_setr_epi64x(0xFF, 0, 0, 0));
    block.v[0] = _mm256_xor_si256(block.v[0], _mm256_xor_si256(carry, total));
#pragma GCC unroll 8
    for (int u = 1; u < PAIRS; ++u) block.v[u] = _mm256_xor_si256(block.v[u], carry);
}

QUORVEL_PAIRS inline void make_pair_key(PairKey& pair_key, const Block& amounts) {
    alignas(32) std::uint16_t even[PAIRS][16];
    alignas(32) std::uint16_t odd[PAIRS][16];
    for (int u = 0; u < PAIRS; ++u) {
        for (int half = 0; half < 2; ++half) {
            const int column = u + 8 * half;
            const auto amount = [&](int row) -> unsigned {
                return amounts[static_cast<std::size_t>(16 * row + column)];
            };
            for (int w = 0; w < 8; ++w) {
                even[u][8 * half + w] = rotation_factor(amount(2 * w));
                odd[u][8 * half + w] = rotation_factor(amount(2 * w + 1));
            }
        }
        pair_key.even[u] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(even[u]));
        pair_key.odd[u] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(odd[u]));
    }
    secure_wipe(std::as_writable_bytes(std::span(even)));
    secure_wipe(std::as_writable_bytes(std::span(odd)));
}

QUORVEL_PAIRS inline void prepare_pairs(PreparedRounds& prepared) {
    PairRounds& rounds = make_path_keys<PairRounds>(prepared);
    for (std::size_t slot = 0; slot < ROTATION_KEY_COUNT; ++slot) {
        make_pair_key(rounds.keys[slot], prepared.rotation_amounts[slot]);
    }
    rounds.constant = load_pairs(prepared.constant.data());
}

QUORVEL_PAIRS inline void encrypt_pairs(std::uint8_t* data, std::size_t blocks, ChainState& state,
                                        const PreparedRounds& prepared) {
    const PairRounds& rounds = path_keys_of<PairRounds>(prepared);
    Pairs previous = load_pairs(state.previous.data());
    Pairs sum = load_pairs(state.plain_sum.data());
    for (std::size_t b = 0; b < blocks; ++b, data += BLOCK_SIZE) {
        Pairs block = load_pairs(data);
        xor_pairs(sum, block);
        xor_pairs(block, previous);
        for (int g = 0; g < prepared.rotation_rounds; ++g) {
            rotate_pairs(block, rounds.keys[static_cast<std::size_t>(g) % ROTATION_KEY_COUNT]);
            diffuse_pairs(block);
        }
        xor_pairs(block, rounds.constant);
        previous = block;
        store_pairs(block, data);
    }
    store_pairs(previous, state.previous.data());
    store_pairs(sum, state.plain_sum.data());
}
