#include "app/signals/temporary_file.h"

#include <gtest/gtest.h>

#include "app/signals/interrupt_cleanup.h"
#include "support/test_support.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

files::Identity make_file(const fs::path& path) {
    const InterruptsDeferred deferred;
    const auto fd = files::create_private(path);
    EXPECT_TRUE(fd.valid()) << path;
    const auto identity = files::identity_of(fd.get());
    EXPECT_TRUE(identity) << path;
    return identity.value_or(files::Identity{});
}

TEST(TemporaryFile, RemovedUnlessCommitted) {
    test::ScratchDir dir;
    { const auto owner = TemporaryFile::adopt(dir / "dropped", make_file(dir / "dropped")); }
    EXPECT_FALSE(fs::exists(dir / "dropped"));
    {
        auto owner = TemporaryFile::adopt(dir / "kept", make_file(dir / "kept"));
        owner.commit();
    }
    EXPECT_TRUE(fs::exists(dir / "kept"));
    // Moving hands the file on; only the last owner removes it.
    {
        auto first = TemporaryFile::adopt(dir / "moved", make_file(dir / "moved"));
        {
            auto second = std::move(first);
            EXPECT_TRUE(fs::exists(dir / "moved"));
        }
        EXPECT_FALSE(fs::exists(dir / "moved"));
    }
}

// Once the owner knows its file, a file that has taken the name since stays.
TEST(TemporaryFile, LeavesAFileThatTookTheName) {
    test::ScratchDir dir;
    {
        const auto owner = TemporaryFile::adopt(dir / "archive", make_file(dir / "archive"));
        fs::rename(dir / "archive", dir / "moved away");
        test::write_file(dir / "archive", "an extracted entry");
    }
    EXPECT_EQ(test::read_file(dir / "archive"), test::to_bytes("an extracted entry"));
    EXPECT_TRUE(fs::exists(dir / "moved away"));
#ifndef _WIN32
    // The run's file gone entirely: its inode number must not pass to the new file.
    // (Windows file indexes carry a sequence number; Wine's are inode numbers, not held.)
    {
        const auto owner = TemporaryFile::adopt(dir / "replaced", make_file(dir / "replaced"));
        fs::remove(dir / "replaced");
        test::write_file(dir / "replaced", "an extracted entry");
    }
    EXPECT_EQ(test::read_file(dir / "replaced"), test::to_bytes("an extracted entry"));
#endif

    // A claimed name is the run's whatever comes there, until the owner learns which file.
    {
        const auto owner = TemporaryFile::claim(dir / "claimed");
        test::write_file(dir / "claimed", "made by the archiver");
    }
    EXPECT_FALSE(fs::exists(dir / "claimed"));
    {
        auto owner = TemporaryFile::claim(dir / "claimed");
        test::write_file(dir / "claimed", "made by the archiver");
        owner.identify(*files::identity_at(dir / "claimed"));
        fs::rename(dir / "claimed", dir / "archiver's, moved away");
        test::write_file(dir / "claimed", "someone else's");
        EXPECT_TRUE(owner.remove());
    }
    EXPECT_EQ(test::read_file(dir / "claimed"), test::to_bytes("someone else's"));
}

}  // namespace
}  // namespace quorvel
