// Faults of the folder a run works in: a read-only folder (a read-only mount of a backup, say)
// where nothing the run makes can be made, and the folder removed while the run works. Each
// ends with its message and status 1, not an abort, and leaves the input as it was.
#include <gtest/gtest.h>

#include "cli/file_safety.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;

class WorkingFolderFaultsTest : public FileSafetyTest {};

TEST_F(WorkingFolderFaultsTest, ReadOnlyOutputFolderAndWorkingFolder) {
    write_file(enc() / "plan.txt", "some plans");
    ASSERT_EQ(run({"plan.txt", "plan.qv", "pw"}, enc()).exit_code, 0);
    fs::create_directories(enc() / "locked");
    fs::copy_file(enc() / "plan.qv", enc() / "locked" / "plan.qv");
    ReadOnlyFolder locked(enc() / "locked");
    if (!locked.works()) GTEST_SKIP() << "no way to make a read-only folder on this machine";
    const auto result = run({"plan.txt", "locked/out.qv", "pw"}, enc());
    EXPECT_EQ(result.output, "Crypt run\nError! Can't create file 'locked/out.qv'.\n");
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_TRUE(leftovers(enc()).empty());

    // In a read-only working folder (a read-only mount of a backup, say) nothing the run
    // makes there can be made, and every such run fails, whatever it printed before.
    const std::string elsewhere = (root() / "elsewhere.txt").string();
    const std::string output = (root() / "out.qv").string();
    write_file(elsewhere, "data");
    const struct {
        const char* label;
        std::vector<std::string> args;
        std::string expected;
    } runs[] = {
        {"packing",
         {elsewhere, output, "pw"},
         "Crypt run\n!\n7z.exe a quorvelxxxfilo.7z " + elsewhere + "\n!Error pack file '" +
             elsewhere + "'\n"},
        {"decrypting", {"plan.qv", "x", "pw"}, "Error! Can't create file 'quorvelxxxfilo.7z'.\n"},
        {"a new key file",
         {elsewhere, output, "pw", "new.key"},
         "Crypt run\nError! Can't create key-file 'new.key'.\n"},
    };
    for (const auto& r : runs) {
        SCOPED_TRACE(r.label);
        const auto before = record_folder(enc() / "locked");
        const auto in_locked = run(r.args, enc() / "locked");
        EXPECT_EQ(in_locked.output, r.expected);
        EXPECT_EQ(in_locked.exit_code, 1);
        EXPECT_FALSE(exists(output));
        EXPECT_EQ(folder_changes(before, record_folder(enc() / "locked")), "");
    }
}

// The working folder removed under the program, before or after the archiver made the
// archive: an error and status 1, not an abort; the input beside the folder stays as it was.
TEST_F(WorkingFolderFaultsTest, WorkingFolderRemovedDuringTheRunIsAnError) {
    write_file(root() / "plan.txt", PLAN);
    const struct {
        const char* label;
        std::string archiver_body;
    } cases[] = {
        {"before the archive is made", "rm -rf -- \"$PWD\""},
        {"after the archive is made", "cp -- \"$input\" \"$2\"\nrm -rf -- \"$PWD\""},
    };
    int number = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const auto folder = fresh_folder();
        const auto removing =
            stand_in_archiver("removing-" + std::to_string(++number), c.archiver_body);
        const auto result = run({"../plan.txt", "out.qv", "pw"}, folder, removing);
        // After the pack echo a message follows its closing "!" on the same line.
        const std::string head = "Crypt run\n!\n7z.exe a quorvelxxxfilo.7z ../plan.txt\n!Error!";
        EXPECT_TRUE(result.output.starts_with(head)) << result.output;
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(result.term_signal, 0);
        EXPECT_FALSE(exists(folder));
        EXPECT_EQ(read_file(root() / "plan.txt"), to_bytes(PLAN));
    }
}

}  // namespace
}  // namespace quorvel::test
