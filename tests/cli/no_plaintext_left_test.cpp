// No plaintext is left behind: the temporary archive is readable by its owner only, whatever
// the umask or the folder's default access list, and it goes, with everything the archiver
// made beside it, at the end of every run, failed ones too: a failing or killed archiver, a
// file-size limit, a closed standard output. Each case checks the exit status, the messages
// and the folder before and after the run. (Ending signals are in signals_test.cpp.)
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <optional>

#include "cli/file_safety.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class NoPlaintextLeftTest : public FileSafetyTest {};

// ---- The archive is private -------------------------------------------------------------

// The archive holds plaintext: it is made readable by its owner only, in both modes. The
// archiver gets SIGPIPE and SIGXFSZ at their default actions, which the program ignores.
TEST_F(NoPlaintextLeftTest, TemporaryArchiveIsPrivate) {
    write_file(enc() / "plan.txt", "some plans");
    const auto recording = stand_in_archiver(
        "recording-bin",
        "if [ \"$1\" = a ]; then umask > ../umask.txt; cp -- \"$input\" \"$2\"; fi\n"
        "sh -c 'kill -PIPE $$' && touch ../pipe-ignored\n"
        "sh -c 'kill -XFSZ $$' && touch ../size-signal-ignored\n"
        "exit 0");
    ASSERT_EQ(run({"plan.txt", "plan.qv", "pw"}, enc(), recording).exit_code, 0);
    EXPECT_EQ(read_file(root() / "umask.txt"), to_bytes("0077\n"));
    EXPECT_FALSE(exists(root() / "pipe-ignored"));
    EXPECT_FALSE(exists(root() / "size-signal-ignored"));

    // A wrong password keeps the decrypted archive; an older file of that name was replaced.
    write_file(dec() / TEMP_ARCHIVE, "older");
    fs::permissions(dec() / TEMP_ARCHIVE, fs::perms::all);
    ASSERT_EQ(run({(enc() / "plan.qv").string(), "x", "wrong"}, dec()).exit_code, 1);
    EXPECT_EQ(fs::status(dec() / TEMP_ARCHIVE).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

// In a folder whose default access list gives everyone read access to new files (which no
// umask narrows), the plaintext archive is still unreadable by anyone else: while the archiver
// writes it during an encryption, and when a decryption keeps it after "Decrypt WRONG!".
TEST_F(NoPlaintextLeftTest, TemporaryArchiveIsPrivateWhateverTheFolderAccessList) {
    if (!can_become_nobody()) GTEST_SKIP() << NO_NOBODY;
    if (std::system("command -v setfacl >/dev/null && command -v setpriv >/dev/null") != 0) {
        GTEST_SKIP() << "setfacl or setpriv is not installed";
    }
    const auto shared = root() / "shared";
    fs::create_directories(shared);
    const auto reachable = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                           fs::perms::others_read | fs::perms::others_exec;
    for (const auto& folder : {root(), shared}) fs::permissions(folder, reachable);
    if (std::system(("setfacl -d -m u::rw,g::r,o::r '" + shared.string() + "'").c_str()) != 0) {
        GTEST_SKIP() << "this file system takes no access lists";
    }
    // Whether the unprivileged user can read `path` now.
    const std::string others_can_read =
        "setpriv --reuid=65534 --regid=65534 --clear-groups cat -- \"$2\" >/dev/null 2>&1";
    write_file(shared / "plan.txt", "some plans");
    const auto watching = stand_in_archiver(
        "acl-bin", "[ \"$1\" = a ] || exit 0\ncat -- \"$input\" > \"$2\"\n" + others_can_read +
                       " && echo readable > ../seen.txt || echo private > ../seen.txt");
    ASSERT_EQ(run({"plan.txt", "plan.qv", "pw"}, shared, watching).exit_code, 0);
    EXPECT_EQ(read_file(root() / "seen.txt"), to_bytes("private\n"));

    ASSERT_EQ(run({"plan.qv", "x", "wrong"}, shared).output,
              "Decrypt process start!\nDecrypt WRONG!\n");
    const auto kept = shared / TEMP_ARCHIVE;
    ASSERT_TRUE(exists(kept));
    const std::string read_kept = "setpriv --reuid=65534 --regid=65534 --clear-groups cat -- '" +
                                  kept.string() + "' >/dev/null 2>&1";
    EXPECT_NE(std::system(read_kept.c_str()), 0);
}

// ---- Failed runs leave nothing ----------------------------------------------------------

// The archive a failed pack leaves is removed: it may hold part of the plaintext.
TEST_F(NoPlaintextLeftTest, FailingOrKilledArchiverWhilePacking) {
    const struct {
        const char* label;
        const char* after_writing;
    } cases[] = {{"exit 2", "exit 2"}, {"killed", "kill -9 $$"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const auto path = stand_in_archiver(
            std::string("bin-") + c.label,
            std::string("if [ \"$1\" = a ]; then echo partial > \"$2\"; fi\n") + c.after_writing);
        const auto folder = fresh_folder();
        write_file(folder / "plan.txt", PLAN);
        const auto before = record_folder(folder);
        const auto result = run({"plan.txt", "out.qv", "pw"}, folder, path);
        EXPECT_EQ(result.output,
                  "Crypt run\n!\n7z.exe a quorvelxxxfilo.7z plan.txt\n!"
                  "Error pack file 'plan.txt'\n");
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(folder_changes(before, record_folder(folder)), "");
    }
}

// Whatever an archiver makes beside the archive under the archive's name and a dot (volumes,
// with switches that split it) goes with the archive, on success and on failure; a file of
// such a name that was there before the run is the user's and stays.
TEST_F(NoPlaintextLeftTest, NamesTheArchiverMadeBesideTheArchiveGoWithIt) {
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

// A file-size limit while packing, while writing the output and while writing the decrypted
// archive, with SIGXFSZ ignored (as some shells leave it) or at its default action (which
// would end the run at once): the write fails like any other, with its message and status 1,
// nothing is left, and a file already at the output stays.
TEST_F(NoPlaintextLeftTest, FileSizeLimitIsAnOrdinaryWriteError) {
    const auto source = fresh_folder();
    const Bytes input = random_bytes(20000, 85);
    write_file(source / "plan.bin", input);
    const auto copying = copying_archiver();
    ASSERT_EQ(run({"plan.bin", "plan.qv", "pw"}, source, copying).exit_code, 0);
    const std::string packed = "Crypt run\n!\n7z.exe a quorvelxxxfilo.7z plan.bin\n!";
    const struct {
        const char* label;
        bool encrypting;
        std::optional<std::string> archiver;  // the quiet real one when empty
        rlim_t limit;
        std::string expected;
    } cases[] = {
        {"writing the output", true, copying, 20100,
         packed + "Crypt process start!\nError! Can't write file 'out.qv'.\n"},
        {"packing", true, std::nullopt, 10000, packed + "Error pack file 'plan.bin'\n"},
        {"writing the archive", false, copying, 10000,
         "Decrypt process start!\nError! Can't write file 'quorvelxxxfilo.7z'.\n"},
    };
    for (const auto& c : cases) {
        for (const bool signal_ignored : {true, false}) {
            SCOPED_TRACE(std::string(c.label) +
                         (signal_ignored ? ", SIGXFSZ ignored" : ", SIGXFSZ at its default"));
            const auto folder = fresh_folder();
            std::vector<std::string> args{(source / "plan.qv").string(), "x", "pw"};
            if (c.encrypting) {
                write_file(folder / "plan.bin", input);
                write_file(folder / "out.qv", "the previous encrypted file");
                args = {"plan.bin", "out.qv", "pw"};
            }
            const auto before = record_folder(folder);
            auto limited = options(c.archiver);
            if (signal_ignored) {
                limited.file_size_limit = c.limit;
            } else {
                limited.in_child = [limit = c.limit] { limit_file_size(limit); };
            }
            const auto result = run_program(args, folder, limited);
            EXPECT_EQ(result.term_signal, 0);
            EXPECT_EQ(result.exit_code, 1);
            EXPECT_EQ(result.output, c.expected);
            EXPECT_EQ(folder_changes(before, record_folder(folder)), "");
        }
    }
}

// ---- A closed standard output -----------------------------------------------------------

// How a case takes the program's standard output away.
enum class Closing {
    descriptor_closed,       // no descriptor 1 from the start: writes fail with EBADF
    reader_closed,           // a pipe whose reader is gone from the start: writes fail with EPIPE
    reader_gone_at_start,    // the reader closes before the program writes anything
    after_first_line,        // the reader goes after the first line, as "| head -1" does
    while_archiver_reports,  // the reader goes while the archiver works, before its report
};

// A stand-in that copies like COPYING_ARCHIVER, but whose first packing waits for ../go after
// making ../stopped and then prints a report, which a closed standard output breaks.
const std::string STOPPING_ARCHIVER =
    "if [ \"$1\" = a ] && [ ! -e ../stopped ]; then\n"
    "  touch ../stopped\n"
    "  while [ ! -e ../go ]; do sleep 0.01; done\n"
    "  echo report\n"
    "fi\n" +
    COPYING_ARCHIVER;

// Standard output closed, in each way: the program stops printing, the archiver's report goes
// to the null device (the first archiver run a broken pipe ends is run again that way), and
// the file work is done with its exit status; nothing is left. The real archiver writes to
// standard output too, so it must not inherit the closed one.
TEST_F(NoPlaintextLeftTest, ClosedStandardOutputStillFinishesTheRun) {
    const auto gate = root() / "gate";
    const auto loud = loud_archiver();
    const auto gated = stand_in_archiver("gated-bin", gated_copying_archiver(gate));
    const auto copying = copying_archiver();
    const auto stopping = stand_in_archiver("stopping-bin", STOPPING_ARCHIVER);
    const Bytes input = random_bytes(3000, 86);
    const struct {
        const char* label;
        Closing closing;
        std::string archiver;
        std::string ungated;    // the same archiver, never held
        bool ungated_prints;    // whether that one prints lines of its own
        std::string extracted;  // the name decryption makes with it
        bool decrypting_too;    // else only encryption meets the closed output
    } cases[] = {
        {"descriptor closed, the real archiver", Closing::descriptor_closed, loud, loud, true,
         "plan.bin", true},
        {"reader closed, the real archiver", Closing::reader_closed, loud, loud, true, "plan.bin",
         true},
        {"reader gone at the start, the real archiver", Closing::reader_gone_at_start, loud, loud,
         true, "plan.bin", true},
        {"reader gone after the first line", Closing::after_first_line, gated, copying, false,
         "extracted.bin", true},
        {"reader gone while the archiver works", Closing::while_archiver_reports, stopping, copying,
         false, "extracted.bin", false},
    };
    // Runs with standard output taken away as `closing` says.
    const auto run_closing = [&](Closing closing, const std::vector<std::string>& args,
                                 const fs::path& folder, const std::string& archiver) {
        fs::remove(gate);
        auto closed = options(archiver);
        switch (closing) {
            case Closing::descriptor_closed:
                closed.output = Output::descriptor_closed;
                return run_program(args, folder, closed);
            case Closing::reader_closed:
                closed.output = Output::reader_closed;
                return run_program(args, folder, closed);
            case Closing::reader_gone_at_start:
            case Closing::after_first_line: {
                const auto end = closing == Closing::after_first_line
                                     ? OutputEnd::closed_after_first_line
                                     : OutputEnd::closed_at_start;
                return run_watched(args, folder, closed,
                                   WatchOptions{end, [&] { write_file(gate, ""); }, 30s});
            }
            case Closing::while_archiver_reports: {
                RunningProgram program(args, folder, closed);
                EXPECT_TRUE(wait_until([&] { return exists(root() / "stopped"); }));
                program.close_output();
                write_file(root() / "go", "");
                return program.finish();
            }
        }
        return ProgramRun{};
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const auto folder = fresh_folder();
        write_file(folder / "plan.bin", input);
        ASSERT_EQ(run({"plan.bin", "ready.qv", "pw"}, folder, c.ungated).exit_code, 0);

        const auto encrypted =
            run_closing(c.closing, {"plan.bin", "out.qv", "pw"}, folder, c.archiver);
        EXPECT_EQ(encrypted.term_signal, 0);
        EXPECT_EQ(encrypted.exit_code, 0);
        EXPECT_TRUE(leftovers(folder).empty());
        const auto back = fresh_folder();
        const auto decrypted = run({(folder / "out.qv").string(), "x", "pw"}, back, c.ungated);
        EXPECT_EQ(decrypted.exit_code, 0);
        if (c.ungated_prints) {
            EXPECT_TRUE(decrypted.output.starts_with(DECRYPT_OK)) << decrypted.output;
        } else {
            EXPECT_EQ(decrypted.output, DECRYPT_OK);
        }
        EXPECT_TRUE(exists(back / c.extracted) && read_file(back / c.extracted) == input);
        EXPECT_TRUE(leftovers(back).empty());
        if (!c.decrypting_too) continue;

        const auto back_closed = fresh_folder();
        const auto closed = run_closing(c.closing, {(folder / "ready.qv").string(), "x", "pw"},
                                        back_closed, c.archiver);
        EXPECT_EQ(closed.term_signal, 0);
        EXPECT_EQ(closed.exit_code, 0);
        EXPECT_TRUE(leftovers(back_closed).empty());
        EXPECT_TRUE(exists(back_closed / c.extracted) &&
                    read_file(back_closed / c.extracted) == input);
    }
}

}  // namespace
}  // namespace quorvel::test
