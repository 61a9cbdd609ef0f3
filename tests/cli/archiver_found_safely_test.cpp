// The archiver is found safely: the first of 7z, 7zz and 7za in the absolute folders of PATH,
// never one in the current folder, and none found stops the run before anything.
#include <gtest/gtest.h>

#include "cli/file_safety.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;

class ArchiverFoundSafelyTest : public FileSafetyTest {};

TEST_F(ArchiverFoundSafelyTest, MissingArchiver) {
    fs::create_directories(root() / "empty-bin");
    const auto folder = fresh_folder();
    write_file(folder / "plan.txt", PLAN);
    const auto before = record_folder(folder);
    const auto result = run({"plan.txt", "out.qv", "pw"}, folder, (root() / "empty-bin").string());
    EXPECT_EQ(result.output,
              "Crypt run\nError! Archiver not found: looked for '7z', '7zz', '7za' on PATH.\n");
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(folder_changes(before, record_folder(folder)), "");
}

// The archiver is the first of 7z, 7zz and 7za found in PATH's folders, a name before a
// folder: a 7z anywhere on PATH comes before a 7zz or 7za in an earlier folder. A file of the
// name that may not be run is passed over. Encryption and decryption take the same one.
TEST_F(ArchiverFoundSafelyTest, ArchiverIsTheFirstOf7z7zz7zaOnPath) {
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
                             stand_in_script("echo " + std::to_string(i) + "/" + name + " >> '" +
                                             ran.string() + "'\n" + COPYING_ARCHIVER));
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

// A "7z" in the current folder or below it (an earlier extraction may have put one there)
// never runs, whether PATH names that folder by an empty entry (leading or trailing), by "."
// or by a relative path: the real archiver further on encrypts and decrypts, and with none
// further on the archiver is not found.
TEST_F(ArchiverFoundSafelyTest, ArchiverIsNeverTakenFromTheCurrentFolder) {
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

}  // namespace
}  // namespace quorvel::test
