// Faults from outside (full disks, read-only folders, damaged files) end with a clear error
// and a failure status, lose nothing and leave no plaintext copy behind. (Signals that end a
// run, at each of its stages, are in signals_test.cpp.)
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <thread>
#include <vector>

#include "cli/cli_fixture.h"
#include "cli/file_checks.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// "a" copies the input as the archive, "x" copies the archive out: sizes are then known.
const std::string COPYING_ARCHIVER =
    "case \"$1\" in a) cp -- \"$input\" \"$2\" ;; x) cp -- \"$2\" extracted.bin ;; esac";

class HardeningTest : public CliTest {
protected:
    // Waits until `path` holds at least `size` bytes; false after ten seconds.
    static bool wait_for_size(const fs::path& path, std::uintmax_t size) {
        for (auto waited = 0ms; waited < 10s; waited += 1ms) {
            std::error_code error;
            if (fs::file_size(path, error) >= size && !error) return true;
            std::this_thread::sleep_for(1ms);
        }
        return false;
    }
};

// Standard output closed before the first message, or while the archiver runs: the program
// stops printing, the archiver's report goes to the null device, and the file work is done
// (the real archiver prints a report, so a broken pipe would stop it).
TEST_F(HardeningTest, ClosedStandardOutputStillFinishesTheRun) {
    const auto loud = stand_in_archiver(
        "loud-bin", "for a in 7zz 7z 7za; do command -v $a >/dev/null && exec $a \"$@\"; done");
    write_file(enc() / "plan.txt", random_bytes(3000, 45));
    for (const Output output : {Output::reader_closed, Output::descriptor_closed}) {
        SCOPED_TRACE(output == Output::reader_closed ? "reader closed" : "descriptor closed");
        auto options = this->options(loud);
        options.output = output;
        const auto encrypted = run_program({"plan.txt", "plan.qv", "pw"}, enc(), options);
        EXPECT_EQ(encrypted.exit_code, 0);
        const auto decrypted =
            run_program({(enc() / "plan.qv").string(), "x", "pw"}, dec(), options);
        EXPECT_EQ(decrypted.exit_code, 0);
        EXPECT_EQ(read_file(dec() / "plan.txt"), read_file(enc() / "plan.txt"));
        EXPECT_TRUE(leftovers(enc()).empty());
        EXPECT_TRUE(leftovers(dec()).empty());
        fs::remove(dec() / "plan.txt");
    }

    // The first archiver run is ended by the broken pipe; the second, to the null device, works.
    const auto stopping = stand_in_archiver("stopping-bin",
                                            "if [ \"$1\" = a ] && [ ! -e ../stopped ]; then\n"
                                            "  touch ../stopped\n"
                                            "  while [ ! -e ../go ]; do sleep 0.01; done\n"
                                            "  echo report\n"
                                            "fi\n" +
                                                COPYING_ARCHIVER);
    RunningProgram program({"plan.txt", "out.qv", "pw"}, enc(), options(stopping));
    ASSERT_TRUE(wait_for_size(root() / "stopped", 0));
    program.close_output();
    write_file(root() / "go", "");
    const auto result = program.finish();
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_TRUE(leftovers(enc()).empty());
    EXPECT_EQ(run({(enc() / "out.qv").string(), "x", "pw"}, dec(), stopping).output, DECRYPT_OK);
    EXPECT_EQ(read_file(dec() / "extracted.bin"), read_file(enc() / "plan.txt"));
}

