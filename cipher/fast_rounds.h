// The round sequence of rounds.h again, with the same results bit for bit, at the speed of a
// file copy. The whole sequence is affine: the permutation rounds are the identity and the XOR
// rounds add a constant that the rest of the sequence carries along, so what is left per block
// is a chain of byte rotations and diffusions plus one XOR, done on whole words or vectors.
// rounds.h stays the reference this engine is tested against.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "cipher/block_ops.h"
#include "cipher/key_schedule.h"

namespace quorvel {

// The implementations of the engine. `portable` is plain C++ on 64-bit words and exists in
// every build; `sse2` is the x86-64 baseline; `avx2` and `avx512` (AVX-512 BW and VBMI with
// GFNI) are chosen at run time when the CPU has them.
enum class RoundsPath : std::uint8_t { portable, sse2, avx2, avx512 };

// The paths this build can run on this CPU, slowest first; never empty.
std::span<const RoundsPath> supported_rounds_paths();

// The last, fastest, entry of supported_rounds_paths().
RoundsPath best_rounds_path();

// A short lower-case name for `path` ("portable", "sse2", "avx2", "avx512").
const char* rounds_path_name(RoundsPath path);

// The rotation rounds cycle through four keys (table slots 2, 5, 8 and 11).
inline constexpr std::size_t ROTATION_KEY_COUNT = ROUND_KEY_COUNT / 3;

// Room for a path's own form of the rotation keys and the constant (see PreparedRounds).
inline constexpr std::size_t PATH_KEYS_SIZE = 12 * 1024;

// The round keys of one run, prepared once for the engine by prepare_rounds. All of it is key
// material, wiped when the object goes.
struct PreparedRounds {
    PreparedRounds() = default;
    PreparedRounds(const PreparedRounds&) = default;
    PreparedRounds& operator=(const PreparedRounds&) = default;
    ~PreparedRounds();

    RoundsPath path = RoundsPath::portable;
    CipherMode mode = CipherMode::encrypt;
    // Rotation rounds in the sequence; the g-th of them, counted in encryption order, uses
    // rotation_amounts[g % ROTATION_KEY_COUNT].
    int rotation_rounds = 0;
    // Byte i of a block rotates right by rotation_amounts[k][i] (0 .. 7) in a round of key k.
    std::array<Block, ROTATION_KEY_COUNT> rotation_amounts{};
    // The whole sequence applied to a zero block: what the XOR rounds add to every result.
    Block constant{};
    // The rotation keys and the constant as `path` reads them, laid out by that path.
    alignas(64) std::array<std::uint8_t, PATH_KEYS_SIZE> path_keys{};
    // False when a permutation key in use is not the identity, which the key schedule never
    // makes; every block then goes through the reference rounds with `keys` and `rounds`.
    bool affine = true;
    RoundKeyTable keys{};
    int rounds = 0;
};

// Prepares `keys` for `rounds` rounds in the direction of `mode`, to run on `path` (which must
// be one of supported_rounds_paths()). `keys` must hold the form `mode` needs.
PreparedRounds prepare_rounds(const RoundKeyTable& keys, int rounds, CipherMode mode,
                              RoundsPath path = best_rounds_path());

// The same as encrypt_rounds(block, keys, rounds); `prepared` must be in encrypt mode.
void encrypt_block_fast(Block& block, const PreparedRounds& prepared);

// The same as decrypt_rounds(block, keys, rounds); `prepared` must be in decrypt mode.
void decrypt_block_fast(Block& block, const PreparedRounds& prepared);

// What links one block of a stream to the next.
struct ChainState {
    Block previous{};   // the last ciphertext block, zeros before the first
    Block plain_sum{};  // the XOR of all plaintext blocks so far
};

// Encrypts the whole blocks of `data` in place, in order: each plaintext block P is added to
// state.plain_sum and replaced by C = encrypt_rounds(P ^ state.previous), which then becomes
// state.previous. `data.size()` must be a multiple of BLOCK_SIZE; `prepared` in encrypt mode.
void encrypt_chained(std::span<std::uint8_t> data, ChainState& state,
                     const PreparedRounds& prepared);

// Undoes encrypt_chained: each ciphertext block C becomes P = decrypt_rounds(C) ^
// state.previous, P is added to state.plain_sum, and C becomes state.previous. `data.size()`
// must be a multiple of BLOCK_SIZE; `prepared` in decrypt mode.
void decrypt_chained(std::span<std::uint8_t> data, ChainState& state,
                     const PreparedRounds& prepared);

}  // namespace quorvel
