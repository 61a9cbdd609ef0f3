// The SSE2 path: the column form of fast_rounds_columns.h on 16-byte vectors. SSE2 is part of
// x86-64 itself, so this path needs no check of the CPU.
#include "cipher/fast_rounds_kernels.h"

#ifdef QUORVEL_X86_64

#include <emmintrin.h>

namespace quorvel::detail {

namespace {

#define QUORVEL_COLUMNS
#include "cipher/fast_rounds_columns.h"
#undef QUORVEL_COLUMNS

void encrypt_sse2(std::uint8_t* data, std::size_t blocks, ChainState& state,
                  const PreparedRounds& prepared) {
    encrypt_columns(data, blocks, state, prepared);
}

void decrypt_sse2(std::uint8_t* data, std::size_t blocks, ChainState& state,
                  const PreparedRounds& prepared) {
    decrypt_columns(data, blocks, state, prepared);
}

void prepare_sse2(PreparedRounds& prepared) { prepare_columns(prepared); }

}  // namespace

ChainKernels sse2_kernels() { return {encrypt_sse2, decrypt_sse2, prepare_sse2}; }

}  // namespace quorvel::detail

#endif  // QUORVEL_X86_64
