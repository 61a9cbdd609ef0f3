// The input is only read, and an existing output is never half replaced: an output that is the
// input, standard output or standard error by any name is refused, an output that cannot be
// written fails before anything is packed, a finished output takes the old one's place whole
// (or, where no rename may replace it, is written over in place), and a failed write leaves
// what was there. Each case checks the exit status, the messages and the folder before and
// after the run.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <set>

#include "cli/file_safety.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;

const std::string OLD_OUTPUT = "the previous encrypted file";

std::string output_is_console(const std::string& name) {
    return "Crypt run\n" + standard_stream_output(name, "output");
}

// A child step: standard error becomes a pipe that nobody reads (its reading end stays open,
// so a write would not fail).
void errors_to_pipe() {
    int ends[2];
    if (::pipe(ends) != 0 || ::dup2(ends[1], 2) != 2) ::_exit(126);
}

// Every path under `folder`, relative to it.
std::set<std::string> names_under(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        names.insert(entry.path().lexically_relative(folder).string());
    }
    return names;
}

class OutputNeverHalfReplacedTest : public FileSafetyTest {};

// ---- Outputs that are the input or carry the messages -------------------------------------

TEST_F(OutputNeverHalfReplacedTest, OutputThatIsTheInputOrAStandardStreamIsRefused) {
    expect_refused({
        // The finished output would take the input's place.
        {"output the input", {"plan.txt", "plan.txt", "pw"}, output_is_input("plan.txt")},
        {"output the input by another path",
         {"plan.txt", "./plan.txt", "pw"},
         output_is_input("./plan.txt")},
        {"output a link to the input",
         {"plan.txt", "link.txt", "pw"},
         output_is_input("link.txt"),
         true,
         symlink_to("plan.txt", "link.txt")},
        {"output a hard link to the input",
         {"plan.txt", "hard.txt", "pw"},
         output_is_input("hard.txt"),
         true,
         hard_link_to("plan.txt", "hard.txt")},
        {"input a link to the output",
         {"link.txt", "plan.txt", "pw"},
         output_is_input("plan.txt"),
         true,
         symlink_to("plan.txt", "link.txt")},
        {"output the input, with a new key file",
         {"plan.txt", "plan.txt", "pw", "new.key"},
         output_is_input("plan.txt")},
        {.label = "encrypted input forced to encrypt into itself",
         .args = {"plan.qv", "plan.qv", "pw"},
         .expected = output_is_input("plan.qv"),
         .environment = {FORCED_ENCRYPT}},
        // Standard output and standard error carry the messages and the warnings: an output
        // that leads to either, by whatever name, would mix them into the encrypted file.
        {"output /dev/stdout", {"plan.txt", "/dev/stdout", "pw"}, output_is_console("/dev/stdout")},
        {"output /dev/fd/1", {"plan.txt", "/dev/fd/1", "pw"}, output_is_console("/dev/fd/1")},
        {"output /proc/self/fd/1",
         {"plan.txt", "/proc/self/fd/1", "pw"},
         output_is_console("/proc/self/fd/1")},
        {"output /proc/thread-self/fd/1",
         {"plan.txt", "/proc/thread-self/fd/1", "pw"},
         output_is_console("/proc/thread-self/fd/1")},
        {"output a link to /dev/stdout",
         {"plan.txt", "out.qv", "pw"},
         output_is_console("out.qv"),
         true,
         symlink_to("/dev/stdout", "out.qv")},
        {.label = "output standard output by a duplicate's number",
         .args = {"plan.txt", "/dev/fd/5", "pw"},
         .expected = output_is_console("/dev/fd/5"),
         .in_child = [] { ::dup2(1, 5); }},
        {.label = "output /dev/stderr, standard error a pipe",
         .args = {"plan.txt", "/dev/stderr", "pw"},
         .expected = "Crypt run\n" + standard_stream_output("/dev/stderr", "error"),
         .in_child = [] { errors_to_pipe(); }},
        {.label = "output standard error by a duplicate's number",
         .args = {"plan.txt", "/proc/self/fd/7", "pw"},
         .expected = "Crypt run\n" + standard_stream_output("/proc/self/fd/7", "error"),
         .in_child =
             [] {
                 errors_to_pipe();
                 ::dup2(2, 7);
             }},
        // An output that cannot be made is found before a key file is made.
        {"new key file of a run with a folder as the output",
         {"plan.txt", "docs", "pw", "secret"},
         cannot_create("docs")},
        {"new key file of an output that cannot be made",
         {"plan.txt", "no-such-folder/out.qv", "pw", "new.key"},
         "Error! Can't create file 'no-such-folder/out.qv'.\n",
         false},
    });
}

// ---- Outputs that cannot be written -----------------------------------------------------

struct UnwritableCase {
    std::string label;
    std::string output;                               // the output argument
    std::function<void(const fs::path&)> setup = {};  // more files in the run's folder
    std::function<void()> in_child = {};              // a last step before the program
    Output console = Output::read;                    // where standard output goes
};

