// The kernels behind fast_rounds.h, one pair per path, and what the x86-64 paths need to know
// about the CPU. Private to the cipher library.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cipher/fast_rounds.h"

#if defined(__x86_64__) || defined(_M_X64)
#define QUORVEL_X86_64 1
#endif

namespace quorvel::detail {

// Runs `blocks` whole blocks at `data` through the chained cipher in place, in one direction,
// as encrypt_chained or decrypt_chained describe. `prepared` is affine.
using ChainKernel = void (*)(std::uint8_t* data, std::size_t blocks, ChainState& state,
                             const PreparedRounds& prepared);

struct ChainKernels {
    ChainKernel encrypt;
    ChainKernel decrypt;
};

// Plain C++ on 64-bit words; runs anywhere.
ChainKernels portable_kernels();

#ifdef QUORVEL_X86_64
// SSE2 only: every x86-64 CPU has it.
ChainKernels sse2_kernels();

// AVX2; only to be called when cpu_has_avx2().
ChainKernels avx2_kernels();
bool cpu_has_avx2();

// AVX-512 F, BW and VBMI with GFNI; only to be called when cpu_has_avx512().
ChainKernels avx512_kernels();
bool cpu_has_avx512();
#endif

}  // namespace quorvel::detail
