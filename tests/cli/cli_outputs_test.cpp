// The output of an encryption, tried as a careless and a hostile user would: every output
// that cannot be written is found before anything is packed, the run's own files never end
// up in the archive, whatever the archiver leaves beside its archive goes with it, and the
// output and a new key file are on the disk before "Cript complite". Each case checks the
// exit status, the messages and the folder before and after the run.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <set>

#include "cli/cli_fixture.h"
#include "cli/file_checks.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;

const std::string PLAN = "some plans";
const std::string OLD_OUTPUT = "the previous encrypted file";
const char* const NO_NOBODY = "cannot become the unprivileged user 65534 (nobody) here";

void set_mode(const fs::path& path, fs::perms mode) {
    fs::permissions(path, mode, fs::perm_options::replace);
}

ino_t inode_of(const fs::path& path) {
    struct stat info {};
    ::lstat(path.c_str(), &info);
    return info.st_ino;
}

std::string cannot_create(const std::string& name) {
    return "Crypt run\nError! Can't create file '" + name + "'.\n";
}

// Every path under `folder`, relative to it.
std::set<std::string> names_under(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        names.insert(entry.path().lexically_relative(folder).string());
    }
    return names;
}

class OutputsTest : public CliTest {
protected:
    RunOptions options_with(std::function<void()> in_child,
                            const std::optional<std::string>& path_env = std::nullopt) const {
        auto result = options(path_env);
        result.in_child = std::move(in_child);
        return result;
    }

    // Decrypts `encrypted` in a new folder and returns that folder.
    fs::path decrypt_elsewhere(const fs::path& encrypted) {
        const auto folder = fresh_folder();
        const auto result = run({encrypted.string(), "x", "pw"}, folder);
        EXPECT_EQ(result.output, DECRYPT_OK);
        EXPECT_EQ(result.exit_code, 0);
        return folder;
    }

    // Lets the unprivileged user reach the scratch folder and the quiet archiver; false (the
    // test should skip) when no process can become that user.
    bool open_scratch_to_nobody() {
        if (!can_become_nobody()) return false;
        const auto reachable = fs::perms::owner_all | fs::perms::group_read |
                               fs::perms::group_exec | fs::perms::others_read |
                               fs::perms::others_exec;
        for (const auto& folder : {root(), root() / "quiet-bin"}) set_mode(folder, reachable);
        return true;
    }

private:
};

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
        {"an existing folder", "docs"},
        {"the current folder", "."},
        {"the folder above", ".."},
        {"a name longer than the folder takes", std::string(300, 'n') + ".qv"},
        {"a missing folder", "no-such-folder/out.qv"},
        {"a link into a missing folder", "dangling.qv",
         [](const fs::path& folder) {
             fs::create_symlink("no-such-folder/out.qv", folder / "dangling.qv");
         }},
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

