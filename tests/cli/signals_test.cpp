// Every signal that ends a run, at every stage of it: while the archiver packs, while the
// cipher stage encrypts or decrypts, while the archiver unpacks, and while the run waits for
// the reader of a FIFO named as its output; with the input outside the run's folder and in
// it. The run ends by that very signal, at once, leaves its folder as it was, and its
// archiver does not outlive it, even one that ignores the signal; a signal ignored when the
// program starts stays ignored. (The prompt's stage is in password_source_test.cpp, which
// drives a terminal.)
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <thread>

#include "app/signals/signals_posix.h"
#include "cli/cli_fixture.h"
#include "cli/file_checks.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A stand-in 7z takes the command from $1, the archive from $2 and the input from the last
// argument. Each writes its process id to ../archiver.pid before its slow part, so the test
// can tell whether it outlived the run. Its output goes nowhere, so that a stand-in left
// running does not hold the run's standard output open.
const std::string LAST_ARGUMENT = "for arg; do input=$arg; done\nexec >/dev/null\n";

// "a" writes a little of the archive and then works on (sleeps); "x" links the input.
const std::string SLOW_PACKING = LAST_ARGUMENT +
                                 "case \"$1\" in a) echo $$ > ../archiver.pid; "
                                 "echo partial > \"$2\"; exec sleep 30 ;; esac";

// "a" links the input as the archive, at once; "x" works on (sleeps) without extracting.
const std::string SLOW_UNPACKING = LAST_ARGUMENT +
                                   "case \"$1\" in a) ln -- \"$input\" \"$2\" ;; "
                                   "x) echo $$ > ../archiver.pid; exec sleep 30 ;; esac";

// True when a file in `folder`, other than those named in `except`, holds a mebibyte or
// more: the run is writing its output or its decrypted archive.
bool writing_under_way(const fs::path& folder, const std::set<std::string>& except = {}) {
    for (const auto& entry : fs::directory_iterator(folder)) {
        std::error_code error;
        if (!except.contains(entry.path().filename().string()) &&
            fs::file_size(entry.path(), error) >= (1u << 20) && !error) {
            return true;
        }
    }
    return false;
}

// Makes `path` a sparse file of `size` bytes: quick to make, slow to encrypt.
void make_sparse(const fs::path& path, std::uintmax_t size) {
    write_file(path, "");
    fs::resize_file(path, size);
}

// True when process `pid` sleeps in the kernel until a FIFO gets its other end.
bool waits_for_fifo_partner(int pid) {
    std::ifstream wchan("/proc/" + std::to_string(pid) + "/wchan");
    std::string where;
    std::getline(wchan, where);
    return where == "wait_for_partner";
}

