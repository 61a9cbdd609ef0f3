// The files of a run are the run's own: the folder is locked against a second run, the
// temporary archive is made fresh and removed only while it is still the run's file, and
// inputs the archiver would pack as empty entries are refused.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "cli/cli_fixture.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;

class RunFilesTest : public CliTest {
protected:
    RunFilesTest() {
        write_file(enc() / "plan.txt", "some plans");
        EXPECT_EQ(run({"plan.txt", "plan.qv", "pw"}, enc()).exit_code, 0);
    }
    std::string encrypted() const { return (enc() / "plan.qv").string(); }
};

TEST_F(RunFilesTest, SecondRunInTheSameFolderStopsAtOnce) {
    const int folder = ::open(dec().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(folder, 0);
    ASSERT_EQ(::flock(folder, LOCK_EX | LOCK_NB), 0);
    const auto locked = run({encrypted(), "x", "pw"}, dec());
    EXPECT_EQ(locked.output, "Error! Another quorvel run is working in this folder.\n");
    EXPECT_EQ(locked.exit_code, 1);
    EXPECT_TRUE(fs::is_empty(dec()));
    ::close(folder);
    EXPECT_EQ(run({encrypted(), "x", "pw"}, dec()).output, DECRYPT_OK);
}

// Anything but a regular file at the archive's name stops decryption before it starts; the
// file a link points to is never written.
TEST_F(RunFilesTest, ArchiveNameHoldingSomethingElseIsRefused) {
    write_file(root() / "victim", "victim's bytes");
    const auto archive = dec() / TEMP_ARCHIVE;
    const std::function<void()> plant[] = {
        [&] { fs::create_symlink(root() / "victim", archive); },
        [&] { fs::create_symlink(root() / "nowhere", archive); },
        [&] { fs::create_directory(archive); },
        [&] { ASSERT_EQ(::mkfifo(archive.c_str(), 0600), 0); },
    };
    for (const auto& make : plant) {
        make();
        const auto result = run({encrypted(), "x", "pw"}, dec());
        EXPECT_EQ(result.output,
                  "Error! Temporary archive 'quorvelxxxfilo.7z' is not a regular file; move it "
                  "away and run again.\n");
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(read_file(root() / "victim"), to_bytes("victim's bytes"));
        EXPECT_FALSE(exists(root() / "nowhere"));
        EXPECT_FALSE(exists(dec() / "plan.txt"));
        fs::remove(archive);
    }
}

// A regular file left at the name (after "Decrypt WRONG!") is replaced, not written into:
// another name for it keeps its bytes.
TEST_F(RunFilesTest, OldArchiveIsReplacedNotWrittenThrough) {
    write_file(root() / "held", "older");
    fs::create_hard_link(root() / "held", dec() / TEMP_ARCHIVE);
    const auto result = run({encrypted(), "x", "pw"}, dec());
    EXPECT_EQ(result.output, DECRYPT_OK);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(read_file(root() / "held"), to_bytes("older"));
    EXPECT_EQ(read_file(dec() / "plan.txt"), to_bytes("some plans"));
    EXPECT_FALSE(exists(dec() / TEMP_ARCHIVE));
}

// An entry of the archive named like the archive replaces it on extraction; the run then
// leaves that file alone.
TEST_F(RunFilesTest, ExtractedEntryNamedLikeTheArchiveStays) {
    fs::create_directories(root() / "src");
    write_file(root() / "src" / TEMP_ARCHIVE, "the user's own file");
    const auto packed = run({(root() / "src" / TEMP_ARCHIVE).string(), "named.qv", "pw"}, enc());
    ASSERT_EQ(packed.exit_code, 0) << packed.output;
    const auto result = run({(enc() / "named.qv").string(), "x", "pw"}, dec());
    EXPECT_EQ(result.output, DECRYPT_OK);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(read_file(dec() / TEMP_ARCHIVE), to_bytes("the user's own file"));
}

// A device would be packed as an empty entry and reported as success.
TEST_F(RunFilesTest, InputThatIsNeitherFileNorFolderIsRefused) {
    for (const std::string name : {"/dev/null", "/dev/zero"}) {
        const auto result = run({name, "dev.qv", "pw"}, enc());
        EXPECT_EQ(result.output,
                  "Crypt run\nError! Input '" + name + "' is neither a file nor a folder.\n");
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_FALSE(exists(enc() / "dev.qv"));
        EXPECT_FALSE(exists(enc() / TEMP_ARCHIVE));
    }
}

}  // namespace
}  // namespace quorvel::test
