#include "keyfile/keyfile.h"

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

TEST(KeyFile, CreatedFilesAreFullSizePrivateAndDiffer) {
    test::ScratchDir dir;
    CaptureStdout();
    ASSERT_TRUE(create_key_file(dir / "one.key"));
    ASSERT_TRUE(create_key_file(dir / "two.key"));
    EXPECT_EQ(GetCapturedStdout(),
              "Key file is successfully created!\nKey file is successfully created!\n");
    const auto one = test::read_file(dir / "one.key");
    const auto two = test::read_file(dir / "two.key");
    EXPECT_EQ(one.size(), KEY_FILE_SIZE);
    EXPECT_EQ(two.size(), KEY_FILE_SIZE);
    EXPECT_NE(one, two);
#ifndef _WIN32  // Windows has no permission bits; a file takes its folder's access list
    EXPECT_EQ(fs::status(dir / "one.key").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
#endif
}

TEST(KeyFile, CreationNeverReplacesAFileAndReportsFailure) {
    test::ScratchDir dir;
    test::write_file(dir / "taken.key", "precious");
    const struct {
        fs::path path;
    } cases[] = {{dir / "taken.key"}, {dir / "no-such-folder" / "k.key"}};
    for (const auto& c : cases) {
        CaptureStdout();
        EXPECT_FALSE(create_key_file(c.path));
        EXPECT_EQ(GetCapturedStdout(), "Error! Can't create key-file '" + c.path.string() + "'.\n");
    }
    EXPECT_EQ(test::read_file(dir / "taken.key"), test::to_bytes("precious"));
    EXPECT_FALSE(fs::exists(dir / "no-such-folder"));
}

TEST(KeyFile, ProbePrintsWithoutLineBreak) {
    test::ScratchDir dir;
    test::write_file(dir / "k", "x");
    CaptureStdout();
    EXPECT_TRUE(key_file_exists(dir / "k"));
    EXPECT_FALSE(key_file_exists(dir / "missing"));
    EXPECT_EQ(GetCapturedStdout(), "Key file found.");
}

// Missing bytes read as 0xFF and bytes past the 3072nd are ignored.
TEST(KeyFile, ReadingShortAndLongFiles) {
    test::ScratchDir dir;
    const auto bytes = test::random_bytes(KEY_FILE_SIZE + 500, 21);

    test::write_file(dir / "short", test::Bytes(bytes.begin(), bytes.begin() + 100));
    RoundKeyTable table{};
    ASSERT_TRUE(read_key_file(dir / "short", table));
    for (std::size_t i = 0; i < KEY_FILE_SIZE; ++i) {
        const std::uint8_t expected = i < 100 ? bytes[i] : 0xFF;
        ASSERT_EQ(table[i / BLOCK_SIZE][i % BLOCK_SIZE], expected) << i;
    }

    test::write_file(dir / "long", bytes);
    test::write_file(dir / "exact", test::Bytes(bytes.begin(), bytes.begin() + KEY_FILE_SIZE));
    RoundKeyTable from_long{}, from_exact{};
    ASSERT_TRUE(read_key_file(dir / "long", from_long));
    ASSERT_TRUE(read_key_file(dir / "exact", from_exact));
    EXPECT_EQ(from_long, from_exact);
    EXPECT_EQ(from_exact[11][255], bytes[KEY_FILE_SIZE - 1]);
}

TEST(KeyFile, UnreadableFilesAreErrors) {
    test::ScratchDir dir;
    RoundKeyTable table{};
    CaptureStdout();
    EXPECT_FALSE(read_key_file(dir / "missing", table));
    EXPECT_EQ(GetCapturedStdout(), "Error! File '" + (dir / "missing").string() + "' not found.\n");
    CaptureStdout();
    EXPECT_FALSE(read_key_file(dir.path(), table));
    EXPECT_EQ(GetCapturedStdout(), "Error! Can't read key-file '" + dir.path().string() + "'.\n");
}

}  // namespace
}  // namespace quorvel
