// Nothing is written through the archive's fixed name: a file left at quorvelxxxfilo.7z stops
// an encryption; a decryption replaces a regular file there with a fresh private one, so that
// whoever holds the old one never reads plaintext, and stops at anything else there; the name
// is refused as the input or the output; an extracted file of that name is the user's.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "cli/file_safety.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;

class ArchiveNameNeverWrittenThroughTest : public FileSafetyTest {};

const std::string IS_THE_ARCHIVE = "' is the temporary archive; rename it before decrypting.\n";

TEST_F(ArchiveNameNeverWrittenThroughTest, TheArchiveNameIsRefusedBeforeAnything) {
    expect_refused({
        {"a file left at the archive's name stops an encryption",
         {"plan.txt", "out.qv", "pw"},
         "Crypt run\nError! Temporary archive 'quorvelxxxfilo.7z' already exists; move it away "
         "and run again.\n",
         true,
         [](const fs::path& folder) { write_file(folder / TEMP_ARCHIVE, "an old archive"); }},
        {"decrypting the archive's name",
         {TEMP_ARCHIVE, "x", "pw"},
         "Error! Input file 'quorvelxxxfilo.7z" + IS_THE_ARCHIVE,
         true,
         [](const fs::path& folder) { fs::rename(folder / "plan.qv", folder / TEMP_ARCHIVE); }},
        {"decrypting a hard link to the archive name",
         {"again.qv", "x", "pw"},
         "Error! Input file 'again.qv" + IS_THE_ARCHIVE,
         true,
         [](const fs::path& folder) {
             fs::rename(folder / "plan.qv", folder / TEMP_ARCHIVE);
             fs::create_hard_link(folder / TEMP_ARCHIVE, folder / "again.qv");
         }},
        {"output the archive's name",
         {"plan.txt", "./quorvelxxxfilo.7z", "pw"},
         "Crypt run\nError! Output file './quorvelxxxfilo.7z' is the temporary archive's name.\n"},
        {"output a dangling link to the archive name",
         {"plan.txt", "out.qv", "pw"},
         "Crypt run\nError! Output file 'out.qv' is the temporary archive's name.\n",
         true,
         symlink_to(TEMP_ARCHIVE, "out.qv")},
    });
}

