// The round sequence of rounds.h again, with the same results bit for bit, at the speed of a
// file copy. The whole sequence is affine: the permutation rounds are the identity and the XOR
// rounds add a constant that the rest of the sequence carries along, so what is left per block
// is a chain of byte rotations and diffusions plus one XOR, done on whole words or vectors.
// rounds.h stays the reference this engine is tested against.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
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

// What links one block of a stream to the next.
struct ChainState {
    Block previous{};   // the last ciphertext block, zeros before the first
    Block plain_sum{};  // the XOR of all plaintext blocks so far
};

namespace detail {

struct PreparedRounds;  // the prepared keys themselves; their layout is the engine's own

// What both directions hold: the prepared keys, with one owner, wiped when they go.
class PreparedKeys {
protected:
    PreparedKeys();
    ~PreparedKeys();
    PreparedKeys(PreparedKeys&&) noexcept;
    PreparedKeys& operator=(PreparedKeys&&) noexcept;

    std::unique_ptr<PreparedRounds> prepared_;
};

}  // namespace detail

// The round keys of one run, prepared once to encrypt on one path. Only encrypt_chained takes
// them, so keys prepared for the other direction cannot reach an encryption.
class EncryptingRounds : private detail::PreparedKeys {
public:
    // Prepares `keys`, which must hold the encrypt form, for `rounds` rounds on `path` (one of
    // supported_rounds_paths()).
    EncryptingRounds(const RoundKeyTable& keys, int rounds, RoundsPath path = best_rounds_path());

private:
    friend void encrypt_chained(std::span<std::uint8_t> data, ChainState& state,
                                const EncryptingRounds& rounds);
};

// The same for decryption; only decrypt_chained takes them.
class DecryptingRounds : private detail::PreparedKeys {
public:
    // Prepares `keys`, which must hold the decrypt form, for `rounds` rounds on `path` (one of
    // supported_rounds_paths()).
    DecryptingRounds(const RoundKeyTable& keys, int rounds, RoundsPath path = best_rounds_path());

private:
    friend void decrypt_chained(std::span<std::uint8_t> data, ChainState& state,
                                const DecryptingRounds& rounds);
};

// Encrypts the whole blocks of `data` in place, in order: each plaintext block P is added to
// state.plain_sum and replaced by C = encrypt_rounds(P ^ state.previous), which then becomes
// state.previous. `data.size()` must be a multiple of BLOCK_SIZE.
void encrypt_chained(std::span<std::uint8_t> data, ChainState& state,
                     const EncryptingRounds& rounds);

// Undoes encrypt_chained: each ciphertext block C becomes P = decrypt_rounds(C) ^
// state.previous, P is added to state.plain_sum, and C becomes state.previous. `data.size()`
// must be a multiple of BLOCK_SIZE.
void decrypt_chained(std::span<std::uint8_t> data, ChainState& state,
                     const DecryptingRounds& rounds);

}  // namespace quorvel
