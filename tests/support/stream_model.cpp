#include "support/stream_model.h"

#include <algorithm>

#include "cipher/block_ops.h"
#include "cipher/mixer.h"
#include "cipher/rounds.h"
#include "container/format.h"

namespace quorvel::test {

namespace {

// One byte at a time from memory, with an end flag set by the first read that finds no data.
class ByteReader {
public:
    explicit ByteReader(std::span<const std::uint8_t> bytes, std::size_t start = 0)
        : bytes_(bytes), position_(std::min(start, bytes.size())) {}

    bool at_end() const { return at_end_; }

    // Up to 256 bytes into `block`, 0xFF after the last real one; the count of real bytes, or
    // 256 when 255 were left.
    int read_block(Block& block) {
        for (std::size_t i = 0; i < BLOCK_SIZE; ++i) {
            if (at_end_) return static_cast<int>(i) - 1;
            if (position_ < bytes_.size()) {
                block[i] = bytes_[position_++];
            } else {
                block[i] = END_MARKER;
                at_end_ = true;
            }
        }
        return static_cast<int>(BLOCK_SIZE);
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t position_;
    bool at_end_ = false;
};

}  // namespace

Bytes model_encrypt(std::span<const std::uint8_t> plain, const RoundKeyTable& keys, int rounds) {
    Bytes out(HEADER_SIZE, 0);
    out.reserve(HEADER_SIZE + (plain.size() / BLOCK_SIZE + 1) * BLOCK_SIZE);
    std::copy(SIGNATURE.begin(), SIGNATURE.end(), out.begin());
    ByteReader reader(plain);
    Block check{};
    Block previous{};
    while (!reader.at_end()) {
        Block block;
        fill_block(block, FILL_BYTE);
        const int count = reader.read_block(block);
        if (count < static_cast<int>(BLOCK_SIZE))
            block[BLOCK_SIZE - 1] = static_cast<std::uint8_t>(count);
        xor_block(check, block);
        xor_block(block, previous);
        encrypt_rounds(block, keys, rounds);
        out.insert(out.end(), block.begin(), block.end());
        previous = block;
    }
    mix_block(check, 1);
    std::copy(check.begin(), check.end(), out.begin() + SIGNATURE_SIZE);
    return out;
}

ModelDecrypted model_decrypt(std::span<const std::uint8_t> encrypted, std::int64_t claimed_size,
                             const RoundKeyTable& keys, int rounds) {
    std::int64_t remaining = claimed_size - static_cast<std::int64_t>(HEADER_SIZE);
    ByteReader reader(encrypted, SIGNATURE_SIZE);
    Block stored{};
    reader.read_block(stored);
    ModelDecrypted result{{}, false};
    result.plain.reserve(encrypted.size());
    Block check{};
    Block previous{};
    while (!reader.at_end()) {
        Block block;
        fill_block(block, FILL_BYTE);
        const int count = reader.read_block(block);
        remaining -= count;
        const Block ciphertext = block;
        decrypt_rounds(block, keys, rounds);
        xor_block(block, previous);
        xor_block(check, block);
        const std::size_t kept =
            remaining == 0 ? block[BLOCK_SIZE - 1] : static_cast<std::size_t>(count);
        result.plain.insert(result.plain.end(), block.begin(),
                            block.begin() + static_cast<std::ptrdiff_t>(kept));
        if (remaining == 0) break;
        previous = ciphertext;
    }
    mix_block(check, 1);
    result.verified = blocks_equal(check, stored);
    return result;
}

}  // namespace quorvel::test
