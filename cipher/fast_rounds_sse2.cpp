// The SSE2 path, for every x86-64 CPU (SSE2 is part of x86-64 itself, so this path needs no
// check of the CPU).
//
// Read a block as 16 rows of 16 bytes (byte 16 p + v is row p, column v). Vector v holds
// column v: byte 16 p + v at position p. In this form the running XOR of a diffusion runs
// from vector to vector, which is a plain XOR of whole vectors, and only its carry from row
// to row needs shifts within one vector; an undiffusion is an XOR with the vector before.
// Blocks are turned into columns when loaded and back into rows when stored; the chain of
// ciphertext blocks stays in columns in between.
#include "cipher/secure_wipe.h"
#include "internal/fast_rounds_kernels.h"

#ifdef QUORVEL_X86_64

#include <emmintrin.h>

namespace quorvel::detail {

namespace {

constexpr int COLUMNS = 16;

struct Columns {
    __m128i v[COLUMNS];
};

// Factors of one rotation key for the multiply rotation (see rotation_factor), by column: word
// w of even[v] serves position 2 w of column v and word w of odd[v] position 2 w + 1.
struct ColumnKey {
    __m128i even[COLUMNS];
    __m128i odd[COLUMNS];
};

// What the column kernels keep in PreparedRounds::path_keys.
struct ColumnRounds {
    ColumnKey keys[ROTATION_KEY_COUNT];
    Columns constant;
};

// Rows into columns and back (the same operation both ways): four rounds that interleave
// vector i with vector i + 8.
inline void transpose(Columns& block) {
#pragma GCC unroll 4
    for (int round = 0; round < 4; ++round) {
        Columns next;
#pragma GCC unroll 8
        for (int i = 0; i < COLUMNS / 2; ++i) {
            next.v[2 * i] = _mm_unpacklo_epi8(block.v[i], block.v[i + 8]);
            next.v[2 * i + 1] = _mm_unpackhi_epi8(block.v[i], block.v[i + 8]);
        }
        block = next;
    }
}

inline Columns load_rows(const std::uint8_t* bytes) {
    Columns rows;
#pragma GCC unroll 16
    for (int j = 0; j < COLUMNS; ++j) {
        rows.v[j] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes) + j);
    }
    return rows;
}

inline void store_rows(const Columns& rows, std::uint8_t* bytes) {
#pragma GCC unroll 16
    for (int j = 0; j < COLUMNS; ++j) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes) + j, rows.v[j]);
    }
}

inline Columns load_columns(const std::uint8_t* bytes) {
    Columns block = load_rows(bytes);
    transpose(block);
    return block;
}

inline void store_columns(const Columns& columns, std::uint8_t* bytes) {
    Columns rows = columns;
    transpose(rows);
    store_rows(rows, bytes);
}

inline void xor_into(Columns& block, const Columns& other) {
#pragma GCC unroll 16
    for (int j = 0; j < COLUMNS; ++j) block.v[j] = _mm_xor_si128(block.v[j], other.v[j]);
}

// Each byte, widened to 16 bits and multiplied by 257 << (8 - amount), ends up rotated right
// by its amount in the high byte of the product; even and odd positions take one multiply each.
inline void rotate_columns(Columns& block, const ColumnKey& key) {
    const __m128i low_bytes = _mm_set1_epi16(0x00FF);
    const __m128i high_bytes = _mm_set1_epi16(static_cast<short>(0xFF00));
#pragma GCC unroll 16
    for (int j = 0; j < COLUMNS; ++j) {
        const __m128i even = _mm_mullo_epi16(_mm_and_si128(block.v[j], low_bytes), key.even[j]);
        const __m128i odd = _mm_mullo_epi16(_mm_srli_epi16(block.v[j], 8), key.odd[j]);
        block.v[j] = _mm_or_si128(_mm_srli_epi16(even, 8), _mm_and_si128(odd, high_bytes));
    }
}

inline void xor_column(Columns& block, int to, int from) {
    block.v[to] = _mm_xor_si128(block.v[to], block.v[from]);
}

// A prefix across the 16 columns in two sweeps: the first reaches column 15 (the row totals)
// after 4 steps, the second fills in the other columns in 3 more. Each pair is (to, from):
// column `to` takes column `from`.
constexpr int ROW_PREFIX_UP[][2] = {{1, 0},   {3, 2},   {5, 4},   {7, 6},   {9, 8},
                                    {11, 10}, {13, 12}, {15, 14}, {3, 1},   {7, 5},
                                    {11, 9},  {15, 13}, {7, 3},   {15, 11}, {15, 7}};
constexpr int ROW_PREFIX_DOWN[][2] = {{11, 7}, {5, 3}, {9, 7},  {13, 11}, {2, 1},  {4, 3},
                                      {6, 5},  {8, 7}, {10, 9}, {12, 11}, {14, 13}};

