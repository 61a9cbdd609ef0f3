// The chunked stream against the byte-at-a-time model of the format's algorithm: the same
// encrypted bytes for files of several chunks, to a seekable output and to one that takes its
// bytes in order only (a pipe); the same output and verdict when decrypting well-formed,
// truncated, extended and damaged files and files whose claimed length is wrong, and the same
// again from a pipe, where the last block is found at the end of the input. And a stream
// whose output fails stops reading soon after.
#include <gtest/gtest.h>

#include <string>

#include "container/format.h"
#include "container/stream.h"
#include "support/cipher_inputs.h"
#include "support/stream_model.h"
#include "support/test_support.h"

namespace quorvel {
namespace {

using test::Bytes;
using Decrypted = test::ModelDecrypted;

Bytes stream_encrypt(const Bytes& plain, const RoundKeyTable& keys, int rounds,
                     std::size_t read_size, test::MemorySink::Kind output) {
    test::MemorySource source(plain, read_size);
    test::MemorySink sink(output);
    EXPECT_EQ(encrypt_stream(source, sink, keys, rounds), StreamResult::ok);
    return sink.bytes;
}

// Decrypts from memory by `claimed_size`, or without it from a source that cannot rewind.
Decrypted stream_decrypt(const Bytes& encrypted, std::optional<std::uint64_t> claimed_size,
                         const RoundKeyTable& keys, int rounds, std::size_t read_size) {
    auto source = claimed_size ? test::MemorySource(encrypted, read_size)
                               : test::MemorySource::pipe(encrypted, read_size);
    test::MemorySink sink;
    const StreamResult result = decrypt_stream(source, claimed_size, sink, keys, rounds);
    EXPECT_TRUE(result == StreamResult::ok || result == StreamResult::check_failed);
    return {sink.bytes, result == StreamResult::ok};
}

constexpr std::size_t CHUNK = CHUNK_SIZE;

// Lengths around multiples of the stream's chunk and around the 265-byte header, which shifts
// the blocks of an encrypted file against the chunks.
constexpr std::size_t PLAIN_LENGTHS[] = {
    0,
    255,
    256,
    CHUNK - HEADER_SIZE,
    CHUNK - 1,
    CHUNK,
    CHUNK + 1,
    2 * CHUNK - HEADER_SIZE - BLOCK_SIZE,
    2 * CHUNK - SIGNATURE_SIZE,
    4 * CHUNK - BLOCK_SIZE,
    4 * CHUNK + BLOCK_SIZE - 1,
    5 * CHUNK + 7,
};

TEST(StreamAgainstReference, EncryptsTheSameBytesToEveryKindOfOutput) {
    const auto keys = test::password_keys("seventeen-chars!!", CipherMode::encrypt);
    const std::size_t read_sizes[] = {SIZE_MAX, 4099, 65536};
    const std::pair<const char*, test::MemorySink::Kind> outputs[] = {
        {"seekable", {}},
        {"in-order (a pipe)", {.seekable = false}},
    };
    int variant = 0;
    for (const std::size_t length : PLAIN_LENGTHS) {
        const Bytes plain = test::random_bytes(length, static_cast<std::uint32_t>(length + 1));
        const int rounds = variant % 2 == 0 ? 12 : 48;
        const Bytes expected = test::model_encrypt(plain, keys, rounds);
        for (const auto& [output_name, output] : outputs) {
            const Bytes actual =
                stream_encrypt(plain, keys, rounds, read_sizes[variant % 3], output);
            ASSERT_EQ(actual.size(), expected.size()) << "length " << length;
            EXPECT_TRUE(actual == expected)
                << "length " << length << ", " << rounds << " rounds, to " << output_name;
        }
        ++variant;
    }
}

TEST(StreamAgainstReference, DecryptsDamagedAndMisSizedFilesTheSameWay) {
    const auto encrypt_keys = test::password_keys("pw", CipherMode::encrypt);
    const auto decrypt_keys = test::password_keys("pw", CipherMode::decrypt);
    // The last of these ends where a pipe's reader fills its second chunk exactly, so that the
    // last block is known to be the last only when a further read finds nothing.
    for (const std::size_t length : {std::size_t{0}, CHUNK - HEADER_SIZE, CHUNK + 1,
                                     2 * CHUNK + CHUNK / 2, 2 * CHUNK - 3 * BLOCK_SIZE}) {
        const Bytes encrypted =
            test::model_encrypt(test::random_bytes(length, 77), encrypt_keys, 12);
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
              std::size_t{266}, CHUNK - 1, CHUNK, CHUNK + 1, size - 257, size - 256, size - 255,
              size - 1}) {
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
            const Decrypted expected = test::model_decrypt(file, claimed, decrypt_keys, 12);
            std::vector<std::pair<std::string, std::optional<std::uint64_t>>> roads = {
                {"by length", static_cast<std::uint64_t>(claimed)}};
            // A pipe has no length to claim: only the true one is found, at its end.
            if (claimed == static_cast<std::int64_t>(file.size())) roads.push_back({"pipe", {}});
            for (const auto& [road, claimed_size] : roads) {
                for (const std::size_t read_size : {SIZE_MAX, std::size_t{1000}, std::size_t{7}}) {
                    const Decrypted actual =
                        stream_decrypt(file, claimed_size, decrypt_keys, 12, read_size);
                    EXPECT_EQ(actual.verified, expected.verified)
                        << name << ", length " << length << ", " << road;
                    EXPECT_TRUE(actual.plain == expected.plain)
                        << name << ", length " << length << ", " << road << ": "
                        << actual.plain.size() << " bytes, " << expected.plain.size()
                        << " expected";
                }
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
        EXPECT_EQ(encrypt_stream(input, sink, encrypt_keys, 12), StreamResult::write_error);
        EXPECT_LT(input.handed_out, LIMIT);
    }
    {
        ZeroSource input(SIZE);
        RefusingSink sink;
        EXPECT_EQ(decrypt_stream(input, SIZE, sink, decrypt_keys, 12), StreamResult::write_error);
        EXPECT_LT(input.handed_out, LIMIT);
    }
}

}  // namespace
}  // namespace quorvel
