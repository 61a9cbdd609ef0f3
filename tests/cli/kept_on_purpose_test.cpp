// What stays as it always was, on purpose: "Decrypt WRONG!" (a wrong password or key file, or
// a damaged file: every truncation and flipped byte) and "Error unpack file" keep the
// decrypted archive in the folder for inspection and extract nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <optional>
#include <vector>

#include "cli/cli_fixture.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;

class KeptOnPurposeTest : public CliTest {};

TEST_F(KeptOnPurposeTest, DecryptedArchiveIsKeptAfterAWrongPasswordOrAFailedExtraction) {
    write_file(enc() / "plan.txt", "some plans");
    ASSERT_EQ(run({"plan.txt", "plan.qv", "right"}, enc()).exit_code, 0);
    const auto failing = stand_in_archiver("failing-bin", FAILING_ARCHIVER);
    const struct {
        const char* label;
        const char* password;
        std::optional<std::string> archiver;  // the quiet real one when empty
        std::string expected;
    } cases[] = {
        {"a wrong password", "wrong", std::nullopt, "Decrypt process start!\nDecrypt WRONG!\n"},
        {"the archiver failing to extract", "right", failing, DECRYPT_OK + "Error unpack file \n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const auto folder = fresh_folder();
        const auto result =
            run({(enc() / "plan.qv").string(), "x", c.password}, folder, c.archiver);
        EXPECT_EQ(result.output, c.expected);
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_TRUE(exists(folder / TEMP_ARCHIVE));
        EXPECT_FALSE(exists(folder / "plan.txt"));
    }
}

// Every truncation of an encrypted file, and a flipped byte anywhere, fails verification:
// "Decrypt WRONG!", status 1, and nothing is extracted. Over a thousand runs: they go a few at
// a time, each in a folder of its own (a run locks its folder), since a run is mostly the
// program's start and end (under the sanitizers about 80 ms, most of it the leak check at
// exit), which one run after another would leave a core idle for.
TEST_F(KeptOnPurposeTest, TruncatedOrDamagedFilesFailVerification) {
    write_file(enc() / "plan.txt", random_bytes(1200, 44));
    const auto copying = copying_archiver();
    ASSERT_EQ(run({"plan.txt", "plan.qv", "pw"}, enc(), copying).exit_code, 0);
    const auto encrypted = read_file(enc() / "plan.qv");
    ASSERT_GT(encrypted.size(), 265u + 3 * 256);

    std::vector<Bytes> damaged;
    for (std::size_t length = 9; length <= 265 + 3 * 256; ++length) {
        damaged.emplace_back(encrypted.begin(),
                             encrypted.begin() + static_cast<std::ptrdiff_t>(length));
    }
    for (std::size_t offset = 9; offset < encrypted.size(); offset += 37) {
        damaged.push_back(encrypted);
        damaged.back()[offset] ^= 0x20;
    }
    constexpr std::size_t AT_ONCE = 4;
    std::vector<fs::path> folders;
    for (std::size_t i = 0; i < AT_ONCE; ++i) folders.push_back(fresh_folder());
    for (std::size_t first = 0; first < damaged.size(); first += AT_ONCE) {
        const std::size_t count = std::min(AT_ONCE, damaged.size() - first);
        std::deque<RunningProgram> running;
        for (std::size_t i = 0; i < count; ++i) {
            write_file(folders[i] / "damaged.qv", damaged[first + i]);
            running.emplace_back(std::vector<std::string>{"damaged.qv", "x", "pw"}, folders[i],
                                 options(copying));
        }
        for (std::size_t i = 0; i < count; ++i) {
            const auto result = running[i].finish();
            const auto size = damaged[first + i].size();
            ASSERT_EQ(result.output, "Decrypt process start!\nDecrypt WRONG!\n") << size;
            ASSERT_EQ(result.exit_code, 1);
            ASSERT_FALSE(exists(folders[i] / "extracted.bin"));
        }
    }
}

}  // namespace
}  // namespace quorvel::test
