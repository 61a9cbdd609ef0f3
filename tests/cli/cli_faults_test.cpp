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

// The archiver is the first of 7z, 7zz and 7za found in PATH's folders, a name before a
// folder: a 7z anywhere on PATH comes before a 7zz or 7za in an earlier folder. A file of the
// name that may not be run is passed over. Encryption and decryption take the same one.
TEST_F(CliFaultTest, ArchiverIsTheFirstOf7z7zz7zaOnPath) {
    const struct {
        const char* label;
        std::vector<std::vector<std::string>> folders;  // archiver names in each PATH folder
        std::string chosen;  // "<folder index>/<name>"; a name ending in "-" is not executable
    } cases[] = {
        {"7za alone", {{"7za"}}, "0/7za"},
        {"7zz before 7za", {{"7za", "7zz"}}, "0/7zz"},
        {"7z before 7zz and 7za", {{"7za", "7zz", "7z"}}, "0/7z"},
        {"7zz in a later folder before 7za in an earlier one", {{"7za"}, {"7zz"}}, "1/7zz"},
        {"7z in a later folder before 7zz and 7za in an earlier one",
         {{"7zz", "7za"}, {"7z"}},
         "1/7z"},
        {"of one name, the earlier folder's", {{"7zz"}, {"7zz"}}, "0/7zz"},
        {"a 7z that may not be run is passed over", {{"7z-"}, {"7zz"}}, "1/7zz"},
    };
    const auto ran = root() / "ran.txt";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const auto bins = fresh_folder();
        std::string path_env;
        for (std::size_t i = 0; i < c.folders.size(); ++i) {
            const auto folder = bins / std::to_string(i);
            fs::create_directories(folder);
            path_env += (i == 0 ? "" : ":") + folder.string();
            for (auto name : c.folders[i]) {
                const bool runnable = !name.ends_with('-');
                if (!runnable) name.pop_back();
                // Says which one ran, then packs or extracts by copying.
                write_script(folder, name,
                             "echo " + std::to_string(i) + "/" + name + " >> '" + ran.string() +
                                 "'\nfor last; do :; done\n"
                                 "case \"$1\" in a) cp -- \"$last\" \"$2\" ;; "
                                 "x) cp -- \"$2\" extracted.bin ;; esac");
                if (!runnable) fs::permissions(folder / name, fs::perms::owner_read);
            }
        }
        fs::remove(ran);
        const auto work = fresh_folder();
        write_file(work / "plan.txt", "some plans");
        const auto encrypted = run({"plan.txt", "out.qv", "pw"}, work, path_env);
        EXPECT_EQ(encrypted.output, encrypt_output("plan.txt"));
        EXPECT_EQ(encrypted.exit_code, 0);
        const auto decrypted = run({"out.qv", "x", "pw"}, work, path_env);
        EXPECT_EQ(decrypted.output, DECRYPT_OK);
        EXPECT_EQ(decrypted.exit_code, 0);
        EXPECT_EQ(read_file(ran), to_bytes(c.chosen + "\n" + c.chosen + "\n"));
        EXPECT_EQ(read_file(work / "extracted.bin"), to_bytes("some plans"));
    }
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

// A "7z" in the current folder or below it (an earlier extraction may have put one there)
// never runs, whether PATH names that folder by an empty entry (leading or trailing), by "."
// or by a relative path: the real archiver further on encrypts and decrypts, and with none
// further on the archiver is not found.
TEST_F(CliFaultTest, ArchiverIsNeverTakenFromTheCurrentFolder) {
    const auto marker = root() / "planted-archiver-ran";
    const std::string planted = "touch '" + marker.string() + "'\nexit 1";
    const std::string quiet = options().path_env.value();
    for (const std::string& path_env : std::vector<std::string>{
             ":" + quiet, ".:" + quiet, "bin:" + quiet, quiet + ":", "::.:bin"}) {
        SCOPED_TRACE("PATH=" + path_env);
        const auto folder = fresh_folder();
        write_script(folder, "7z", planted);
        write_script(folder / "bin", "7z", planted);
        write_file(folder / "plan.txt", "some plans");
        const auto encrypted = run({"plan.txt", "out.qv", "pw"}, folder, path_env);
        EXPECT_FALSE(exists(marker));
        EXPECT_FALSE(exists(folder / TEMP_ARCHIVE));
        if (path_env.find(quiet) == std::string::npos) {
            EXPECT_EQ(encrypted.output,
                      "Crypt run\nError! Archiver not found: looked for '7z', "
                      "'7zz', '7za' on PATH.\n");
            EXPECT_EQ(encrypted.exit_code, 1);
            EXPECT_FALSE(exists(folder / "out.qv"));
            continue;
        }
        EXPECT_EQ(encrypted.output, encrypt_output("plan.txt"));
        EXPECT_EQ(encrypted.exit_code, 0);
        fs::remove(folder / "plan.txt");
        const auto decrypted = run({"out.qv", "x", "pw"}, folder, path_env);
        EXPECT_EQ(decrypted.output, DECRYPT_OK);
        EXPECT_EQ(decrypted.exit_code, 0);
        EXPECT_TRUE(exists(folder / "plan.txt") &&
                    read_file(folder / "plan.txt") == to_bytes("some plans"));
        EXPECT_FALSE(exists(marker));
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
