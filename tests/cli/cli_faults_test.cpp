// Every failure ends with a clear message, a non-zero exit status, no lost input and no
// plaintext copy left behind.
#include <gtest/gtest.h>

#include "cli/cli_fixture.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;

const std::string PACK_ECHO = "!\n7z.exe a quorvelxxxfilo.7z plan.txt\n!";

class CliFaultTest : public CliTest {
protected:
    CliFaultTest() { write_file(enc() / "plan.txt", "some plans"); }

    void expect_failed_cleanly(const ProgramRun& result, const std::string& output,
                               const fs::path& folder) {
        EXPECT_EQ(result.output, output);
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_FALSE(exists(folder / TEMP_ARCHIVE));
        EXPECT_EQ(read_file(enc() / "plan.txt"), to_bytes("some plans"));
    }
};

TEST_F(CliFaultTest, FullDiskIsAWriteError) {
    const auto result = run({"plan.txt", "/dev/full", "pw"}, enc());
    expect_failed_cleanly(
        result,
        "Crypt run\n" + PACK_ECHO + "Crypt process start!\nError! Can't write file '/dev/full'.\n",
        enc());
}

// The output is made before anything is packed, so a name that cannot be written fails
// first; an empty name is one of them.
TEST_F(CliFaultTest, OutputCannotBeCreated) {
    for (const std::string name : {"no-such-folder/out.qv", "", "no-such-folder/"}) {
        const auto result = run({"plan.txt", name, "pw"}, enc());
        expect_failed_cleanly(result, "Crypt run\nError! Can't create file '" + name + "'.\n",
                              enc());
    }
}

// A missing input ends the run before the archiver. Names of any length appear whole in the
// messages (no fixed-size message buffers).
TEST_F(CliFaultTest, MissingInputStopsTheRun) {
    for (const std::string& name : {std::string("nope"), "missing/" + std::string(600, 'n')}) {
        const auto result = run({name, "out.qv", "pw"}, enc());
        expect_failed_cleanly(result, "Error! File '" + name + "' not found.\n", enc());
        EXPECT_FALSE(exists(enc() / "out.qv"));
    }
}

// A key file the run made goes again when the run fails: it never encrypted anything.
TEST_F(CliFaultTest, NewKeyFileOfAFailedRunIsRemoved) {
    const auto failing = stand_in_archiver("failing-bin", "exit 2");
    const auto result = run({"plan.txt", "out.qv", "pw", "secret"}, enc(), failing);
    expect_failed_cleanly(result,
                          "Crypt run\nKey file is successfully created!\n" + PACK_ECHO +
                              "Error pack file 'plan.txt'\n",
                          enc());
    EXPECT_FALSE(exists(enc() / "secret"));
    EXPECT_FALSE(exists(enc() / "out.qv"));
}

TEST_F(CliFaultTest, KeyFileProblemsStopBeforeAnythingIsEncrypted) {
    fs::create_directories(enc() / "key folder");
    fs::create_symlink("out.qv", enc() / "to-output");
    const auto not_regular = [](const std::string& name) {
        return "Crypt run\nError! Key file '" + name + "' is not a regular file.\n";
    };
    const struct {
        const char* key;
        std::string output;
    } cases[] = {
        {"no-such-folder/k.key",
         "Crypt run\nError! Can't create key-file 'no-such-folder/k.key'.\n"},
        {"key folder", not_regular("key folder")},
        {"/dev/null", not_regular("/dev/null")},
        {"/dev/urandom", not_regular("/dev/urandom")},
        {"out.qv", "Crypt run\nError! Key file 'out.qv' is the output file.\n"},
        {"to-output", "Crypt run\nError! Key file 'to-output' is the output file.\n"},
        {"./plan.txt", "Crypt run\nError! Key file './plan.txt' is the input file.\n"},
    };
    for (const auto& c : cases) {
        const auto result = run({"plan.txt", "out.qv", "pw", c.key}, enc());
        expect_failed_cleanly(result, c.output, enc());
        EXPECT_FALSE(exists(enc() / "out.qv")) << c.key;
    }
}

TEST_F(CliFaultTest, StaleTemporaryArchiveIsLeftAlone) {
    write_file(enc() / TEMP_ARCHIVE, "an old archive");
    const auto result = run({"plan.txt", "out.qv", "pw"}, enc());
    EXPECT_EQ(result.output,
              "Crypt run\nError! Temporary archive 'quorvelxxxfilo.7z' already exists; move it "
              "away and run again.\n");
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(read_file(enc() / TEMP_ARCHIVE), to_bytes("an old archive"));
    EXPECT_FALSE(exists(enc() / "out.qv"));
}

TEST_F(CliFaultTest, TemporaryArchiveNameIsRefusedAsInputOrOutput) {
    ASSERT_EQ(run({"plan.txt", "plan.qv", "pw"}, enc()).exit_code, 0);
    fs::rename(enc() / "plan.qv", dec() / TEMP_ARCHIVE);
    const auto encrypted = read_file(dec() / TEMP_ARCHIVE);
    const auto as_input = run({TEMP_ARCHIVE, "x", "pw"}, dec());
    EXPECT_EQ(as_input.output,
              "Error! Input file 'quorvelxxxfilo.7z' is the temporary archive; rename it before "
              "decrypting.\n");
    EXPECT_EQ(as_input.exit_code, 1);
    EXPECT_EQ(read_file(dec() / TEMP_ARCHIVE), encrypted);

    const auto as_output = run({"plan.txt", "./quorvelxxxfilo.7z", "pw"}, enc());
    expect_failed_cleanly(
        as_output,
        "Crypt run\nError! Output file './quorvelxxxfilo.7z' is the temporary archive's name.\n",
        enc());
}

