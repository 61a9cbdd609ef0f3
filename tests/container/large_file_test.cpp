// An input past 4 GiB streams through the cipher stage and back unchanged, with memory use
// that does not grow with the file.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>

#include "cipher/rounds.h"
#include "container/file_stream.h"
#include "container/format.h"
#include "container/stream.h"
#include "support/cipher_inputs.h"
#include "support/test_support.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

// An output at `path`, found and opened as the program opens its own.
std::optional<OutputFile> create_output(const fs::path& path, OutputPolicy policy) {
    const auto target = OutputFile::find_target(path, policy);
    return target ? OutputFile::open(*target) : std::nullopt;
}

long peak_resident_kib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Checks, as it is written, that the plaintext is `zeros` zero bytes followed by `tail`.
class ExpectedPlaintextSink final : public ByteSink {
public:
    ExpectedPlaintextSink(std::uint64_t zeros, test::Bytes tail)
        : zeros_(zeros), tail_(std::move(tail)) {}

    bool write(std::span<const std::uint8_t> bytes) override {
        for (const auto byte : bytes) {
            const std::uint8_t expected = position_ < zeros_ ? 0
                                          : position_ - zeros_ < tail_.size()
                                              ? tail_[position_ - zeros_]
                                              : 0xAA;
            if (byte != expected && mismatches_++ == 0) first_mismatch_ = position_;
            ++position_;
        }
        return true;
    }
    bool write_at(std::uint64_t, std::span<const std::uint8_t>) override { return false; }

    std::uint64_t written() const { return position_; }
    std::uint64_t mismatches() const { return mismatches_; }
    std::uint64_t first_mismatch() const { return first_mismatch_; }

private:
    std::uint64_t zeros_;
    test::Bytes tail_;
    std::uint64_t position_ = 0;
    std::uint64_t mismatches_ = 0;
    std::uint64_t first_mismatch_ = 0;
};

TEST(LargeFile, SparseInputPastFourGiBRoundTripsWithFlatMemory) {
    // In memory-backed storage when there is some, so the test does not wait on a disk.
    const fs::path shm = "/dev/shm";
    const fs::path base = fs::is_directory(shm) ? shm : fs::temp_directory_path();
    const fs::path plain_path = base / ("quorvel-large-" + std::to_string(::getpid()) + ".plain");
    const fs::path encrypted_path = base / ("quorvel-large-" + std::to_string(::getpid()) + ".qv");
    struct Cleanup {
        fs::path a, b;
        ~Cleanup() {
            std::error_code ignored;
            fs::remove(a, ignored);
            fs::remove(b, ignored);
        }
    } cleanup{plain_path, encrypted_path};

    const std::uint64_t zeros = (std::uint64_t{4} << 30) + 77;
    const test::Bytes tail = test::random_bytes(1000, 51);
    {
        auto out = create_output(plain_path, OutputPolicy::private_file);
        ASSERT_TRUE(out);
        ASSERT_TRUE(out->close());
        fs::resize_file(plain_path, zeros);
        std::FILE* file = std::fopen(plain_path.c_str(), "ab");
        ASSERT_EQ(std::fwrite(tail.data(), 1, tail.size(), file), tail.size());
        ASSERT_EQ(std::fclose(file), 0);
    }
    const auto keys_e = test::password_keys("pw", CipherMode::encrypt);
    const auto keys_d = test::password_keys("pw", CipherMode::decrypt);
    const long rss_before = peak_resident_kib();

    auto input = InputFile::open(plain_path);
    auto output = create_output(encrypted_path, OutputPolicy::private_file);
    ASSERT_TRUE(input && output);
    ASSERT_EQ(encrypt_stream(*input, *output, keys_e, 12), StreamResult::ok);
    ASSERT_TRUE(output->close());
    fs::remove(plain_path);
    ASSERT_EQ(fs::file_size(encrypted_path), encrypted_size(zeros + tail.size()));

    auto encrypted = InputFile::open(encrypted_path);
    ASSERT_TRUE(encrypted);
    ExpectedPlaintextSink check(zeros, tail);
    EXPECT_EQ(decrypt_stream(*encrypted, *encrypted->size(), check, keys_d, 12), StreamResult::ok);
    EXPECT_EQ(check.written(), zeros + tail.size());
    EXPECT_EQ(check.mismatches(), 0u) << "first at " << check.first_mismatch();

    EXPECT_LT(peak_resident_kib() - rss_before, 8 * 1024) << "KiB more at the peak";
}

}  // namespace
}  // namespace quorvel
