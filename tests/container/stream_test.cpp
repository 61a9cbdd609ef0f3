#include "container/stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "cipher/rounds.h"
#include "container/format.h"
#include "support/cipher_inputs.h"
#include "support/memory_streams.h"
#include "support/test_support.h"

namespace quorvel {
namespace {

using test::Bytes;

struct Encrypted {
    StreamResult result;
    Bytes bytes;
};

Encrypted encrypt(const Bytes& plain, const std::string& password, std::size_t chunk = SIZE_MAX) {
    test::MemorySource source(plain, chunk);
    test::MemorySink sink;
    const auto result =
        encrypt_stream(source, sink, test::password_keys(password, CipherMode::encrypt),
                       select_round_count(password.size()));
    return {result, sink.bytes};
}

Encrypted decrypt(const Bytes& encrypted, const std::string& password,
                  std::optional<std::uint64_t> claimed_size = std::nullopt,
                  std::size_t chunk = SIZE_MAX) {
    test::MemorySource source(encrypted, chunk);
    test::MemorySink sink;
    const auto result = decrypt_stream(source, claimed_size.value_or(encrypted.size()), sink,
                                       test::password_keys(password, CipherMode::decrypt),
                                       select_round_count(password.size()));
    return {result, sink.bytes};
}

// Lengths around the block boundaries and the reader's chunk, with sources that hand out
// data in odd pieces, for every round count.
TEST(Stream, RoundTripsAcrossBoundariesAndRoundCounts) {
    const std::size_t chunk = CHUNK_SIZE;
    const std::size_t lengths[] = {0,   1,   254,  255,       256,   257,         511,          512,
                                   513, 767, 1000, chunk - 1, chunk, chunk + 255, 2 * chunk + 1};
    const std::string passwords[] = {"pw", "ZTnIZHcN7", "thirteen-char", "seventeen-chars!!"};
    const std::size_t source_chunks[] = {SIZE_MAX, 7, 256};
    int variant = 0;
    for (const std::size_t length : lengths) {
        const Bytes plain = test::random_bytes(length, static_cast<std::uint32_t>(length));
        const std::string& password = passwords[variant % 4];
        const std::size_t source_chunk = source_chunks[variant % 3];
        ++variant;
        const auto encrypted = encrypt(plain, password, source_chunk);
        ASSERT_EQ(encrypted.result, StreamResult::ok);
        EXPECT_EQ(encrypted.bytes.size(), encrypted_size(length)) << length;
        EXPECT_TRUE(std::equal(SIGNATURE.begin(), SIGNATURE.end(), encrypted.bytes.begin()));

        const auto decrypted = decrypt(encrypted.bytes, password, std::nullopt, source_chunk);
        EXPECT_EQ(decrypted.result, StreamResult::ok) << length;
        EXPECT_EQ(decrypted.bytes, plain) << "length " << length << " password " << password;
    }
}

TEST(Stream, SizesOfSmallPlaintexts) {
    const std::pair<std::size_t, std::size_t> cases[] = {{0, 521},   {1, 521},   {254, 521},
                                                         {255, 521}, {256, 777}, {257, 777},
                                                         {511, 777}, {512, 1033}};
    for (const auto& [plain_size, file_size] : cases) {
        EXPECT_EQ(encrypt(Bytes(plain_size, 'x'), "pw").bytes.size(), file_size) << plain_size;
    }
}

TEST(Stream, DeterministicAndCheckBlockIndependentOfPassword) {
    const Bytes plain = test::random_bytes(3000, 11);
    const auto first = encrypt(plain, "alpha");
    EXPECT_EQ(encrypt(plain, "alpha").bytes, first.bytes);
    const auto other = encrypt(plain, "a much longer password");
    EXPECT_NE(other.bytes, first.bytes);
    EXPECT_TRUE(std::equal(first.bytes.begin() + SIGNATURE_SIZE, first.bytes.begin() + HEADER_SIZE,
                           other.bytes.begin() + SIGNATURE_SIZE));
}

TEST(Stream, WrongPasswordOrDamagedCheckBlockFailsVerification) {
    const Bytes plain = test::random_bytes(1000, 12);
    const auto encrypted = encrypt(plain, "right");

    const auto wrong = decrypt(encrypted.bytes, "wrong");
    EXPECT_EQ(wrong.result, StreamResult::check_failed);

    Bytes damaged = encrypted.bytes;
    damaged[SIGNATURE_SIZE + 100] ^= 0x01;
    const auto checked = decrypt(damaged, "right");
    EXPECT_EQ(checked.result, StreamResult::check_failed);
    EXPECT_EQ(checked.bytes, plain);  // everything is still written
}

// Inputs too short to hold a cipher block follow the byte-by-byte reading rules exactly.
TEST(Stream, HeaderOnlyInputs) {
    const Bytes signature_only(SIGNATURE.begin(), SIGNATURE.end());
    const auto bare = decrypt(signature_only, "pw");
    EXPECT_EQ(bare.result, StreamResult::check_failed);
    EXPECT_TRUE(bare.bytes.empty());

    // Signature and check block only: one pass decrypts the block 0xFF, '0' ... as the last.
    Bytes header_only = signature_only;
    header_only.resize(HEADER_SIZE, 0);
    const auto keys = test::password_keys("pw", CipherMode::decrypt);
    Block expected;
    expected.fill('0');
    expected[0] = 0xFF;
    decrypt_rounds(expected, keys, 12);
    const auto decrypted = decrypt(header_only, "pw");
    EXPECT_EQ(decrypted.bytes, Bytes(expected.begin(), expected.begin() + expected[255]));
}

// A length past 4 GiB must not wrap: with the claimed size 4 GiB larger than the data, no
// block is the last one, so every block is written whole (a 32-bit count would see the
// last block at the real end and cut it to its count).
TEST(Stream, LengthsAreCountedIn64Bits) {
    const Bytes plain = test::random_bytes(600, 13);
    const auto encrypted = encrypt(plain, "pw");
    const std::uint64_t claimed = encrypted.bytes.size() + (std::uint64_t{1} << 32);
    const auto decrypted = decrypt(encrypted.bytes, "pw", claimed);
    EXPECT_EQ(decrypted.bytes.size(), encrypted.bytes.size() - HEADER_SIZE);
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), decrypted.bytes.begin()));
}