// Running as root, a device named as the output is written to, never replaced by a file.
TEST_F(HardeningTest, DeviceOutputStaysADevice) {
    write_file(enc() / "plan.txt", "some plans");
    const auto result = run({"plan.txt", "/dev/null", "pw"}, enc());
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

TEST_F(HardeningTest, SuccessfulOutputReplacesTheOldFileWithItsMode) {
    write_file(enc() / "plan.txt", "some plans");
    write_file(enc() / "out.qv", "old");
    fs::permissions(enc() / "out.qv", fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_EQ(run({"plan.txt", "out.qv", "pw"}, enc()).exit_code, 0);
    EXPECT_EQ(fs::status(enc() / "out.qv").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(run({(enc() / "out.qv").string(), "x", "pw"}, dec()).output, DECRYPT_OK);
}

// The archive holds plaintext: it is made readable by its owner only, in both modes. The
// archiver gets SIGPIPE and SIGXFSZ at their default actions, which the program ignores.
TEST_F(HardeningTest, TemporaryArchiveIsPrivate) {
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

TEST_F(HardeningTest, ReadOnlyOutputFolderAndWorkingFolder) {
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

// In a folder whose default access list gives everyone read access to new files (which no
// umask narrows), the plaintext archive is still unreadable by anyone else: while the archiver
// writes it during an encryption, and when a decryption keeps it after "Decrypt WRONG!".
TEST_F(HardeningTest, TemporaryArchiveIsPrivateWhateverTheFolderAccessList) {
    if (!can_become_nobody()) GTEST_SKIP() << "cannot become the unprivileged user nobody here";
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

// A writable output in a folder where no temporary file can be made is written over in
// place; it then holds the new encrypted file, whatever its old length.
TEST_F(HardeningTest, WritableOutputInAReadOnlyFolderIsWrittenInPlace) {
    write_file(enc() / "plan.txt", "some plans");
    fs::create_directories(enc() / "locked");
    write_file(enc() / "locked" / "out.qv", random_bytes(100000, 7));
    ReadOnlyFolder locked(enc() / "locked");
    if (!locked.works()) GTEST_SKIP() << "no way to make a read-only folder on this machine";
    const auto result = run({"plan.txt", "locked/out.qv", "pw"}, enc());
    EXPECT_EQ(result.output, encrypt_output("plan.txt"));
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(fs::file_size(enc() / "locked" / "out.qv"), 265u + 256u);
    const auto decrypted = run({(enc() / "locked" / "out.qv").string(), "x", "pw"}, dec());
    EXPECT_EQ(decrypted.output, DECRYPT_OK);
    EXPECT_EQ(read_file(dec() / "plan.txt"), to_bytes("some plans"));
}

// Short key files give weak keys and are refused for encryption; any longer one works, its
// first 3072 bytes counting.
TEST_F(HardeningTest, ShortKeyFilesAreRefusedForEncryption) {
    write_file(enc() / "plan.txt", "some plans");
    for (const std::size_t size : {0u, 100u, 3071u}) {
        write_file(enc() / "k.key", random_bytes(size, 43));
        const auto result = run({"plan.txt", "out.qv", "pw", "k.key"}, enc());
        EXPECT_EQ(result.output, "Crypt run\nKey file found.Error! Key file 'k.key' is " +
                                     std::to_string(size) +
                                     " bytes long; a key file needs 3072 or more.\n");
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_FALSE(exists(enc() / "out.qv"));
    }
    auto long_key = random_bytes(5000, 44);
    write_file(enc() / "long.key", long_key);
    long_key.resize(3072);
    write_file(dec() / "cut.key", long_key);
    const auto result = run({"plan.txt", "out.qv", "pw", "long.key"}, enc());
    EXPECT_EQ(result.output, encrypt_output("plan.txt", "Key file found."));
    ASSERT_EQ(result.exit_code, 0);
    const auto back = run({(enc() / "out.qv").string(), "x", "pw", "cut.key"}, dec());
    EXPECT_EQ(back.output, "Key file found." + DECRYPT_OK);
    EXPECT_EQ(read_file(dec() / "plan.txt"), to_bytes("some plans"));
}

// Every truncation of an encrypted file, and a flipped byte anywhere, fails verification:
// "Decrypt WRONG!", status 1, and nothing is extracted. Over a thousand runs: they go a few at
// a time, each in a folder of its own (a run locks its folder), since a run is mostly the
// program's start and end (under the sanitizers about 80 ms, most of it the leak check at
// exit), which one run after another would leave a core idle for.
TEST_F(HardeningTest, TruncatedOrDamagedFilesFailVerification) {
    write_file(enc() / "plan.txt", random_bytes(1200, 44));
    const auto copying = stand_in_archiver("copy-bin", COPYING_ARCHIVER);
    ASSERT_EQ(run({"plan.txt", "plan.qv", "pw"}, enc(), copying).exit_code, 0);
    const auto encrypted = read_file(enc() / "plan.qv");
    ASSERT_GT(encrypted.size(), 265u + 3 * 256);

    std::vector<Bytes> damaged;
    for (std::size_t length = 9; length <= 265 + 3 * 256; ++length) {
        damaged.emplace_back(encrypted.begin(),
                             encrypted.begin() + static_cast<std::ptrdiff_t>(length));
    }
    for (std::size_t offset = 9; offset < encrypted.size(); offset += 37) {
        damaged.push_back(encrypted);
        damaged.back()[offset] ^= 0x20;
    }
    constexpr std::size_t AT_ONCE = 4;
    std::vector<fs::path> folders;
    for (std::size_t i = 0; i < AT_ONCE; ++i) folders.push_back(fresh_folder());
    for (std::size_t first = 0; first < damaged.size(); first += AT_ONCE) {
        const std::size_t count = std::min(AT_ONCE, damaged.size() - first);
        std::deque<RunningProgram> running;
        for (std::size_t i = 0; i < count; ++i) {
            write_file(folders[i] / "damaged.qv", damaged[first + i]);
            running.emplace_back(std::vector<std::string>{"damaged.qv", "x", "pw"}, folders[i],
                                 options(copying));
        }
        for (std::size_t i = 0; i < count; ++i) {
            const auto result = running[i].finish();
            const auto size = damaged[first + i].size();
            ASSERT_EQ(result.output, "Decrypt process start!\nDecrypt WRONG!\n") << size;
            ASSERT_EQ(result.exit_code, 1);
            ASSERT_FALSE(exists(folders[i] / "extracted.bin"));
        }
    }
}

// A signal ignored when the program starts (nohup) stays ignored: the run goes on.
TEST_F(HardeningTest, SignalIgnoredAtStartStaysIgnored) {
    write_file(enc() / "plan.txt", "some plans");
    auto options = this->options(
        stand_in_archiver("slow-copy-bin", "touch ../started; sleep 1\n" + COPYING_ARCHIVER));
    options.ignored_signal = SIGHUP;
    RunningProgram program({"plan.txt", "out.qv", "pw"}, enc(), options);
    ASSERT_TRUE(wait_for_size(root() / "started", 0));
    program.send_signal(SIGHUP);
    const auto result = program.finish();
    EXPECT_EQ(result.term_signal, 0);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_TRUE(exists(enc() / "out.qv"));
}

}  // namespace
}  // namespace quorvel::test
