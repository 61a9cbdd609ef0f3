// On the disk before "Cript complite": the encrypted file is flushed before it is renamed
// into place and its folder after, a key file the run creates is flushed with its folder, and
// the message comes only once the output is in place; a signal after that finds the run done.
// The run's system calls are recorded, or held, with strace.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>

#include "cli/file_safety.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;

const std::string OLD_OUTPUT = "the previous encrypted file";

class OnDiskBeforeCompleteTest : public FileSafetyTest {};

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
TEST_F(OnDiskBeforeCompleteTest, SignalAfterTheOutputTookItsNameFindsTheRunDone) {
    const auto strace = find_strace();
    if (!strace) GTEST_SKIP() << "strace is not installed (scripts/install-deps installs it)";
    const auto folder = fs::canonical(fresh_folder());
    write_file(folder / "plan.txt", PLAN);
    write_file(folder / "out.qv", OLD_OUTPUT);
    const std::string tracer = strace->string();
    RunningProgram run({}, folder, options_with(std::nullopt, [&] {
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
TEST_F(OnDiskBeforeCompleteTest, OutputAndNewKeyFileAreOnTheDiskBeforeCriptComplite) {
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
        const auto result = run_program(
            {"plan.txt", "out.qv", "pw", "new.key"}, folder, options_with(std::nullopt, [&] {
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