class FailingSource final : public ByteSource {
public:
    explicit FailingSource(std::size_t good_bytes) : good_bytes_(good_bytes) {}
    std::optional<std::size_t> read(std::span<std::uint8_t> buffer) override {
        if (good_bytes_ == 0) return std::nullopt;
        const std::size_t count = std::min(buffer.size(), good_bytes_);
        std::fill_n(buffer.begin(), count, 0x42);
        good_bytes_ -= count;
        return count;
    }

private:
    std::size_t good_bytes_;
};

class FailingSink final : public ByteSink {
public:
    explicit FailingSink(std::size_t room) : room_(room) {}
    bool write(std::span<const std::uint8_t> bytes) override {
        if (bytes.size() > room_) return false;
        room_ -= bytes.size();
        return true;
    }
    bool write_at(std::uint64_t, std::span<const std::uint8_t>) override { return true; }

private:
    std::size_t room_;
};

TEST(Stream, ReadErrorsEndTheStream) {
    const auto keys = test::password_keys("pw", CipherMode::encrypt);
    for (const std::size_t good : {0u, 1000u, 3u << 20}) {
        FailingSource source(good);
        test::MemorySink sink;
        EXPECT_EQ(encrypt_stream(source, sink, keys, 12), StreamResult::read_error) << good;

        FailingSource encrypted(good);
        EXPECT_EQ(decrypt_stream(encrypted, 1u << 30, sink, keys, 12), StreamResult::read_error);
    }
}

// The in-order output reads its input twice: an input that cannot go back, or that changes
// between the passes, must not give a file whose check block does not fit its blocks.
TEST(Stream, InOrderOutputNeedsAnInputThatReadsTwiceTheSame) {
    const Bytes plain = test::random_bytes(CHUNK_SIZE + 1000, 15);
    const auto keys = test::password_keys("pw", CipherMode::encrypt);
    auto pipe = test::MemorySource::pipe(plain);
    test::MemorySink in_order({.seekable = false});
    EXPECT_EQ(encrypt_stream(pipe, in_order, keys, 12), StreamResult::read_error);
    EXPECT_TRUE(in_order.bytes.empty());

    // Hands out another first byte after a rewind, as a file rewritten meanwhile would.
    class ChangingSource final : public ByteSource {
    public:
        explicit ChangingSource(const Bytes& bytes) : source_(bytes) {}
        std::optional<std::size_t> read(std::span<std::uint8_t> buffer) override {
            const auto got = source_.read(buffer);
            if (got && rewound_ && *got > 0) {
                buffer[0] ^= 1;
                rewound_ = false;
            }
            return got;
        }
        bool rewind() override { return rewound_ = source_.rewind(); }

    private:
        test::MemorySource source_;
        bool rewound_ = false;
    } changing(plain);
    test::MemorySink changed({.seekable = false});
    EXPECT_EQ(encrypt_stream(changing, changed, keys, 12), StreamResult::read_error);
}

TEST(Stream, WriteErrorsAreReported) {
    const Bytes plain = test::random_bytes(5u << 20, 14);
    const auto keys = test::password_keys("pw", CipherMode::encrypt);
    for (const std::size_t room : {0u, 100u, 3u << 20}) {
        test::MemorySource source(plain);
        FailingSink sink(room);
        EXPECT_EQ(encrypt_stream(source, sink, keys, 12), StreamResult::write_error) << room;
    }
}

