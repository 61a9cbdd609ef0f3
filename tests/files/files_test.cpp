#include "files/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "support/file_modes.h"
#include "support/test_support.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

using test::mode_of;

// A private file is new: nothing at the name, a link of either kind included, is opened.
TEST(Files, PrivateCreationMakesOnlyNewFiles) {
    test::ScratchDir dir;
    const auto made = files::create_private(dir / "new");
    ASSERT_TRUE(made.valid());
    EXPECT_EQ(mode_of(dir / "new"), 0600u);
    EXPECT_TRUE(files::is_regular(made.get()));

    test::write_file(dir / "old", "old");
    fs::create_symlink(dir / "old", dir / "link");
    fs::create_symlink(dir / "elsewhere", dir / "dangling");
    for (const char* name : {"old", "link", "dangling", "new"}) {
        EXPECT_FALSE(files::create_private(dir / name).valid()) << name;
    }
    EXPECT_EQ(test::read_file(dir / "old"), test::to_bytes("old"));
    EXPECT_FALSE(fs::exists(dir / "elsewhere"));

    const auto first = files::create_private_beside(dir / "out.qv", ".tmp-");
    const auto second = files::create_private_beside(dir / "out.qv", ".tmp-");
    ASSERT_TRUE(first.fd.valid() && second.fd.valid());
    EXPECT_NE(first.path, second.path);
    EXPECT_EQ(first.path.parent_path(), dir.path());
    EXPECT_EQ(first.path.filename().string().rfind(".tmp-", 0), 0u);
    EXPECT_EQ(mode_of(second.path), 0600u);
    EXPECT_EQ(files::identity_of(second.fd.get()), files::identity_at(second.path));
    // No name left to take: an invalid descriptor and no path, not a stale one.
    const auto none = files::create_private_beside(dir / "no-such-folder" / "out.qv", ".tmp-");
    EXPECT_FALSE(none.fd.valid());
    EXPECT_TRUE(none.path.empty());
}

TEST(Files, KindsAndOpeningWithoutFollowingALink) {
    test::ScratchDir dir;
    test::write_file(dir / "file", "x");
    fs::create_symlink(dir / "file", dir / "link");
    fs::create_symlink(dir / "missing", dir / "dangling");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    const struct {
        fs::path path;
        files::Kind at;
        files::Kind behind;
    } cases[] = {
        {dir / "file", files::Kind::regular, files::Kind::regular},
        {dir / "link", files::Kind::symlink, files::Kind::regular},
        {dir / "dangling", files::Kind::symlink, files::Kind::missing},
        {dir / "missing", files::Kind::missing, files::Kind::missing},
        {dir.path(), files::Kind::folder, files::Kind::folder},
        {dir / "fifo", files::Kind::other, files::Kind::other},
        {"/dev/null", files::Kind::other, files::Kind::other},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(files::kind_at(c.path), c.at) << c.path;
        EXPECT_EQ(files::kind_behind(c.path), c.behind) << c.path;
    }
    EXPECT_TRUE(files::open_for_reading(dir / "link").valid());
    EXPECT_FALSE(files::open_for_reading(dir / "link", files::FinalLink::refuse).valid());
    EXPECT_TRUE(files::open_for_reading(dir / "file", files::FinalLink::refuse).valid());
    EXPECT_FALSE(files::regular_size(files::open_for_reading("/dev/null").get()));
    EXPECT_EQ(files::regular_size(files::open_for_reading(dir / "file").get()), 1u);
}

// Identity follows the file, not the name: a hard link and a renamed file are the same
// file, a new file at the old name is not.
TEST(Files, IdentityFollowsTheFile) {
    test::ScratchDir dir;
    const auto fd = files::create_private(dir / "a");
    ASSERT_TRUE(fd.valid());
    const auto identity = files::identity_of(fd.get());
    ASSERT_TRUE(identity);
    EXPECT_EQ(files::identity_at(dir / "a"), identity);
    fs::create_hard_link(dir / "a", dir / "b");
    EXPECT_EQ(files::identity_at(dir / "b"), identity);
    EXPECT_TRUE(files::same_file(dir / "a", dir / "b"));

    ASSERT_TRUE(files::rename_into_place(dir / "a", dir / "c"));
    EXPECT_EQ(files::identity_at(dir / "c"), identity);
    test::write_file(dir / "a", "new file at the old name");
    EXPECT_NE(files::identity_at(dir / "a"), identity);
    EXPECT_FALSE(files::same_file(dir / "a", dir / "c"));
    EXPECT_FALSE(files::same_file(dir / "a", dir / "missing"));
    EXPECT_FALSE(files::identity_at(dir / "missing"));
}

