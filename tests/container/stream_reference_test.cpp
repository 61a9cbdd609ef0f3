// The chunked stream against a literal byte-at-a-time rendering of the format's algorithm:
// the same encrypted bytes for files of several chunks, and the same output and verdict when
// decrypting well-formed, truncated, extended and damaged files and files whose claimed length
// is wrong. And a stream whose output fails stops reading soon after.
#include <gtest/gtest.h>

#include <string>

#include "cipher/mixer.h"
#include "cipher/rounds.h"
#include "container/format.h"
#include "container/stream.h"
#include "tests/support/test_support.h"

namespace quorvel {
namespace {

using test::Bytes;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// One byte at a time from memory, with an end flag set by the first read that finds no data.
class ByteReader {
public:
    explicit ByteReader(const Bytes& bytes, std::size_t start = 0)
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
    const Bytes& bytes_;
    std::size_t position_;
    bool at_end_ = false;
};

Bytes reference_encrypt(const Bytes& plain, const RoundKeyTable& keys, int rounds) {
    Bytes out(HEADER_SIZE, 0);
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

struct Decrypted {
    Bytes plain;
    bool verified;
};

Decrypted reference_decrypt(const Bytes& encrypted, std::int64_t claimed_size,
                            const RoundKeyTable& keys, int rounds) {
    std::int64_t remaining = claimed_size - static_cast<std::int64_t>(HEADER_SIZE);
    ByteReader reader(encrypted, SIGNATURE_SIZE);
    Block stored{};
    reader.read_block(stored);
    Decrypted result{{}, false};
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

Bytes stream_encrypt(const Bytes& plain, const RoundKeyTable& keys, int rounds,
                     std::size_t read_size) {
    test::MemorySource source(plain, read_size);
    test::MemorySink sink;
    CaptureStdout();
    EXPECT_EQ(encrypt_stream(source, sink, keys, rounds), StreamResult::ok);
    GetCapturedStdout();
    return sink.bytes;
}

Decrypted stream_decrypt(const Bytes& encrypted, std::uint64_t claimed_size,
                         const RoundKeyTable& keys, int rounds, std::size_t read_size) {
    test::MemorySource source(encrypted, read_size);
    test::MemorySink sink;
    CaptureStdout();
    const StreamResult result = decrypt_stream(source, claimed_size, sink, keys, rounds);
    GetCapturedStdout();
    EXPECT_TRUE(result == StreamResult::ok || result == StreamResult::check_failed);
    return {sink.bytes, result == StreamResult::ok};
}

constexpr std::size_t KIB = 1024;

// Lengths around multiples of 256 KiB and 1 MiB (chunk sizes a stream may use) and around the
// 265-byte header, which shifts the blocks of an encrypted file against any chunk.
constexpr std::size_t PLAIN_LENGTHS[] = {
    0,
    255,
    256,
    256 * KIB - 265,
    256 * KIB - 1,
    256 * KIB,
    256 * KIB + 1,
    512 * KIB - 265 - 256,
    512 * KIB - 9,
    1024 * KIB - 256,
    1024 * KIB + 255,
    1280 * KIB + 7,
};

TEST(StreamAgainstReference, EncryptsTheSameBytes) {
    const auto keys = test::password_keys("seventeen-chars!!", CipherMode::encrypt);
    const std::size_t read_sizes[] = {SIZE_MAX, 4099, 65536};
    int variant = 0;
    for (const std::size_t length : PLAIN_LENGTHS) {
        const Bytes plain = test::random_bytes(length, static_cast<std::uint32_t>(length + 1));
        const int rounds = variant % 2 == 0 ? 12 : 48;
        const Bytes expected = reference_encrypt(plain, keys, rounds);
        const Bytes actual = stream_encrypt(plain, keys, rounds, read_sizes[variant % 3]);
        ++variant;
        ASSERT_EQ(actual.size(), expected.size()) << "length " << length;
        EXPECT_TRUE(actual == expected) << "length " << length << ", " << rounds << " rounds";
    }
}

TEST(StreamAgainstReference, DecryptsDamagedAndMisSizedFilesTheSameWay) {
    const auto encrypt_keys = test::password_keys("pw", CipherMode::encrypt);
    const auto decrypt_keys = test::password_keys("pw", CipherMode::decrypt);
    for (const std::size_t length : {std::size_t{0}, 256 * KIB - 265, 256 * KIB + 1, 700 * KIB}) {
        const Bytes encrypted = reference_encrypt(test::random_bytes(length, 77), encrypt_keys, 12);
        const std::size_t size = encrypted.size();

        struct Case {
            std::string name;
            Bytes file;
            std::int64_t claimed;
        };
        std::vector<Case> cases;
        cases.push_back({"as written", encrypted, static_cast<std::int64_t>(size)});
        for (const std::size_t cut :
             {std::size_t{5}, std::size_t{9}, std::size_t{200}, std::size_t{264}, std::size_t{265},
              std::size_t{266}, 256 * KIB - 1, 256 * KIB, 256 * KIB + 1, size - 257, size - 256,
              size - 255, size - 1}) {
            if (cut >= size) continue;
            const Bytes file(encrypted.begin(),
                             encrypted.begin() + static_cast<std::ptrdiff_t>(cut));
            cases.push_back(
                {"cut at " + std::to_string(cut), file, static_cast<std::int64_t>(cut)});
        }
        for (const std::size_t extra : {1u, 255u, 256u, 300u}) {
            Bytes file = encrypted;
            const Bytes tail = test::random_bytes(extra, static_cast<std::uint32_t>(extra));
            file.insert(file.end(), tail.begin(), tail.end());
            cases.push_back({"extended by " + std::to_string(extra), file,
                             static_cast<std::int64_t>(file.size())});
        }
        for (const std::int64_t shift : {-512, -256, -1, 1, 256, 4096}) {
            cases.push_back({"claimed size off by " + std::to_string(shift), encrypted,
                             static_cast<std::int64_t>(size) + shift});
        }
        Bytes damaged = encrypted;
        damaged[size / 2] ^= 0x40;
        cases.push_back({"damaged", damaged, static_cast<std::int64_t>(size)});

        for (const auto& [name, file, claimed] : cases) {
            if (claimed < 0) continue;
            const Decrypted expected = reference_decrypt(file, claimed, decrypt_keys, 12);
            for (const std::size_t read_size : {SIZE_MAX, std::size_t{1000}}) {
                const Decrypted actual = stream_decrypt(file, static_cast<std::uint64_t>(claimed),
                                                        decrypt_keys, 12, read_size);
                EXPECT_EQ(actual.verified, expected.verified) << name << ", length " << length;
                EXPECT_TRUE(actual.plain == expected.plain)
                    << name << ", length " << length << ": " << actual.plain.size() << " bytes, "
                    << expected.plain.size() << " expected";
            }
        }
    }
}

// `size` zero bytes, counting what it hands out.
class ZeroSource final : public ByteSource {
public:
    explicit ZeroSource(std::uint64_t size) : left_(size) {}
    std::optional<std::size_t> read(std::span<std::uint8_t> buffer) override {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), left_));
        std::fill_n(buffer.begin(), count, 0);
        left_ -= count;
        handed_out += count;
        return count;
    }
    std::uint64_t handed_out = 0;

private:
    std::uint64_t left_;
};

class RefusingSink final : public ByteSink {
public:
    bool write(std::span<const std::uint8_t>) override { return false; }
    bool write_at(std::uint64_t, std::span<const std::uint8_t>) override { return false; }
};

TEST(StreamAgainstReference, AFailedWriteStopsTheReading) {
    const auto encrypt_keys = test::password_keys("pw", CipherMode::encrypt);
    const auto decrypt_keys = test::password_keys("pw", CipherMode::decrypt);
    constexpr std::uint64_t SIZE = std::uint64_t{256} << 20;
    constexpr std::uint64_t LIMIT = std::uint64_t{16} << 20;
    {
        ZeroSource input(SIZE);
        RefusingSink sink;
        CaptureStdout();
        EXPECT_EQ(encrypt_stream(input, sink, encrypt_keys, 12), StreamResult::write_error);
        GetCapturedStdout();
        EXPECT_LT(input.handed_out, LIMIT);
    }
    {
        ZeroSource input(SIZE);
        RefusingSink sink;
        CaptureStdout();
        EXPECT_EQ(decrypt_stream(input, SIZE, sink, decrypt_keys, 12), StreamResult::write_error);
        GetCapturedStdout();
        EXPECT_LT(input.handed_out, LIMIT);
    }
}

}  // namespace
}  // namespace quorvel