// Reads through to a real input until `good_bytes` are out, then fails.
class FailingAfter final : public ByteSource {
public:
    FailingAfter(ByteSource& input, std::size_t good_bytes) : input_(input), left_(good_bytes) {}
    std::optional<std::size_t> read(std::span<std::uint8_t> buffer) override {
        if (left_ == 0) return std::nullopt;
        const auto got = input_.read(buffer.first(std::min(buffer.size(), left_)));
        if (got) left_ -= *got;
        return got;
    }

private:
    ByteSource& input_;
    std::size_t left_;
};

// A read error part-way through a file of many chunks, while the pipeline's two threads
// run: the stream stops, names the input, and the output it had begun leaves nothing behind.
TEST(FilePair, AReadErrorPartWayNamesTheInputAndLeavesNoOutput) {
    test::ScratchDir dir;
    const Bytes plain = test::random_bytes(6 * CHUNK_SIZE + 100, 16);
    test::write_file(dir / "plain", plain);
    {
        test::MemorySource source(plain);
        test::MemorySink sink;
        ASSERT_EQ(encrypt_stream(source, sink, test::password_keys("pw", CipherMode::encrypt),
                                 select_round_count(2)),
                  StreamResult::ok);
        test::write_file(dir / "encrypted", sink.bytes);
    }
    const struct {
        const char* input;
        CipherMode mode;
    } cases[] = {{"plain", CipherMode::encrypt}, {"encrypted", CipherMode::decrypt}};
    for (const auto& c : cases) {
        for (const std::size_t good : {CHUNK_SIZE / 2, 3 * CHUNK_SIZE, 5 * CHUNK_SIZE + 1}) {
            SCOPED_TRACE(std::string(c.input) + ", failing after " + std::to_string(good));
            {
                auto opened =
                    open_file_pair(dir / c.input, dir / "out", OutputPolicy::private_file);
                ASSERT_TRUE(std::holds_alternative<FilePair>(opened));
                FilePair& pair = std::get<FilePair>(opened);
                FailingAfter failing(pair.input(), good);
                const auto result =
                    run_cipher(pair, failing, c.mode, test::password_keys("pw", c.mode), 2);
                EXPECT_EQ(result, StreamResult::read_error);
                EXPECT_EQ(stream_fault(pair, result),
                          (FileFault{FileFault::Kind::cannot_read, dir / c.input}));
            }
            std::vector<std::string> left;
            for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
                left.push_back(entry.path().filename().string());
            }
            std::sort(left.begin(), left.end());
            EXPECT_EQ(left, (std::vector<std::string>{"encrypted", "plain"}));
        }
    }
}

// Each failure of the cipher stage's files comes back naming the file it happened to, with the
// system's error where the failing call gave one, and a missing input creates no output.
TEST(FilePair, FaultsNameTheirFile) {
    test::ScratchDir dir;
    test::write_file(dir / "in", "plain");
    using Kind = FileFault::Kind;
    const auto fault_of = [](const std::variant<FilePair, FileFault>& opened) {
        const auto* fault = std::get_if<FileFault>(&opened);
        return fault ? std::optional(*fault) : std::nullopt;
    };
    EXPECT_EQ(fault_of(open_file_pair(dir / "missing", dir / "out", OutputPolicy::private_file)),
              (FileFault{Kind::not_found, dir / "missing", ENOENT}));
    EXPECT_FALSE(std::filesystem::exists(dir / "out"));
    const auto out = dir / "no-such-folder" / "out";
    EXPECT_EQ(fault_of(open_file_pair(dir / "in", out, OutputPolicy::private_file)),
              (FileFault{Kind::cannot_create, out}));
    auto opened = open_file_pair(dir / "in", dir / "out", OutputPolicy::private_file);
    ASSERT_EQ(fault_of(opened), std::nullopt);
    FilePair& pair = std::get<FilePair>(opened);
    EXPECT_EQ(stream_fault(pair, StreamResult::ok), std::nullopt);
    EXPECT_EQ(stream_fault(pair, StreamResult::check_failed), std::nullopt);
    EXPECT_EQ(stream_fault(pair, StreamResult::read_error),
              (FileFault{Kind::cannot_read, dir / "in"}));
    EXPECT_EQ(stream_fault(pair, StreamResult::write_error),
              (FileFault{Kind::cannot_write, dir / "out"}));
    EXPECT_FALSE(std::filesystem::exists(dir / "out"));
    EXPECT_EQ(close_file_pair(std::move(pair)), std::nullopt);
    EXPECT_TRUE(std::filesystem::exists(dir / "out"));
}

}  // namespace
}  // namespace quorvel