TEST_F(OutputsTest, UnwritableOutputsStopBeforeAnythingIsPacked) {
    for (const auto& c : unwritable_cases()) {
        SCOPED_TRACE(c.label);
        const auto folder = fresh_folder();
        write_file(folder / "plan.txt", PLAN);
        fs::create_directories(folder / "docs");
        write_file(folder / "docs" / "a.txt", "a document");
        if (c.setup) c.setup(folder);
        const auto before = record_folder(folder);
        const auto parent_before = record_folder(folder.parent_path() / "quiet-bin");
        auto options = options_with(c.in_child);
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
TEST_F(OutputsTest, ImmutableAndAppendOnlyOutputsStopBeforeAnythingIsPacked) {
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

// A shared folder with the sticky bit, where another user's file is the output: a rename
// cannot replace it. Writable by the user, it is written in place; not writable, the run
// stops before packing. Run as the unprivileged user, since root may rename anything.
TEST_F(OutputsTest, OutputARenameCannotReplaceInASharedFolder) {
    if (!open_scratch_to_nobody()) GTEST_SKIP() << NO_NOBODY;
    const struct {
        const char* label;
        fs::perms mode;  // of root's output file
        bool written_in_place;
    } cases[] = {
        {"writable by the user",
         fs::perms::all & ~(fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec),
         true},
        {"not writable by the user",
         fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
             fs::perms::others_read,
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const auto shared = fresh_folder();  // root's
        set_mode(shared, fs::perms::all | fs::perms::sticky_bit);
        const auto output = shared / "out.qv";
        write_file(output, OLD_OUTPUT);
        set_mode(output, c.mode);
        const auto inode = inode_of(output);
        const auto work = fresh_folder();
        write_file(work / "plan.txt", PLAN);
        give_to_nobody(work);
        give_to_nobody(work / "plan.txt");
        const auto before = record_folder(shared);

        const auto result =
            run_program({"plan.txt", output.string(), "pw"}, work, options_with(become_nobody));
        EXPECT_TRUE(leftovers(work).empty());
        EXPECT_TRUE(leftovers(shared).empty());
        if (!c.written_in_place) {
            EXPECT_EQ(result.output, cannot_create(output.string()));
            EXPECT_EQ(result.exit_code, 1);
            EXPECT_EQ(folder_changes(before, record_folder(shared)), "");
            continue;
        }
        EXPECT_EQ(result.output, encrypt_output("plan.txt"));
        EXPECT_EQ(result.exit_code, 0);
        EXPECT_EQ(inode_of(output), inode);
        EXPECT_EQ(fs::status(output).permissions(), c.mode);
        const auto back = decrypt_elsewhere(output);
        EXPECT_EQ(read_file(back / "plan.txt"), to_bytes(PLAN));
    }
}

// ---- The run's own files and the archiver's -------------------------------------------

// An output inside the folder being packed: the archive holds the folder as it was, not the
// output's file on its way.
TEST_F(OutputsTest, OutputInsideThePackedFolderIsNotPacked) {
    const auto folder = fresh_folder();
    fs::create_directories(folder / "docs");
    write_file(folder / "docs" / "a.txt", "a document");
    const auto result = run({"docs", "docs/backup.qv", "pw"}, folder);
    EXPECT_EQ(result.output, encrypt_output("docs"));
    ASSERT_EQ(result.exit_code, 0);
    EXPECT_EQ(names_under(folder), (std::set<std::string>{"docs", "docs/a.txt", "docs/backup.qv"}));
    const auto back = decrypt_elsewhere(folder / "docs" / "backup.qv");
    EXPECT_EQ(names_under(back), (std::set<std::string>{"docs", "docs/a.txt"}));
}

// Whatever an archiver makes beside the archive under the archive's name and a dot (volumes,
// with switches that split it) goes with the archive, on success and on failure; a file of
// such a name that was there before the run is the user's and stays.
TEST_F(OutputsTest, NamesTheArchiverMadeBesideTheArchiveGoWithIt) {
    const std::string copy_input = "for input; do :; done\n";
    const struct {
        const char* label;
        std::string archiver_body;
        std::string expected;
        int exit_code;
    } cases[] = {
        {"volumes only, no archive",
         copy_input +
             "[ \"$1\" = a ] && cp -- \"$input\" \"$2.001\" && cp -- \"$input\" \"$2.003\"",
         "Crypt run\n!\n7z.exe a quorvelxxxfilo.7z plan.txt\n!Error! File 'quorvelxxxfilo.7z' "
         "not found.\n",
         1},
        {"an archive and a volume beside it",
         copy_input + "[ \"$1\" = a ] && cp -- \"$input\" \"$2\" && cp -- \"$input\" \"$2.001\"",
         encrypt_output("plan.txt"), 0},
        {"a volume, then failure",
         copy_input + "[ \"$1\" = a ] && cp -- \"$input\" \"$2.001\"; exit 2",
         "Crypt run\n!\n7z.exe a quorvelxxxfilo.7z plan.txt\n!Error pack file 'plan.txt'\n", 1},
    };
    int number = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const auto folder = fresh_folder();
        write_file(folder / "plan.txt", PLAN);
        const std::string users_own = std::string(TEMP_ARCHIVE) + ".002";
        write_file(folder / users_own, "the user's own file");
        const auto before = record_folder(folder);
        const auto archiver =
            stand_in_archiver("volumes-" + std::to_string(++number), c.archiver_body);
        const auto result = run({"plan.txt", "out.qv", "pw"}, folder, archiver);
        EXPECT_EQ(result.output, c.expected);
        EXPECT_EQ(result.exit_code, c.exit_code);
        auto after = record_folder(folder);
        if (c.exit_code == 0) {
            EXPECT_TRUE(after.erase("out.qv"));
        }
        EXPECT_EQ(folder_changes(before, after), "");
    }
}

// ---- Durability -------------------------------------------------------------------------

// strace from Debian's package, when installed.
std::optional<fs::path> find_strace() {
    for (const char* candidate : {"/usr/bin/strace", "/bin/strace"}) {
        if (::access(candidate, X_OK) == 0) return fs::path(candidate);
    }
    return std::nullopt;
}

// The index of the first line at or after `from` that holds every one of `parts` and ends
// with `ending`, or npos.
std::size_t find_line(const std::vector<std::string>& lines,
                      std::initializer_list<std::string> parts, const std::string& ending,
                      std::size_t from = 0) {
    for (std::size_t i = from; i < lines.size(); ++i) {
        if (!lines[i].ends_with(ending)) continue;
        if (std::ranges::all_of(parts, [&](const std::string& part) {
                return lines[i].find(part) != std::string::npos;
            })) {
            return i;
        }
    }
    return std::string::npos;
}

// The one child process of `parent` (strace's tracee); -1 when there is none yet.
pid_t only_child_of(pid_t parent) {
    std::ifstream children("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) +
                           "/children");
    pid_t child = -1;
    children >> child;
    return child;
}

// The moment the output takes its name ends the run's interruptible part: a signal that
// arrives from then on (held here by strace just after the rename) finds the run done, and it
// ends as done, "Cript complite" and status 0, instead of reporting a failure with the new
// output already in place. The new key file stays with it.
TEST_F(OutputsTest, SignalAfterTheOutputTookItsNameFindsTheRunDone) {
    const auto strace = find_strace();
    if (!strace) GTEST_SKIP() << "strace is not installed (scripts/install-deps installs it)";
    const auto folder = fs::canonical(fresh_folder());
    write_file(folder / "plan.txt", PLAN);
    write_file(folder / "out.qv", OLD_OUTPUT);
    const std::string tracer = strace->string();
    RunningProgram run({}, folder, options_with([&] {
                           const char* asan = std::getenv("ASAN_OPTIONS");
                           const std::string no_leaks =
                               (asan != nullptr ? std::string(asan) + ":" : "") + "detect_leaks=0";
                           ::setenv("ASAN_OPTIONS", no_leaks.c_str(), 1);
                           // Each rename returns three seconds late: the output's (after the
                           // key file's own creation, which renames nothing) is the one held.
                           ::execl(tracer.c_str(), "strace", "-f", "-qq", "-o", "/dev/null", "-e",
                                   "trace=rename,renameat,renameat2", "-e",
                                   "inject=rename,renameat,renameat2:delay_exit=3000000", "--",
                                   QUORVEL_BINARY, "plan.txt", "out.qv", "pw", "new.key", nullptr);
                           ::_exit(126);
                       }));
    const bool renamed = wait_until([&] {
        const auto bytes = read_file(folder / "out.qv");
        return std::string(bytes.begin(), bytes.end()).starts_with("%quorvel%");
    });
    const pid_t program = only_child_of(run.pid());
    if (renamed && program > 0) ::kill(program, SIGTERM);
    const auto result = run.finish();
    if (result.exit_code == 126) GTEST_SKIP() << "strace cannot run here";
    ASSERT_TRUE(renamed);
    EXPECT_EQ(result.term_signal, 0);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.output, encrypt_output("plan.txt", "Key file is successfully created!\n"));
    EXPECT_TRUE(exists(folder / "new.key"));
    EXPECT_TRUE(leftovers(folder).empty());
}

// The system calls of a run, recorded with strace: the output is flushed to the disk before
// it is renamed into place and its folder after, a new key file and its folder are flushed,
// and all of that happens before "Cript complite" is written.
TEST_F(OutputsTest, OutputAndNewKeyFileAreOnTheDiskBeforeCriptComplite) {
    const auto strace = find_strace();
    if (!strace) GTEST_SKIP() << "strace is not installed (scripts/install-deps installs it)";
    const struct {
        const char* label;
        bool old_output;  // an output file there already
    } cases[] = {{"a new output", false}, {"an output replaced", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const auto folder = fs::canonical(fresh_folder());
        write_file(folder / "plan.txt", PLAN);
        if (c.old_output) write_file(folder / "out.qv", OLD_OUTPUT);
        const auto log = root() / "trace.log";
        const std::string tracer = strace->string();
        const std::string log_name = log.string();
        const auto result =
            run_program({"plan.txt", "out.qv", "pw", "new.key"}, folder, options_with([&] {
                            // The program runs under strace, which then runs it with
                            // these arguments. LeakSanitizer cannot work under a tracer: an
                            // instrumented build leaves it out.
                            const char* asan = std::getenv("ASAN_OPTIONS");
                            const std::string no_leaks =
                                (asan != nullptr ? std::string(asan) + ":" : "") + "detect_leaks=0";
                            ::setenv("ASAN_OPTIONS", no_leaks.c_str(), 1);
                            ::execl(tracer.c_str(), "strace", "-f", "-y", "-qq", "-s", "256", "-o",
                                    log_name.c_str(), "-e",
                                    "trace=fsync,fdatasync,rename,renameat,renameat2,write", "--",
                                    QUORVEL_BINARY, "plan.txt", "out.qv", "pw", "new.key", nullptr);
                            ::_exit(126);
                        }));
        if (result.exit_code == 126 || !fs::exists(log)) GTEST_SKIP() << "strace cannot run here";
        EXPECT_EQ(result.output, encrypt_output("plan.txt", "Key file is successfully created!\n"));
        EXPECT_EQ(result.exit_code, 0);
        std::vector<std::string> lines;
        std::ifstream in(log);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        fs::remove(log);

        // strace -y shows each descriptor with its path: "fsync(4</folder/new.key>) = 0".
        const std::string at = "<" + folder.string();
        const std::string flushed = "fsync(";
        const std::string succeeded = "= 0";
        const auto key_flushed = [&](std::size_t from = 0) {
            return find_line(lines, {flushed, at + "/new.key>)"}, succeeded, from);
        };
        const auto folder_flushed = [&](std::size_t from) {
            return find_line(lines, {flushed, at + ">)"}, succeeded, from);
        };
        const auto output_flushed = [&] {
            return find_line(lines, {flushed, at + "/.quorvel-out-"}, succeeded);
        };
        const auto renamed = [&](std::size_t from) {
            return find_line(lines, {"rename", "\".quorvel-out-", "\"out.qv\""}, succeeded, from);
        };
        const auto done = [&](std::size_t from = 0) {
            return find_line(lines, {"write(1<", "Cript complite\\n"}, "", from);
        };

        const auto key = key_flushed();
        ASSERT_NE(key, std::string::npos) << "no flush of the new key file";
        const auto output = output_flushed();
        ASSERT_NE(output, std::string::npos) << "no flush of the output";
        // The key file is made before packing, the output after.
        EXPECT_LT(folder_flushed(key), output) << "no flush of the key file's folder";
        const auto rename = renamed(output);
        ASSERT_NE(rename, std::string::npos) << "no rename after the output's flush";
        const auto folder_after = folder_flushed(rename);
        ASSERT_NE(folder_after, std::string::npos) << "no flush of the folder after the rename";
        const auto complete = done();
        ASSERT_NE(complete, std::string::npos);
        EXPECT_GT(complete, folder_after);
        EXPECT_GT(complete, key);
        EXPECT_EQ(done(complete + 1), std::string::npos);
    }
}

}  // namespace
}  // namespace quorvel::test