TEST_F(CliFaultTest, MissingArchiver) {
    fs::create_directories(root() / "empty-bin");
    const auto result = run({"plan.txt", "out.qv", "pw"}, enc(), (root() / "empty-bin").string());
    expect_failed_cleanly(
        result, "Crypt run\nError! Archiver not found: looked for '7z', '7zz', '7za' on PATH.\n",
        enc());
}

// The archive a failed pack leaves is removed: it may hold part of the plaintext.
TEST_F(CliFaultTest, FailingOrKilledArchiverWhilePacking) {
    const struct {
        const char* label;
        const char* after_writing;
    } cases[] = {{"exit 2", "exit 2"}, {"killed", "kill -9 $$"}};
    for (const auto& c : cases) {
        const auto path = stand_in_archiver(
            std::string("bin-") + c.label,
            std::string("if [ \"$1\" = a ]; then echo partial > \"$2\"; fi\n") + c.after_writing);
        const auto result = run({"plan.txt", "out.qv", "pw"}, enc(), path);
        expect_failed_cleanly(result, "Crypt run\n" + PACK_ECHO + "Error pack file 'plan.txt'\n",
                              enc());
        EXPECT_FALSE(exists(enc() / "out.qv")) << c.label;
    }
}

TEST_F(CliFaultTest, FailingUnpackKeepsTheArchive) {
    ASSERT_EQ(run({"plan.txt", "plan.qv", "pw"}, enc()).exit_code, 0);
    const auto path = stand_in_archiver("bin-x-fails", "exit 2");
    const auto result = run({(enc() / "plan.qv").string(), "x", "pw"}, dec(), path);
    EXPECT_EQ(result.output, DECRYPT_OK + "Error unpack file \n");
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_TRUE(exists(dec() / TEMP_ARCHIVE));
}

// "*" and "?" in the input are characters of its name: they never pack other files, and a
// name that does not exist is missing even though it looks like a pattern.
TEST_F(CliFaultTest, WildcardCharactersInTheInputAreLiteral) {
    write_file(enc() / "qX", "x");
    write_file(enc() / "qY", "y");
    for (const std::string name : {"q?", "q*", "nothing*"}) {
        const auto result = run({name, "out.qv", "pw"}, enc());
        expect_failed_cleanly(result, "Error! File '" + name + "' not found.\n", enc());
        EXPECT_FALSE(exists(enc() / "out.qv")) << name;
    }

    write_file(enc() / "q?", "the file really named q?");
    ASSERT_EQ(run({"q?", "out.qv", "pw"}, enc()).exit_code, 0);
    ASSERT_EQ(run({(enc() / "out.qv").string(), "x", "pw"}, dec()).output, DECRYPT_OK);
    EXPECT_EQ(read_file(dec() / "q?"), to_bytes("the file really named q?"));
    EXPECT_FALSE(exists(dec() / "qX"));
    EXPECT_FALSE(exists(dec() / "qY"));
}

// A "7z" in the current folder (an earlier extraction may have put one there) never runs,
// whether PATH names that folder by an empty entry, by "." or by a relative path.
TEST_F(CliFaultTest, ArchiverIsNeverTakenFromTheCurrentFolder) {
    const std::string planted = "touch ../planted-archiver-ran; exit 1";
    write_script(enc(), "7z", planted);
    write_script(enc() / "bin", "7z", planted);
    const std::string quiet = options().path_env.value();
    const struct {
        std::string path;
        int exit_code;
    } cases[] = {
        {":" + quiet, 0}, {".:" + quiet, 0}, {"bin:" + quiet, 0}, {quiet + ":", 0}, {"::.:bin", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const auto result = run({"plan.txt", "out.qv", "pw"}, enc(), c.path);
        EXPECT_EQ(result.exit_code, c.exit_code);
        EXPECT_FALSE(exists(root() / "planted-archiver-ran"));
        EXPECT_FALSE(exists(enc() / TEMP_ARCHIVE));
    }
}

// The current folder removed under the program: an error and status 1, not an abort.
TEST_F(CliFaultTest, CurrentFolderRemovedWhilePacking) {
    const auto removing = stand_in_archiver("removing-bin", "rm -rf \"$PWD\"");
    fs::create_directories(enc() / "doomed");
    const auto result = run({"../plan.txt", "out.qv", "pw"}, enc() / "doomed", removing);
    const std::string head = "Crypt run\n!\n7z.exe a quorvelxxxfilo.7z ../plan.txt\n!Error!";
    EXPECT_EQ(result.output.substr(0, head.size()), head) << result.output;
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.term_signal, 0);
    EXPECT_EQ(read_file(enc() / "plan.txt"), to_bytes("some plans"));
}

}  // namespace
}  // namespace quorvel::test