// The running XOR: along each row first, across the vectors; then the running total of the
// earlier rows, added to every column. Then byte 0 takes the new byte 255, the total.
inline void diffuse_columns(Columns& block) {
#pragma GCC unroll 16
    for (const auto& [to, from] : ROW_PREFIX_UP) xor_column(block, to, from);
    // Column 15 now holds every row's total; the prefix over rows runs within that vector.
    __m128i rows_through = block.v[COLUMNS - 1];
    rows_through = _mm_xor_si128(rows_through, _mm_slli_si128(rows_through, 1));
    rows_through = _mm_xor_si128(rows_through, _mm_slli_si128(rows_through, 2));
    rows_through = _mm_xor_si128(rows_through, _mm_slli_si128(rows_through, 4));
    rows_through = _mm_xor_si128(rows_through, _mm_slli_si128(rows_through, 8));
    const __m128i rows_before = _mm_slli_si128(rows_through, 1);
#pragma GCC unroll 16
    for (const auto& [to, from] : ROW_PREFIX_DOWN) xor_column(block, to, from);
#pragma GCC unroll 16
    for (int j = 1; j < COLUMNS; ++j) block.v[j] = _mm_xor_si128(block.v[j], rows_before);
    const __m128i total = _mm_srli_si128(rows_through, 15);
    block.v[0] = _mm_xor_si128(block.v[0], _mm_xor_si128(rows_before, total));
}

// Byte 0 takes byte 255 and byte 1 takes the new byte 0, so byte 1 also takes byte 255; every
// other byte takes the byte before it, which for column 0 is column 15 one row up.
inline void undiffuse_columns(Columns& block) {
    const __m128i last = block.v[COLUMNS - 1];
    const __m128i last_row_up =
        _mm_or_si128(_mm_slli_si128(last, 1), _mm_srli_si128(last, COLUMNS - 1));
#pragma GCC unroll 16
    for (int v = COLUMNS - 1; v > 0; --v) xor_column(block, v, v - 1);
    block.v[0] = _mm_xor_si128(block.v[0], last_row_up);
    block.v[1] = _mm_xor_si128(block.v[1], _mm_srli_si128(last, COLUMNS - 1));
}

// The factors for the rotation amounts `amounts` in column form.
inline void make_column_key(ColumnKey& column_key, const Block& amounts) {
    alignas(16) std::uint16_t even[COLUMNS][8];
    alignas(16) std::uint16_t odd[COLUMNS][8];
    for (int v = 0; v < COLUMNS; ++v) {
        const auto factor = [&](int row) {
            return rotation_factor(amounts[static_cast<std::size_t>(16 * row + v)]);
        };
        for (int w = 0; w < 8; ++w) {
            even[v][w] = factor(2 * w);
            odd[v][w] = factor(2 * w + 1);
        }
        column_key.even[v] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(even[v]));
        column_key.odd[v] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(odd[v]));
    }
    secure_wipe(std::as_writable_bytes(std::span(even)));
    secure_wipe(std::as_writable_bytes(std::span(odd)));
}

void prepare_columns(PreparedRounds& prepared) {
    ColumnRounds& rounds = make_path_keys<ColumnRounds>(prepared);
    for (std::size_t slot = 0; slot < ROTATION_KEY_COUNT; ++slot) {
        make_column_key(rounds.keys[slot], prepared.rotation_amounts[slot]);
    }
    rounds.constant = load_columns(prepared.constant.data());
}

void encrypt_columns(std::uint8_t* data, std::size_t blocks, ChainState& state,
                     const PreparedRounds& prepared) {
    const ColumnRounds& rounds = path_keys_of<ColumnRounds>(prepared);
    Columns previous = load_columns(state.previous.data());
    Columns sum = load_rows(state.plain_sum.data());
    for (std::size_t b = 0; b < blocks; ++b, data += BLOCK_SIZE) {
        Columns block = load_rows(data);
        xor_into(sum, block);
        transpose(block);
        xor_into(block, previous);
        for (int g = 0; g < prepared.rotation_rounds; ++g) {
            rotate_columns(block, rounds.keys[static_cast<std::size_t>(g) % ROTATION_KEY_COUNT]);
            diffuse_columns(block);
        }
        xor_into(block, rounds.constant);
        previous = block;
        store_columns(block, data);
    }
    store_columns(previous, state.previous.data());
    store_rows(sum, state.plain_sum.data());
}

void decrypt_columns(std::uint8_t* data, std::size_t blocks, ChainState& state,
                     const PreparedRounds& prepared) {
    const ColumnRounds& rounds = path_keys_of<ColumnRounds>(prepared);
    Columns previous = load_rows(state.previous.data());
    Columns sum = load_rows(state.plain_sum.data());
    for (std::size_t b = 0; b < blocks; ++b, data += BLOCK_SIZE) {
        const Columns ciphertext = load_rows(data);
        Columns block = ciphertext;
        transpose(block);
        for (int g = prepared.rotation_rounds - 1; g >= 0; --g) {
            undiffuse_columns(block);
            rotate_columns(block, rounds.keys[static_cast<std::size_t>(g) % ROTATION_KEY_COUNT]);
        }
        xor_into(block, rounds.constant);
        transpose(block);
        xor_into(block, previous);
        xor_into(sum, block);
        store_rows(block, data);
        previous = ciphertext;
    }
    store_rows(previous, state.previous.data());
    store_rows(sum, state.plain_sum.data());
}

}  // namespace

ChainKernels sse2_kernels() {
    return {{encrypt_columns, prepare_columns}, {decrypt_columns, prepare_columns}};
}

}  // namespace quorvel::detail

#endif  // QUORVEL_X86_64