std::vector<UnwritableCase> unwritable_cases() {
    return {
        {"an empty name", ""},
        {"an existing folder", "docs"},
        {"the current folder", "."},
        {"the folder above", ".."},
        {"a name longer than the folder takes", std::string(300, 'n') + ".qv"},
        {"a missing folder", "no-such-folder/out.qv"},
        {"a missing folder, the name ending in a slash", "no-such-folder/"},
        {"a link into a missing folder", "dangling.qv",
         [](const fs::path& folder) {
             fs::create_symlink("no-such-folder/out.qv", folder / "dangling.qv");
         }},
        // A link to nothing, a mistyped one say, does not create a file where it points.
        {"a link to a missing file", "out.qv",
         [](const fs::path& folder) { fs::create_symlink("elsewhere.qv", folder / "out.qv"); }},
        {"a link to a folder", "docs-link",
         [](const fs::path& folder) { fs::create_symlink("docs", folder / "docs-link"); }},
        // Descriptor 3 closed: the first descriptor the program opens itself (the folder
        // lock) would take the number and the output.
        {"/dev/fd/3 with descriptor 3 closed", "/dev/fd/3", {}, [] { ::close(3); }},
        {"/proc/self/fd/3 with descriptor 3 closed", "/proc/self/fd/3", {}, [] { ::close(3); }},
        // Standard output is opened on the null device at the start: the "output" would be
        // lost. The message cannot be seen; the exit status says it.
        {"/dev/stdout closed", "/dev/stdout", {}, {}, Output::descriptor_closed},
    };
}

// The output is made before anything is packed, so a name that cannot be written fails
// first, and the run leaves nothing in its folder or beside it.
TEST_F(OutputNeverHalfReplacedTest, UnwritableOutputsStopBeforeAnythingIsPacked) {
    for (const auto& c : unwritable_cases()) {
        SCOPED_TRACE(c.label);
        const auto folder = fresh_folder();
        write_file(folder / "plan.txt", PLAN);
        fs::create_directories(folder / "docs");
        write_file(folder / "docs" / "a.txt", "a document");
        if (c.setup) c.setup(folder);
        const auto before = record_folder(folder);
        auto options = options_with(std::nullopt, c.in_child);
        options.output = c.console;
        const auto result = run_program({"plan.txt", c.output, "pw"}, folder, options);
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(result.output, c.console == Output::read ? cannot_create(c.output) : "");
        EXPECT_EQ(folder_changes(before, record_folder(folder)), "");
        EXPECT_TRUE(leftovers(folder.parent_path()).empty());
    }
}

// A file marked immutable or append-only can be neither replaced nor written over, by root
// either: refused before anything is packed, and left as it was.
TEST_F(OutputNeverHalfReplacedTest, ImmutableAndAppendOnlyOutputsStopBeforeAnythingIsPacked) {
    for (const char* attribute : {"+i", "+a"}) {
        SCOPED_TRACE(attribute);
        const auto folder = fresh_folder();
        write_file(folder / "plan.txt", PLAN);
        write_file(folder / "out.qv", OLD_OUTPUT);
        const std::string name = (folder / "out.qv").string();
        if (std::system(
                ("chattr " + std::string(attribute) + " '" + name + "' 2>/dev/null").c_str()) !=
            0) {
            GTEST_SKIP() << "chattr cannot mark files here";
        }
        const auto before = record_folder(folder);
        const auto result = run({"plan.txt", "out.qv", "pw"}, folder);
        EXPECT_EQ(std::system(("chattr -i -a '" + name + "'").c_str()), 0);
        EXPECT_EQ(result.output, cannot_create("out.qv"));
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(folder_changes(before, record_folder(folder)), "");
    }
}

// A full disk while the cipher stage writes: the message, status 1, and the folder as it was.
TEST_F(OutputNeverHalfReplacedTest, FullDiskIsAWriteError) {
    const auto folder = fresh_folder();
    write_file(folder / "plan.txt", PLAN);
    const auto before = record_folder(folder);
    const auto result = run({"plan.txt", "/dev/full", "pw"}, folder);
    EXPECT_EQ(result.output,
              "Crypt run\n!\n7z.exe a quorvelxxxfilo.7z plan.txt\n!"
              "Crypt process start!\nError! Can't write file '/dev/full'.\n");
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(folder_changes(before, record_folder(folder)), "");
}

// ---- Outputs that are replaced ----------------------------------------------------------