TEST(Files, RemovalOnlyOfTheSameFile) {
    test::ScratchDir dir;
    auto fd = files::create_private(dir / "ours");
    const auto ours = files::identity_of(fd.get());
    ASSERT_TRUE(ours);
    ASSERT_TRUE(files::rename_into_place(dir / "ours", dir / "name"));
    test::write_file(dir / "ours", "someone else's");

    EXPECT_TRUE(files::remove_if_same(dir / "ours", *ours));
    EXPECT_EQ(test::read_file(dir / "ours"), test::to_bytes("someone else's"));
    // A link to our file is not our file.
    fs::create_symlink(dir / "name", dir / "link");
    EXPECT_TRUE(files::remove_if_same(dir / "link", *ours));
    EXPECT_TRUE(fs::is_symlink(dir / "link"));

    EXPECT_TRUE(files::remove_if_same(dir / "name", *ours));
    EXPECT_FALSE(fs::exists(dir / "name"));
    EXPECT_TRUE(files::remove_if_same(dir / "name", *ours));  // gone already
}

// Without an identity the name is the run's (held free for a program it started): whatever
// file is there goes, but never a folder.
TEST(Files, RemovalOfAClaimedName) {
    test::ScratchDir dir;
    test::write_file(dir / "claimed", "made by the archiver");
    EXPECT_TRUE(files::remove_if_ours(dir / "claimed", std::nullopt));
    EXPECT_FALSE(fs::exists(dir / "claimed"));
    EXPECT_TRUE(files::remove_if_ours(dir / "claimed", std::nullopt));  // gone already
    fs::create_directory(dir / "a folder");
    EXPECT_FALSE(files::remove_if_ours(dir / "a folder", std::nullopt));
    EXPECT_TRUE(fs::is_directory(dir / "a folder"));
}

// Opening a FIFO for writing never waits; waiting for its reader is a call of its own, and
// the output opened while that reader is held open sees no end in between.
TEST(Files, AFifoIsOpenedWithoutWaitingAndItsReaderWaitedForApart) {
    test::ScratchDir dir;
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_FALSE(files::open_existing_for_writing(dir / "fifo").valid());  // no reader
    test::write_file(dir / "file", "");
    EXPECT_FALSE(files::wait_for_reader(dir / "file").valid());
    EXPECT_FALSE(files::wait_for_reader(dir / "missing").valid());

    std::string read;
    std::thread reader([&] {
        std::ifstream in(dir / "fifo", std::ios::binary);
        read.assign(std::istreambuf_iterator<char>(in), {});
    });
    auto waited = files::wait_for_reader(dir / "fifo");
    ASSERT_TRUE(waited.valid());
    auto output = files::open_existing_for_writing(dir / "fifo");
    ASSERT_TRUE(output.valid());
    EXPECT_EQ(::fcntl(output.get(), F_GETFL) & O_NONBLOCK, 0);  // writes wait as usual
    EXPECT_EQ(::write(output.get(), "all", 3), 3);
    output = files::Descriptor();
    waited = files::Descriptor();
    reader.join();
    EXPECT_EQ(read, "all");
}

TEST(Files, ResolveFollowsDanglingLinks) {
    test::ScratchDir dir;
    const fs::path root = fs::canonical(dir.path());
    fs::create_directory(root / "sub");
    fs::create_symlink("sub/target", root / "rel");    // dangling, relative
    fs::create_symlink(root / "rel", root / "chain");  // to a dangling link
    fs::create_directory_symlink(root / "sub", root / "subl");
    fs::create_symlink("loop", root / "loop");
    EXPECT_EQ(files::resolve(root / "rel"), root / "sub" / "target");
    EXPECT_EQ(files::resolve(root / "chain"), root / "sub" / "target");
    EXPECT_EQ(files::resolve(root / "subl" / "x"), root / "sub" / "x");
    EXPECT_EQ(files::resolve(root / "sub" / ".." / "plain"), root / "plain");
    EXPECT_TRUE(files::resolve(root / "loop").empty());
    EXPECT_TRUE(files::resolve("").empty());
}

// The lock belongs to one open folder: a second taker, even in the same process, is turned
// away until the first lets go.
TEST(Files, FolderLockTurnsASecondRunAway) {
    test::ScratchDir dir;
    const fs::path before = fs::current_path();
    fs::current_path(dir.path());
    {
        const auto first = files::FolderLock::take();
        EXPECT_EQ(first.state(), files::FolderLock::State::held);
        EXPECT_EQ(files::FolderLock::take().state(), files::FolderLock::State::busy);
    }
    EXPECT_EQ(files::FolderLock::take().state(), files::FolderLock::State::held);
    fs::current_path(before);
}

}  // namespace
}  // namespace quorvel
