#include "keyfile/keyfile.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

TEST(KeyFile, CreatedFilesAreFullSizePrivateAndDiffer) {
    test::ScratchDir dir;
    CaptureStdout();
    const auto one_identity = create_key_file(dir / "one.key");
    ASSERT_TRUE(create_key_file(dir / "two.key"));
    EXPECT_EQ(GetCapturedStdout(),
              "Key file is successfully created!\nKey file is successfully created!\n");
    ASSERT_TRUE(one_identity);
    EXPECT_EQ(files::identity_at(dir / "one.key"), one_identity);
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
    std::vector<fs::path> cases{dir / "taken.key", dir / "no-such-folder" / "k.key"};
#ifndef _WIN32  // links need privileges on Windows
    // A link to a missing name would create the file it names, wherever that is.
    fs::create_symlink(dir / "elsewhere.key", dir / "dangling.key");
    cases.push_back(dir / "dangling.key");
#endif
    for (const auto& path : cases) {
        CaptureStdout();
        EXPECT_FALSE(create_key_file(path));
        EXPECT_EQ(GetCapturedStdout(), "Error! Can't create key-file '" + path.string() + "'.\n");
    }
    EXPECT_EQ(test::read_file(dir / "taken.key"), test::to_bytes("precious"));
    EXPECT_FALSE(fs::exists(dir / "no-such-folder"));
    EXPECT_FALSE(fs::exists(dir / "elsewhere.key"));
}

// Only a regular file is a key file, told on the opened file; a pipe is refused, not waited
// on, and "Key file found." comes only for a file that is used.
TEST(KeyFile, ProbeTakesRegularFilesOnly) {
    test::ScratchDir dir;
    test::write_file(dir / "k", "x");
    const auto not_regular = [](const fs::path& path) {
        return "Error! Key file '" + path.string() + "' is not a regular file.\n";
    };
    struct Case {
        fs::path path;
        KeyFile::State state;
        std::string output;
    };
    std::vector<Case> cases{{dir / "k", KeyFile::State::opened, "Key file found."},
                            {dir / "missing", KeyFile::State::missing, ""},
                            {dir.path(), KeyFile::State::refused, not_regular(dir.path())}};
#ifndef _WIN32
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    fs::create_symlink(dir / "missing", dir / "dangling");
    fs::create_symlink(dir / "k", dir / "link");
    cases.push_back({dir / "fifo", KeyFile::State::refused, not_regular(dir / "fifo")});
    cases.push_back({"/dev/null", KeyFile::State::refused, not_regular("/dev/null")});
    cases.push_back({"/dev/urandom", KeyFile::State::refused, not_regular("/dev/urandom")});
    cases.push_back({dir / "dangling", KeyFile::State::missing, ""});
    cases.push_back({dir / "link", KeyFile::State::opened, "Key file found."});
#endif
    for (const auto& c : cases) {
        CaptureStdout();
        const KeyFile key_file = KeyFile::open(c.path);
        EXPECT_EQ(key_file.state(), c.state) << c.path;
        EXPECT_EQ(GetCapturedStdout(), c.output) << c.path;
        if (c.state == KeyFile::State::opened) {
            EXPECT_EQ(key_file.size(), 1u);
        }
    }
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
    EXPECT_EQ(GetCapturedStdout(),
              "Error! Key file '" + dir.path().string() + "' is not a regular file.\n");
}

}  // namespace
}  // namespace quorvel
