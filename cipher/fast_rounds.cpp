#include "cipher/fast_rounds.h"

#include <algorithm>
#include <vector>

#include "cipher/rounds.h"
#include "cipher/secure_wipe.h"
#include "internal/expects.h"
#include "internal/fast_rounds_kernels.h"

namespace quorvel {

namespace {

std::vector<RoundsPath> detect_paths() {
    std::vector<RoundsPath> paths{RoundsPath::portable};
#ifdef QUORVEL_X86_64
    paths.push_back(RoundsPath::sse2);
    if (detail::cpu_has_avx2()) paths.push_back(RoundsPath::avx2);
    if (detail::cpu_has_avx512()) paths.push_back(RoundsPath::avx512);
#endif
    return paths;
}

const std::vector<RoundsPath>& known_paths() {
    static const std::vector<RoundsPath> paths = detect_paths();
    return paths;
}

detail::ChainKernels kernels_for(RoundsPath path) {
    switch (path) {
#ifdef QUORVEL_X86_64
        case RoundsPath::sse2:
            return detail::sse2_kernels();
        case RoundsPath::avx2:
            return detail::avx2_kernels();
        case RoundsPath::avx512:
            return detail::avx512_kernels();
#endif
        default:
            return detail::portable_kernels();
    }
}

// The key schedule always makes the permutation keys the identity, so the permutation rounds
// change nothing; a table built some other way is still served, through the reference rounds.
bool permutations_are_identity(const RoundKeyTable& keys, int rounds) {
    Block identity;
    make_permutation(identity);
    const int used = std::min(rounds, static_cast<int>(ROUND_KEY_COUNT));
    for (int r = 0; r < used; r += 3) {
        if (!blocks_equal(keys[static_cast<std::size_t>(r)], identity)) return false;
    }
    return true;
}

// Fills `prepared` for `keys` and `rounds` in one direction: `reference_rounds` is that
// direction's reference sequence, `kernel` the path's kernel for it.
void prepare(detail::PreparedRounds& prepared, const RoundKeyTable& keys, int rounds,
             RoundsPath path, void (*reference_rounds)(Block&, const RoundKeyTable&, int),
             const detail::DirectionKernel& kernel) {
    // A path this CPU lacks would run instructions it does not have.
    detail::expects(std::find(known_paths().begin(), known_paths().end(), path) !=
                    known_paths().end());
    prepared.path = path;
    prepared.keys = keys;
    prepared.rounds = rounds;
    prepared.affine = permutations_are_identity(keys, rounds);
    // Round r is a rotation round when r % 3 == 2: rounds 2, 5, 8, ... below `rounds`.
    prepared.rotation_rounds = std::max(rounds, 0) / 3;
    for (std::size_t slot = 0; slot < detail::ROTATION_KEY_COUNT; ++slot) {
        const Block& key = keys[3 * slot + 2];
        for (std::size_t i = 0; i < BLOCK_SIZE; ++i) {
            prepared.rotation_amounts[slot][i] = static_cast<std::uint8_t>(key[i] & 7u);
        }
    }
    // Rotations and diffusions are linear over bits, so the sequence maps x to
    // linear(x) ^ sequence(0), and sequence(0) is all the XOR rounds contribute.
    reference_rounds(prepared.constant, keys, rounds);
    kernel.prepare(prepared);
}

std::size_t whole_blocks(std::span<const std::uint8_t> data) {
    // The kernels run whole blocks: a partial one would be read and written past its end.
    detail::expects(data.size() % BLOCK_SIZE == 0);
    return data.size() / BLOCK_SIZE;
}

Block block_at(std::span<const std::uint8_t> data, std::size_t index) {
    Block block;
    std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(index * BLOCK_SIZE), BLOCK_SIZE,
                block.begin());
    return block;
}

void put_block(std::span<std::uint8_t> data, std::size_t index, const Block& block) {
    std::copy(block.begin(), block.end(),
              data.begin() + static_cast<std::ptrdiff_t>(index * BLOCK_SIZE));
}

}  // namespace

std::span<const RoundsPath> supported_rounds_paths() {
    return known_paths();
}

RoundsPath best_rounds_path() {
    return known_paths().back();
}

const char* rounds_path_name(RoundsPath path) {
    switch (path) {
        case RoundsPath::sse2:
            return "sse2";
        case RoundsPath::avx2:
            return "avx2";
        case RoundsPath::avx512:
            return "avx512";
        default:
            return "portable";
    }
}

namespace detail {

PreparedRounds::~PreparedRounds() {
    secure_wipe(std::as_writable_bytes(std::span(this, 1)));
}

PreparedKeys::PreparedKeys() : prepared_(std::make_unique<PreparedRounds>()) {}
PreparedKeys::~PreparedKeys() = default;
PreparedKeys::PreparedKeys(PreparedKeys&&) noexcept = default;
PreparedKeys& PreparedKeys::operator=(PreparedKeys&&) noexcept = default;

}  // namespace detail

EncryptingRounds::EncryptingRounds(const RoundKeyTable& keys, int rounds, RoundsPath path) {
    prepare(*prepared_, keys, rounds, path, encrypt_rounds, kernels_for(path).encrypt);
}

DecryptingRounds::DecryptingRounds(const RoundKeyTable& keys, int rounds, RoundsPath path) {
    prepare(*prepared_, keys, rounds, path, decrypt_rounds, kernels_for(path).decrypt);
}

void encrypt_chained(std::span<std::uint8_t> data, ChainState& state,
                     const EncryptingRounds& rounds) {
    const detail::PreparedRounds& prepared = *rounds.prepared_;
    const std::size_t blocks = whole_blocks(data);
    if (blocks == 0) return;
    if (prepared.affine) {
        kernels_for(prepared.path).encrypt.run(data.data(), blocks, state, prepared);
        return;
    }
    for (std::size_t b = 0; b < blocks; ++b) {
        Block block = block_at(data, b);
        xor_block(state.plain_sum, block);
        xor_block(block, state.previous);
        encrypt_rounds(block, prepared.keys, prepared.rounds);
        state.previous = block;
        put_block(data, b, block);
    }
}

void decrypt_chained(std::span<std::uint8_t> data, ChainState& state,
                     const DecryptingRounds& rounds) {
    const detail::PreparedRounds& prepared = *rounds.prepared_;
    const std::size_t blocks = whole_blocks(data);
    if (blocks == 0) return;
    if (prepared.affine) {
        kernels_for(prepared.path).decrypt.run(data.data(), blocks, state, prepared);
        return;
    }
    for (std::size_t b = 0; b < blocks; ++b) {
        const Block ciphertext = block_at(data, b);
        Block block = ciphertext;
        decrypt_rounds(block, prepared.keys, prepared.rounds);
        xor_block(block, state.previous);
        xor_block(state.plain_sum, block);
        state.previous = ciphertext;
        put_block(data, b, block);
    }
}

}  // namespace quorvel
