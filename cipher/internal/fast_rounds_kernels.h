// The kernels behind fast_rounds.h, one set per path, and what the paths share. Private to the
// cipher library.
#pragma once

#include <array>
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

// The rotation rounds cycle through four keys (table slots 2, 5, 8 and 11).
inline constexpr std::size_t ROTATION_KEY_COUNT = ROUND_KEY_COUNT / 3;

// Room for a path's own form of the rotation keys and the constant.
inline constexpr std::size_t PATH_KEYS_SIZE = 12 * 1024;

// The round keys of one run in one direction, prepared for one path; what EncryptingRounds
// and DecryptingRounds hold. All of it is key material, wiped when the object goes.
struct PreparedRounds {
    PreparedRounds() = default;
    PreparedRounds(const PreparedRounds&) = delete;
    PreparedRounds& operator=(const PreparedRounds&) = delete;
    ~PreparedRounds();

    RoundsPath path = RoundsPath::portable;
    // Rotation rounds in the sequence; the g-th of them, counted in encryption order, uses
    // rotation_amounts[g % ROTATION_KEY_COUNT].
    int rotation_rounds = 0;
    // Byte i of a block rotates right by rotation_amounts[k][i] (0 .. 7) in a round of key k.
    std::array<Block, ROTATION_KEY_COUNT> rotation_amounts{};
    // The whole sequence applied to a zero block: what the XOR rounds add to every result.
    Block constant{};
    // The rotation keys and the constant as the path's kernel for this direction reads them.
    alignas(64) std::array<std::uint8_t, PATH_KEYS_SIZE> path_keys{};
    // False when a permutation key in use is not the identity, which the key schedule never
    // makes; every block then goes through the reference rounds with `keys` and `rounds`.
    bool affine = true;
    RoundKeyTable keys{};
    int rounds = 0;
};

// Runs `blocks` whole blocks at `data` through the chained cipher in place, in one direction,
// as encrypt_chained or decrypt_chained describe. `prepared` is affine and was made by the
// preparer that comes with the kernel.
using ChainKernel = void (*)(std::uint8_t* data, std::size_t blocks, ChainState& state,
                             const PreparedRounds& prepared);

// Fills prepared.path_keys from the rest of `prepared`, in the layout its kernel reads.
using PathPreparer = void (*)(PreparedRounds& prepared);

// One direction of a path: the kernel and the preparer of the key layout it reads, always
// used together.
struct DirectionKernel {
    ChainKernel run;
    PathPreparer prepare;
};

struct ChainKernels {
    DirectionKernel encrypt;
    DirectionKernel decrypt;
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
