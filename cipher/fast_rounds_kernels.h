// The kernels behind fast_rounds.h, one set per path, and what the paths share. Private to the
// cipher library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>

#include "cipher/fast_rounds.h"

// The x86-64 paths; defining QUORVEL_PORTABLE_ONLY builds what other processors get.
#if (defined(__x86_64__) || defined(_M_X64)) && !defined(QUORVEL_PORTABLE_ONLY)
#define QUORVEL_X86_64 1
#endif

namespace quorvel::detail {

// Runs `blocks` whole blocks at `data` through the chained cipher in place, in one direction,
// as encrypt_chained or decrypt_chained describe. `prepared` is affine and was made for the
// kernel's path.
using ChainKernel = void (*)(std::uint8_t* data, std::size_t blocks, ChainState& state,
                             const PreparedRounds& prepared);

// Fills prepared.path_keys from the rest of `prepared`, in the path's own layout.
using PathPreparer = void (*)(PreparedRounds& prepared);

struct ChainKernels {
    ChainKernel encrypt;
    ChainKernel decrypt;
    PathPreparer prepare;
};

// The multiply rotation: the high byte of (byte * rotation_factor(amount)), taken in 16 bits,
// is the byte rotated right by `amount`, because 257 << (8 - amount) puts the byte next to a
// copy of itself and shifts the pair so that the rotated byte lands in bits 8 .. 15.
constexpr std::uint16_t rotation_factor(unsigned amount) {
    return static_cast<std::uint16_t>((257u << (8u - amount)) & 0xFFFFu);
}

// A path's key form lives in prepared.path_keys and is made and read there, in place, so that
// the key material is in one place, which PreparedRounds wipes. make_path_keys starts a
// zeroed `PathKeys` there for the path to fill; path_keys_of reads it. `PathKeys` must be
// trivially copyable and fit.
template <class PathKeys>
PathKeys& make_path_keys(PreparedRounds& prepared) {
    static_assert(sizeof(PathKeys) <= PATH_KEYS_SIZE && alignof(PathKeys) <= 64);
    static_assert(std::is_trivially_copyable_v<PathKeys>);
    return *new (prepared.path_keys.data()) PathKeys{};
}

template <class PathKeys>
const PathKeys& path_keys_of(const PreparedRounds& prepared) {
    return *std::launder(reinterpret_cast<const PathKeys*>(prepared.path_keys.data()));
}

// Plain C++ on 64-bit words; runs anywhere.
ChainKernels portable_kernels();

#ifdef QUORVEL_X86_64
// SSE2 only: every x86-64 CPU has it.
ChainKernels sse2_kernels();

// AVX2; only to be called when cpu_has_avx2().
ChainKernels avx2_kernels();
bool cpu_has_avx2();

// AVX-512 F, BW, VL and VBMI with GFNI; only to be called when cpu_has_avx512().
ChainKernels avx512_kernels();
bool cpu_has_avx512();
#endif

}  // namespace quorvel::detail
