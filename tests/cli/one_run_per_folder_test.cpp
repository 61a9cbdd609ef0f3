// One run per folder: a second run that encrypts or decrypts where another works stops at
// once with its message and changes nothing, whatever holds the folder's lock; a folder that
// cannot be locked (one the user may write in but not read) stops a run before anything.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <optional>

#include "cli/file_safety.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;

class OneRunPerFolderTest : public FileSafetyTest {};

// Whatever holds the folder's lock, another run or another program, a second run stops
// before anything with its message, and the folder stays as it was; a run elsewhere goes
// ahead meanwhile, and once the lock is let go the folder serves again.
TEST_F(OneRunPerFolderTest, SecondRunInTheSameFolderStopsAtOnce) {
    const Bytes input = random_bytes(5000, 87);
    const auto gate = root() / "gate";
    const auto gated = stand_in_archiver("gated-bin", gated_copying_archiver(gate));
    const std::vector<std::vector<std::string>> second_runs = {
        {"plan.qv", "x", "pw"},
        {"plan.txt", "plan2.qv", "pw"},
        {"plan.txt", "plan2.qv", "pw", "new.key"},
    };
    for (const bool held_by_a_run : {true, false}) {
        SCOPED_TRACE(held_by_a_run ? "another run packing" : "another program's lock");
        const auto folder = fresh_folder();
        put_common_files(folder);
        write_file(folder / "mine.bin", input);
        fs::remove(gate);
        std::optional<RunningProgram> first;
        int lock_holder = -1;
        if (held_by_a_run) {
            first.emplace(std::vector<std::string>{"mine.bin", "mine.qv", "pw"}, folder,
                          options(gated));
            // The stand-in archiver's copy is whole before the folder is recorded: a copy
            // still growing would show as a change the second runs did not make.
            ASSERT_TRUE(wait_until([&] {
                std::error_code ignored;
                return fs::file_size(packing_archive(folder), ignored) == input.size();
            }));
        } else {
            lock_holder = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            ASSERT_GE(lock_holder, 0);
            ASSERT_EQ(::flock(lock_holder, LOCK_EX | LOCK_NB), 0);
        }
        const auto held = record_folder(folder);
        for (const auto& args : second_runs) {
            SCOPED_TRACE("quorvel " + args[0] + " " + args[1]);
            const auto second = run_watched(args, folder, options(gated), WatchOptions{});
            EXPECT_EQ(second.output, "Error! Another quorvel run is working in this folder.\n");
            EXPECT_EQ(second.exit_code, 1);
            EXPECT_EQ(folder_changes(held, record_folder(folder)), "");
        }
        // Meanwhile a run in another folder goes ahead.
        const auto elsewhere = fresh_folder();
        write_file(elsewhere / "plan.txt", PLAN);
        EXPECT_EQ(run({"plan.txt", "plan.qv", "pw"}, elsewhere).output, encrypt_output("plan.txt"));
        if (held_by_a_run) {
            write_file(gate, "");
            const auto result = first->finish();
            EXPECT_EQ(result.output, encrypt_output("mine.bin"));
            EXPECT_EQ(result.exit_code, 0);
            EXPECT_TRUE(leftovers(folder).empty());
            expect_decrypts_to(folder / "mine.qv", "extracted.bin", input, {}, copying_archiver());
        } else {
            ::close(lock_holder);
        }
        // The lock let go, the folder serves the next run.
        fs::remove(folder / "plan.txt");
        const auto next = run({"plan.qv", "x", "pw"}, folder);
        EXPECT_EQ(next.output, DECRYPT_OK);
        EXPECT_EQ(next.exit_code, 0);
        EXPECT_TRUE(exists(folder / "plan.txt") &&
                    read_file(folder / "plan.txt") == to_bytes(PLAN));
    }
}

// Where locks work, a run either holds the folder's lock or stops before anything: a folder
// the user may write in but not read (mode 0300, or a shared drop folder 1733) cannot be
// locked, and a run there would share the temporary archive's name with another unnoticed.
TEST_F(OneRunPerFolderTest, TheFolderLockHoldsOrTheRunStops) {
    if (!open_scratch_to_nobody()) GTEST_SKIP() << NO_NOBODY;
    const auto gate = root() / "gate";
    const auto gated = stand_in_archiver("gated-bin", gated_copying_archiver(gate));
    const std::string refusal =
        "Error! Can't lock this folder against other quorvel runs; it must be readable.\n";
    const struct {
        const char* label;
        fs::perms mode;
        bool owned_by_user;
        bool lockable;
    } folders[] = {
        {"the user's own folder, 0700", fs::perms::owner_all, true, true},
        {"a shared folder the user can read, 1777", fs::perms::all | fs::perms::sticky_bit, false,
         true},
        {"the user's own folder, 0300", fs::perms::owner_write | fs::perms::owner_exec, true,
         false},
        {"a shared drop folder, 1733",
         fs::perms::owner_all | fs::perms::group_write | fs::perms::group_exec |
             fs::perms::others_write | fs::perms::others_exec | fs::perms::sticky_bit,
         false, false},
    };
    for (const auto& f : folders) {
        SCOPED_TRACE(f.label);
        fs::remove(gate);
        const auto folder = fresh_folder();
        write_file(folder / "plan.txt", PLAN);
        fs::copy_file(plan_qv(), folder / "plan.qv");
        give_to_nobody(folder / "plan.txt");
        give_to_nobody(folder / "plan.qv");
        if (f.owned_by_user) give_to_nobody(folder);
        set_mode(folder, f.mode);
        const auto before = record_folder(folder);
        const RunOptions as_user = options_with(gated, become_nobody);
        if (!f.lockable) {
            for (const auto& args :
                 {std::vector<std::string>{"plan.txt", "out.qv", "pw"}, {"plan.qv", "x", "pw"}}) {
                SCOPED_TRACE("quorvel " + args[0]);
                const auto refused = run_watched(args, folder, as_user, WatchOptions{});
                EXPECT_EQ(refused.output, refusal);
                EXPECT_EQ(refused.exit_code, 1);
                EXPECT_EQ(folder_changes(before, record_folder(folder)), "");
            }
            continue;
        }
        // An encryption holds the lock while packing; a decryption meanwhile is refused.
        RunningProgram first({"plan.txt", "out.qv", "pw"}, folder, as_user);
        ASSERT_TRUE(wait_until([&] {  // packed, and the archiver waiting at the gate
            std::error_code ignored;
            return fs::file_size(packing_archive(folder), ignored) == PLAN.size();
        }));
        const auto held = record_folder(folder);
        const auto second = run_watched({"plan.qv", "x", "pw"}, folder, as_user, WatchOptions{});
        EXPECT_EQ(second.output, "Error! Another quorvel run is working in this folder.\n");
        EXPECT_EQ(second.exit_code, 1);
        EXPECT_EQ(folder_changes(held, record_folder(folder)), "");
        write_file(gate, "");
        const auto result = first.finish();
        EXPECT_EQ(result.output, encrypt_output("plan.txt"));
        EXPECT_EQ(result.exit_code, 0);
        EXPECT_TRUE(leftovers(folder).empty());
    }
}

}  // namespace
}  // namespace quorvel::test
