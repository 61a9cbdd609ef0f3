#include "keyfile/keyfile.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <string>
#include <vector>

#include "support/test_support.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using Fault = KeyFileFault::Kind;

TEST(KeyFile, CreatedFilesAreFullSizePrivateAndDiffer) {
    test::ScratchDir dir;
    const auto one_identity = create_key_file(dir / "one.key");
    ASSERT_TRUE(create_key_file(dir / "two.key"));
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
        EXPECT_FALSE(create_key_file(path)) << path;
    }
    EXPECT_EQ(test::read_file(dir / "taken.key"), test::to_bytes("precious"));
    EXPECT_FALSE(fs::exists(dir / "no-such-folder"));
    EXPECT_FALSE(fs::exists(dir / "elsewhere.key"));
}

// Only a regular file is a key file, told on the opened file; a pipe is refused, not waited
// on, and the refusal names the file.
TEST(KeyFile, OpenTakesRegularFilesOnly) {
    test::ScratchDir dir;
    test::write_file(dir / "k", "x");
    // The fault open() finds: none for a file it opened.
    std::vector<std::pair<fs::path, std::optional<Fault>>> cases{
        {dir / "k", std::nullopt},
        {dir / "missing", Fault::not_found},
        {dir.path(), Fault::not_regular}};
#ifndef _WIN32
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    fs::create_symlink(dir / "missing", dir / "dangling");
    fs::create_symlink(dir / "k", dir / "link");
    cases.insert(cases.end(), {{dir / "fifo", Fault::not_regular},
                               {"/dev/null", Fault::not_regular},
                               {"/dev/urandom", Fault::not_regular},
                               {dir / "dangling", Fault::not_found},
                               {dir / "link", std::nullopt}});
#endif
    for (const auto& [path, fault] : cases) {
        const KeyFile key_file = KeyFile::open(path);
        if (fault) {
            EXPECT_EQ(key_file.fault(), (KeyFileFault{*fault, path})) << path;
        } else {
            EXPECT_EQ(key_file.fault(), std::nullopt) << path;
            EXPECT_EQ(key_file.size(), 1u);
        }
        // A missing file is the one fault that is not a refusal: the run may create it.
        EXPECT_EQ(key_file.missing(), fault == Fault::not_found) << path;
        EXPECT_EQ(key_file.refusal(), key_file.missing() ? std::nullopt : key_file.fault()) << path;
    }
}

// Missing bytes read as 0xFF and bytes past the 3072nd are ignored.
TEST(KeyFile, ReadingShortAndLongFiles) {
    test::ScratchDir dir;
    const auto bytes = test::random_bytes(KEY_FILE_SIZE + 500, 21);

    test::write_file(dir / "short", test::Bytes(bytes.begin(), bytes.begin() + 100));
    RoundKeyTable table{};
    ASSERT_EQ(read_key_file(dir / "short", table), std::nullopt);
    for (std::size_t i = 0; i < KEY_FILE_SIZE; ++i) {
        const std::uint8_t expected = i < 100 ? bytes[i] : 0xFF;
        ASSERT_EQ(table[i / BLOCK_SIZE][i % BLOCK_SIZE], expected) << i;
    }

    test::write_file(dir / "long", bytes);
    test::write_file(dir / "exact", test::Bytes(bytes.begin(), bytes.begin() + KEY_FILE_SIZE));
    RoundKeyTable from_long{}, from_exact{};
    ASSERT_EQ(read_key_file(dir / "long", from_long), std::nullopt);
    ASSERT_EQ(read_key_file(dir / "exact", from_exact), std::nullopt);
    EXPECT_EQ(from_long, from_exact);
    EXPECT_EQ(from_exact[11][255], bytes[KEY_FILE_SIZE - 1]);
}

TEST(KeyFile, UnreadableFilesAreErrors) {
    test::ScratchDir dir;
    RoundKeyTable table{};
    EXPECT_EQ(read_key_file(dir / "missing", table),
              (KeyFileFault{Fault::not_found, dir / "missing"}));
    EXPECT_EQ(read_key_file(dir.path(), table), (KeyFileFault{Fault::not_regular, dir.path()}));
}

}  // namespace
}  // namespace quorvel