bool process_gone(int pid) {
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

class SignalsTest : public CliTest {};

// The stages of a run, each a test of its own so that they run side by side: most of each
// case is waiting for the stage to be reached.
enum class Stage {
    packing,
    packing_in_folder,
    encrypting,
    encrypting_in_folder,
    decrypting,
    unpacking,
    waiting_for_fifo,
};

class SignalAtStageTest : public SignalsTest, public testing::WithParamInterface<Stage> {};

TEST_P(SignalAtStageTest, EachEndingSignalEndsTheRunByItAndLeavesTheFolderAsItWas) {
    // Most inputs sit outside the run's folder, so that its record stays small.
    const auto big = root() / "plan.bin";
    make_sparse(big, std::uintmax_t{1} << 30);
    const auto medium = root() / "medium.bin";
    make_sparse(medium, std::uintmax_t{1} << 26);
    write_file(root() / "plan.txt", "some plans");
    const auto slow_packing = stand_in_archiver("slow-packing-bin", SLOW_PACKING);
    const auto slow_unpacking = stand_in_archiver("slow-unpacking-bin", SLOW_UNPACKING);
    ASSERT_EQ(run({medium.string(), (root() / "medium.qv").string(), "pw"}, root(), slow_unpacking)
                  .exit_code,
              0);
    ASSERT_EQ(run({"plan.txt", "plan.qv", "pw"}, root(), slow_unpacking).exit_code, 0);
    const auto pid_file = root() / "archiver.pid";
    const auto archive_made = [](const fs::path& folder, int) {
        return fs::exists(packing_archive(folder));
    };
    // The archive is a link to the input when encrypting: its size says nothing about the
    // output, nor does the input's when it is in the folder.
    const auto encrypting = [](const fs::path& folder, int) {
        return writing_under_way(folder, {TEMP_ARCHIVE, "medium.bin"});
    };
    const auto decrypting = [](const fs::path& folder, int) { return writing_under_way(folder); };
    const auto no_setup = [](const fs::path&) {};

    const struct {
        const char* stage;
        std::vector<std::string> args;
        std::string archiver;
        std::function<void(const fs::path& folder)> setup;  // files of the folder before the run
        std::function<bool(const fs::path& folder, int pid)> reached;
        // The fault signals sent from outside too: at the four stages of the work, where the
        // archiver runs or plaintext is on the disk; the other stages differ from these only
        // in the folder's contents or in what the run waits for.
        bool fault_signals_too = false;
    } stages[] = {
        // in the order of Stage
        {"packing", {big.string(), "out.qv", "pw"}, slow_packing, no_setup, archive_made, true},
        // The cleanup removes the run's own files only, not the input beside them.
        {"packing an input in the run's folder",
         {"plan.txt", "out.qv", "pw"},
         slow_packing,
         [](const fs::path& folder) { write_file(folder / "plan.txt", "some plans"); },
         archive_made},
        {"encrypting", {big.string(), "out.qv", "pw"}, slow_unpacking, no_setup, encrypting, true},
        {"encrypting an input in the run's folder",
         {"medium.bin", "out.qv", "pw"},
         slow_unpacking,
         [](const fs::path& folder) { make_sparse(folder / "medium.bin", 1u << 26); },
         encrypting},
        {"decrypting",
         {(root() / "medium.qv").string(), "x", "pw"},
         slow_unpacking,
         no_setup,
         decrypting,
         true},
        {"unpacking",
         {(root() / "plan.qv").string(), "x", "pw"},
         slow_unpacking,
         no_setup,
         [&pid_file](const fs::path&, int) { return pid_in(pid_file) != 0; },
         true},
        // An output FIFO that nobody reads: opening it waits, and must wait interruptibly.
        {"waiting for the FIFO's reader",
         {(root() / "plan.txt").string(), "out", "pw"},
         slow_unpacking,
         no_setup,
         [](const fs::path&, int pid) { return waits_for_fifo_partner(pid); }},
    };
    static_assert(std::extent_v<decltype(stages)> ==
                  static_cast<std::size_t>(Stage::waiting_for_fifo) + 1);
    {
        const auto& stage = stages[static_cast<std::size_t>(GetParam())];
        std::vector<SignalCase> signals(std::begin(ENDING_SIGNALS), std::end(ENDING_SIGNALS));
        if (stage.fault_signals_too) {
            signals.insert(signals.end(), std::begin(FAULT_SIGNALS), std::end(FAULT_SIGNALS));
        }
        for (const auto& s : signals) {
            SCOPED_TRACE(std::string(s.label) + " while " + stage.stage);
            const auto folder = fresh_folder();
            ::mkfifo((folder / "out").c_str(), 0600);  // named as the output by the last stage only
            stage.setup(folder);
            fs::remove(pid_file);
            const auto before = record_folder(folder);
            auto options = this->options(stage.archiver);
            options.in_child = forbid_core_files;
            RunningProgram program(stage.args, folder, options);
            ASSERT_TRUE(wait_until([&] { return stage.reached(folder, program.pid()); }));
            const auto sent = std::chrono::steady_clock::now();
            program.send_signal(s.signal_number);
            const auto result = finish_within(program, 5s);
            EXPECT_LT(std::chrono::steady_clock::now() - sent, 3s);
            EXPECT_EQ(result.term_signal, s.signal_number) << "exit status " << result.exit_code;
            EXPECT_EQ(folder_changes(before, record_folder(folder)), "");
            EXPECT_EQ(fs::file_size(big), std::uintmax_t{1} << 30);
            if (const int archiver = pid_in(pid_file); archiver != 0) {
                EXPECT_TRUE(process_gone(archiver)) << "the archiver outlived the run";
                if (!process_gone(archiver)) ::kill(archiver, SIGKILL);
            }
        }
    }
}

std::string stage_name(const testing::TestParamInfo<Stage>& info) {
    constexpr const char* NAMES[] = {
        "Packing",    "PackingInFolder", "Encrypting",    "EncryptingInFolder",
        "Decrypting", "Unpacking",       "WaitingForFifo"};
    return NAMES[static_cast<std::size_t>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Stages, SignalAtStageTest,
                         testing::Values(Stage::packing, Stage::packing_in_folder,
                                         Stage::encrypting, Stage::encrypting_in_folder,
                                         Stage::decrypting, Stage::unpacking,
                                         Stage::waiting_for_fifo),
                         stage_name);

// An archiver that ignores the signal passed on to it (as 7-Zip does, in effect, while it waits
// at the terminal for a password of its own) is killed once CHILD_GRACE_PERIOD has passed, and
// the run still ends by that signal with its folder as it was.
TEST_F(SignalsTest, AnArchiverThatIgnoresTheSignalIsEndedWithinTheGracePeriod) {
    const std::string IGNORES_THE_SIGNALS = "trap '' INT TERM\n";
    const auto stubborn_packing = stand_in_archiver(
        "stubborn-packing-bin", IGNORES_THE_SIGNALS + LAST_ARGUMENT +
                                    "case \"$1\" in a) echo partial > \"$2\"; "
                                    "echo $$ > ../archiver.pid; exec sleep 30 ;; esac");
    const auto stubborn_unpacking =
        stand_in_archiver("stubborn-unpacking-bin", IGNORES_THE_SIGNALS + SLOW_UNPACKING);
    write_file(root() / "plan.txt", "some plans");
    ASSERT_EQ(run({"plan.txt", "plan.qv", "pw"}, root(), stubborn_unpacking).exit_code, 0);
    const auto pid_file = root() / "archiver.pid";
    const struct {
        const char* stage;
        std::vector<std::string> args;
        std::string archiver;
        SignalCase signal;
    } cases[] = {
        {"packing",
         {(root() / "plan.txt").string(), "out.qv", "pw"},
         stubborn_packing,
         {"SIGTERM", SIGTERM}},
        {"unpacking",
         {(root() / "plan.qv").string(), "x", "pw"},
         stubborn_unpacking,
         {"SIGINT", SIGINT}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.signal.label) + " while " + c.stage);
        const auto folder = fresh_folder();
        fs::remove(pid_file);
        const auto before = record_folder(folder);
        RunningProgram program(c.args, folder, options(c.archiver));
        ASSERT_TRUE(wait_until([&] { return pid_in(pid_file) != 0; }));
        const int archiver = pid_in(pid_file);
        const auto sent = std::chrono::steady_clock::now();
        program.send_signal(c.signal.signal_number);
        const auto result = finish_within(program, CHILD_GRACE_PERIOD + 5s);
        EXPECT_LT(std::chrono::steady_clock::now() - sent, CHILD_GRACE_PERIOD + 1500ms);
        EXPECT_EQ(result.term_signal, c.signal.signal_number) << "exit status " << result.exit_code;
        EXPECT_EQ(folder_changes(before, record_folder(folder)), "");
        EXPECT_TRUE(wait_until([&] { return process_gone(archiver); }))
            << "the archiver outlived the run";
        if (!process_gone(archiver)) ::kill(archiver, SIGKILL);
    }
}

// The wait for a FIFO's reader is no dead end: a reader that comes late gets the whole
// output, which decrypts back.
TEST_F(SignalsTest, AFifoOutputIsWrittenOnceItsReaderComes) {
    const auto folder = fresh_folder();
    write_file(folder / "plan.txt", "some plans");
    ASSERT_EQ(::mkfifo((folder / "out").c_str(), 0600), 0);
    RunningProgram program({"plan.txt", "out", "pw"}, folder, options());
    ASSERT_TRUE(wait_until([&] { return waits_for_fifo_partner(program.pid()); }));
    std::string encrypted;
    {
        std::ifstream reader(folder / "out", std::ios::binary);
        encrypted.assign(std::istreambuf_iterator<char>(reader), {});
    }
    const auto result = finish_within(program, 10s);
    EXPECT_EQ(result.output, encrypt_output("plan.txt"));
    EXPECT_EQ(result.exit_code, 0);
    const auto back = fresh_folder();
    write_file(back / "plan.qv", encrypted);
    const auto decrypted = run({"plan.qv", "x", "pw"}, back);
    EXPECT_EQ(decrypted.output, DECRYPT_OK);
    EXPECT_EQ(read_file(back / "plan.txt"), to_bytes("some plans"));
}

// A signal ignored when the program starts (nohup) stays ignored: the run goes on.
TEST_F(SignalsTest, SignalIgnoredAtStartStaysIgnored) {
    write_file(enc() / "plan.txt", "some plans");
    auto options = this->options(
        stand_in_archiver("slow-copy-bin", "touch ../started; sleep 1\n" + COPYING_ARCHIVER));
    options.ignored_signal = SIGHUP;
    RunningProgram program({"plan.txt", "out.qv", "pw"}, enc(), options);
    ASSERT_TRUE(wait_until([&] { return exists(root() / "started"); }));
    program.send_signal(SIGHUP);
    const auto result = program.finish();
    EXPECT_EQ(result.term_signal, 0);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_TRUE(exists(enc() / "out.qv"));
}

}  // namespace
}  // namespace quorvel::test