TEST_F(OutputNeverHalfReplacedTest, SuccessfulOutputReplacesTheOldFileWithItsMode) {
    write_file(enc() / "plan.txt", PLAN);
    write_file(enc() / "out.qv", "old");
    set_mode(enc() / "out.qv", fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_EQ(run({"plan.txt", "out.qv", "pw"}, enc()).exit_code, 0);
    EXPECT_EQ(mode_of(enc() / "out.qv"), 0600u);
    EXPECT_EQ(run({(enc() / "out.qv").string(), "x", "pw"}, dec()).output, DECRYPT_OK);
}

// Running as root, a device named as the output is written to, never replaced by a file.
TEST_F(OutputNeverHalfReplacedTest, DeviceOutputStaysADevice) {
    write_file(enc() / "plan.txt", PLAN);
    const auto result = run({"plan.txt", "/dev/null", "pw"}, enc());
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

// Where no temporary file can be made beside the output, or no rename may replace it (another
// user's file in a shared folder with the sticky bit), an output the user may write is written
// over in place: the same file, with its mode, holding the new encrypted file whatever its old
// length. One the user may not write stops the run before packing. Run as the unprivileged
// user where root could rename anything; every such row comes after root's.
TEST_F(OutputNeverHalfReplacedTest, OutputNoRenameMayReplaceIsWrittenInPlaceOrRefused) {
    enum class Folder { read_only, not_writable_by_user, shared_sticky };
    const auto read_write = fs::perms::owner_read | fs::perms::owner_write;
    const auto all_read_write =
        fs::perms::all & ~(fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec);
    const auto readable = read_write | fs::perms::group_read | fs::perms::others_read;
    const struct {
        const char* label;
        Folder folder;
        fs::perms output_mode;
        bool as_user;           // the run and the output are the unprivileged user's
        bool written_in_place;  // else refused
    } cases[] = {
        {"a read-only folder, root's run", Folder::read_only, read_write, false, true},
        {"a folder the user may not write", Folder::not_writable_by_user, read_write, true, true},
        {"another user's file the user may write, in a shared folder", Folder::shared_sticky,
         all_read_write, false, true},
        {"another user's file the user may not write, in a shared folder", Folder::shared_sticky,
         readable, false, false},
    };
    bool nobody_ready = false;
    for (const auto& c : cases) {
        const bool runs_as_nobody = c.folder != Folder::read_only;
        if (runs_as_nobody && !nobody_ready) {
            if (!open_scratch_to_nobody()) GTEST_SKIP() << NO_NOBODY;
            nobody_ready = true;
        }
        for (const Bytes& old_output : {to_bytes(OLD_OUTPUT), random_bytes(100000, 7)}) {
            SCOPED_TRACE(std::string(c.label) + ", old output of " +
                         std::to_string(old_output.size()) + " bytes");
            const auto folder = fresh_folder();  // root's
            const auto output = folder / "out.qv";
            write_file(output, old_output);
            set_mode(output, c.output_mode);
            if (c.as_user) give_to_nobody(output);
            if (c.folder == Folder::shared_sticky) {
                set_mode(folder, fs::perms::all | fs::perms::sticky_bit);
            } else if (c.folder == Folder::not_writable_by_user) {
                set_mode(folder, fs::perms::owner_all | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read |
                                     fs::perms::others_exec);
            }
            std::optional<ReadOnlyFolder> locked;
            if (c.folder == Folder::read_only) {
                locked.emplace(folder);
                if (!locked->works()) GTEST_SKIP() << "no way to make a read-only folder here";
            }
            const auto inode = inode_of(output);
            const auto work = fresh_folder();
            write_file(work / "plan.txt", PLAN);
            if (runs_as_nobody) {
                give_to_nobody(work);
                give_to_nobody(work / "plan.txt");
            }
            const auto before = record_folder(folder);

            const auto result =
                run_program({"plan.txt", output.string(), "pw"}, work,
                            runs_as_nobody ? options_with(std::nullopt, become_nobody) : options());
            EXPECT_TRUE(leftovers(work).empty());
            EXPECT_TRUE(leftovers(folder).empty());
            if (!c.written_in_place) {
                EXPECT_EQ(result.output, cannot_create(output.string()));
                EXPECT_EQ(result.exit_code, 1);
                EXPECT_EQ(folder_changes(before, record_folder(folder)), "");
                continue;
            }
            EXPECT_EQ(result.output, encrypt_output("plan.txt"));
            EXPECT_EQ(result.exit_code, 0);
            EXPECT_EQ(inode_of(output), inode);
            EXPECT_EQ(mode_of(output), static_cast<unsigned>(c.output_mode));
            EXPECT_EQ(fs::file_size(output), 265u + 256u);
            EXPECT_EQ(record_folder(folder).size(), 1u);
            expect_decrypts_to(output, "plan.txt", to_bytes(PLAN));
        }
    }
}

// An output inside the folder being packed: the archive holds the folder as it was, not the
// output's file on its way.
TEST_F(OutputNeverHalfReplacedTest, OutputInsideThePackedFolderIsNotPacked) {
    const auto folder = fresh_folder();
    fs::create_directories(folder / "docs");
    write_file(folder / "docs" / "a.txt", "a document");
    const auto result = run({"docs", "docs/backup.qv", "pw"}, folder);
    EXPECT_EQ(result.output, encrypt_output("docs"));
    ASSERT_EQ(result.exit_code, 0);
    EXPECT_EQ(names_under(folder), (std::set<std::string>{"docs", "docs/a.txt", "docs/backup.qv"}));
    const auto back = fresh_folder();
    const auto decrypted = run({(folder / "docs" / "backup.qv").string(), "x", "pw"}, back);
    EXPECT_EQ(decrypted.output, DECRYPT_OK);
    EXPECT_EQ(decrypted.exit_code, 0);
    EXPECT_EQ(names_under(back), (std::set<std::string>{"docs", "docs/a.txt"}));
}

}  // namespace
}  // namespace quorvel::test