// Anything but a regular file at the archive's name (a link to the user's file, a dangling
// link, a folder, a FIFO) stops decryption before it starts: what a link points to is never
// written or made, and the folder and the link's target stay as they were.
TEST_F(ArchiveNameNeverWrittenThroughTest, AnythingButAFileAtTheArchiveNameStopsDecryption) {
    const std::string refusal =
        "Error! Temporary archive 'quorvelxxxfilo.7z' is not a regular file; move it away and "
        "run again.\n";
    const auto expect_refused = [&](const fs::path& folder, const fs::path& victim_folder,
                                    std::function<void()> in_child) {
        const auto before = record_folder(folder);
        const auto victim_before = record_folder(victim_folder);
        const auto result =
            run_program({plan_qv().string(), "x", "pw"}, folder, options_with({}, in_child));
        EXPECT_EQ(result.output, refusal);
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(folder_changes(before, record_folder(folder)), "");
        EXPECT_EQ(folder_changes(victim_before, record_folder(victim_folder)), "");
    };
    const struct {
        const char* label;
        std::function<void(const fs::path& archive, const fs::path& victims)> plant;
    } planted[] = {
        {"a link to the user's own file",
         [](const fs::path& archive, const fs::path& victims) {
             fs::create_symlink(victims / "precious", archive);
         }},
        {"a dangling link",
         [](const fs::path& archive, const fs::path& victims) {
             fs::create_symlink(victims / "nowhere", archive);
         }},
        {"a folder",
         [](const fs::path& archive, const fs::path&) { fs::create_directory(archive); }},
        {"a FIFO", [](const fs::path& archive,
                      const fs::path&) { ASSERT_EQ(::mkfifo(archive.c_str(), 0600), 0); }},
    };
    for (const auto& p : planted) {
        SCOPED_TRACE(p.label);
        const auto folder = fresh_folder();
        const auto victims = fresh_folder();
        write_file(victims / "precious", "the user's own data");
        set_mode(victims / "precious",
                 fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
        p.plant(folder / TEMP_ARCHIVE, victims);
        expect_refused(folder, victims, {});
    }
    if (!open_scratch_to_nobody()) GTEST_SKIP() << NO_NOBODY;
    {
        // The user runs in a shared sticky folder where another user planted the link.
        SCOPED_TRACE("another user's link in a shared folder");
        const auto shared = fresh_folder();
        set_mode(shared, fs::perms::all | fs::perms::sticky_bit);
        const auto home = fresh_folder();
        write_file(home / "precious", "the user's own data");
        set_mode(home / "precious",
                 fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
        give_to_nobody(home);
        give_to_nobody(home / "precious");
        fs::create_symlink(home / "precious", shared / TEMP_ARCHIVE);
        expect_refused(shared, home, become_nobody);
    }
}

// A regular file at the archive's name (left after "Decrypt WRONG!", say) is replaced, not
// written into: whoever holds it open, or by another name, still reads its old contents,
// never the plaintext.
TEST_F(ArchiveNameNeverWrittenThroughTest, FileAtTheArchiveNameIsReplacedNotWrittenThrough) {
    const std::string old_contents = "an old archive someone holds open";
    for (const bool by_another_name : {false, true}) {
        SCOPED_TRACE(by_another_name ? "held by another name (a hard link)" : "held open");
        const auto folder = fresh_folder();
        const auto other_name = root() / ("held-" + folder.filename().string());
        write_file(folder / TEMP_ARCHIVE, old_contents);
        const int held = ::open((folder / TEMP_ARCHIVE).c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(held, 0);
        if (by_another_name) {
            ::close(held);
            fs::create_hard_link(folder / TEMP_ARCHIVE, other_name);
        }
        const auto result = run({plan_qv().string(), "x", "pw"}, folder);
        EXPECT_EQ(result.output, DECRYPT_OK);
        EXPECT_EQ(result.exit_code, 0);
        EXPECT_EQ(read_file(folder / "plan.txt"), to_bytes(PLAN));
        EXPECT_TRUE(leftovers(folder).empty());
        if (by_another_name) {
            EXPECT_EQ(read_file(other_name), to_bytes(old_contents));
            continue;
        }
        std::string seen(4096, '\0');
        const auto got = ::pread(held, seen.data(), seen.size(), 0);
        ::close(held);
        ASSERT_GE(got, 0);
        seen.resize(static_cast<std::size_t>(got));
        EXPECT_EQ(seen, old_contents);
    }
}

// An archive holding an entry named like the temporary archive, alone or beside another:
// the extracted entry is the user's file and stays with its own bytes, and the run reports
// success and leaves exactly the archive's entries. Packing the current folder itself packs
// none of the run's own files.
TEST_F(ArchiveNameNeverWrittenThroughTest, ExtractedEntryNamedLikeTheArchiveStays) {
    const Bytes entry = random_bytes(500, 83);
    enum class Packed { alone, folder_contents, current_folder };
    const struct {
        const char* label;
        Packed packed;  // the entry by its absolute path, src/. from above, or . inside src
        std::map<std::string, Bytes> entries;
    } cases[] = {
        {"packed alone by its path", Packed::alone, {{TEMP_ARCHIVE, entry}}},
        {"packed with a folder's contents",
         Packed::folder_contents,
         {{TEMP_ARCHIVE, entry}, {"b.txt", to_bytes("beside it")}}},
        {"the current folder packed", Packed::current_folder, {{"b.txt", to_bytes("beside it")}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const auto folder = fresh_folder();
        fs::create_directories(folder / "src");
        for (const auto& [name, bytes] : c.entries) write_file(folder / "src" / name, bytes);
        const std::string input = c.packed == Packed::alone
                                      ? (folder / "src" / TEMP_ARCHIVE).string()
                                  : c.packed == Packed::folder_contents ? std::string("src/.")
                                                                        : std::string(".");
        const auto encrypted =
            c.packed == Packed::current_folder
                ? run({input, (folder / "out.qv").string(), "pw"}, folder / "src")
                : run({input, "out.qv", "pw"}, folder);
        ASSERT_EQ(encrypted.exit_code, 0) << encrypted.output;
        const auto back = fresh_folder();
        const auto decrypted = run({(folder / "out.qv").string(), "x", "pw"}, back);
        EXPECT_EQ(decrypted.output, DECRYPT_OK);
        EXPECT_EQ(decrypted.exit_code, 0);
        std::map<std::string, Bytes> found;
        for (const auto& [name, record] : record_folder(back)) {
            EXPECT_EQ(record.type, fs::file_type::regular) << name;
            found[name] = to_bytes(record.contents);
        }
        EXPECT_EQ(found, c.entries);
    }
}

}  // namespace
}  // namespace quorvel::test
