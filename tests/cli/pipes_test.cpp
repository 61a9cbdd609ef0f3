// The encrypted side in a pipe, through the built program: encrypting to an output that
// cannot seek gives the bytes a file output gets, and decrypting from standard input gives
// the verdict, the messages and the archive bytes that the same input gives from a file, for
// well-formed, cut, extended and damaged inputs.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>

#include "cli/cli_fixture.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;

// Runs `script` with bash in `folder`, with "$Q" naming the built program and the archiver
// found through `path_env` first. Returns the exit status, -1 when bash did not exit.
int run_shell(const std::string& script, const fs::path& folder, const std::string& path_env) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(folder.c_str()) != 0) ::_exit(127);
        ::setenv("PATH", (path_env + ":/usr/bin:/bin").c_str(), 1);
        ::setenv("Q", QUORVEL_BINARY, 1);
        ::execl("/bin/bash", "bash", "-c", ("set -o pipefail\n" + script).c_str(), nullptr);
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Every regular file in `folder` and its bytes.
std::map<std::string, Bytes> files_in(const fs::path& folder) {
    std::map<std::string, Bytes> files;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.is_regular_file()) files[entry.path().filename().string()] = read_file(entry);
    }
    return files;
}

class PipeTest : public CliTest {};

TEST_F(PipeTest, EncryptsIntoAPipeTheBytesOfAFileOutput) {
    const std::string archiver = copying_archiver();
    // Several of the stream's chunks, so the check block comes from a pass of its own.
    write_file(enc() / "plan.txt", random_bytes((2u << 20) + 700 * 1024 + 3, 41));
    ASSERT_EQ(run_shell("\"$Q\" plan.txt file.qv pw > file.log", enc(), archiver), 0);
    ASSERT_EQ(
        run_shell("\"$Q\" plan.txt /dev/fd/3 pw 3>&1 > pipe.log | cat > pipe.qv", enc(), archiver),
        0);
    EXPECT_EQ(read_file(enc() / "file.log"), to_bytes(encrypt_output("plan.txt")));
    EXPECT_EQ(read_file(enc() / "pipe.log"), read_file(enc() / "file.log"));
    EXPECT_TRUE(read_file(enc() / "pipe.qv") == read_file(enc() / "file.qv"));
    EXPECT_FALSE(exists(enc() / TEMP_ARCHIVE));
}

TEST_F(PipeTest, RoundTripThroughPipesWithTheRealArchiver) {
    const Bytes contents = random_bytes(300 * 1024, 42);
    write_file(enc() / "plan.txt", contents);
    const auto status = run_shell(
        "\"$Q\" plan.txt /dev/fd/3 pw 3>&1 > enc.log | (cd ../dec && \"$Q\" /dev/stdin x pw "
        "> dec.log)",
        enc(), options().path_env.value());
    ASSERT_EQ(status, 0);
    EXPECT_EQ(read_file(dec() / "dec.log"), to_bytes(DECRYPT_OK));
    EXPECT_EQ(read_file(dec() / "plan.txt"), contents);
    EXPECT_FALSE(exists(dec() / TEMP_ARCHIVE));
}

TEST_F(PipeTest, DecryptsFromAPipeAsFromAFile) {
    const std::string archiver = copying_archiver();
    write_file(enc() / "plan.txt", random_bytes(600 * 1024 + 77, 43));
    ASSERT_EQ(run_shell("\"$Q\" plan.txt good.qv pw > /dev/null", enc(), archiver), 0);
    const Bytes good = read_file(enc() / "good.qv");
    const std::size_t size = good.size();

    struct Case {
        std::string name;
        Bytes file;
    };
    const auto cut = [&](std::size_t length) {
        return Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(length));
    };
    std::vector<Case> cases = {
        {"as written", good},
        {"cut inside the check block", cut(100)},
        {"cut after the check block", cut(265)},
        {"cut at a block boundary", cut(size - 256)},
        {"cut inside the last block", cut(size - 100)},
        {"one byte short", cut(size - 1)},
    };
    for (const std::size_t extra : {1u, 256u, 1000u}) {
        Bytes longer = good;
        const Bytes tail = random_bytes(extra, static_cast<std::uint32_t>(extra));
        longer.insert(longer.end(), tail.begin(), tail.end());
        cases.push_back({"extended by " + std::to_string(extra), longer});
    }
    for (const std::size_t offset : {std::size_t{20}, size / 2, size - 1}) {
        Bytes damaged = good;
        damaged[offset] ^= 0x10;
        cases.push_back({"damaged at " + std::to_string(offset), damaged});
    }

    for (const auto& [name, file] : cases) {
        SCOPED_TRACE(name);
        const fs::path from_file = root() / "from-file";
        const fs::path from_pipe = root() / "from-pipe";
        for (const auto& folder : {from_file, from_pipe}) {
            fs::remove_all(folder);
            fs::create_directories(folder);
        }
        write_file(root() / "case.qv", file);
        const int file_status =
            run_shell("\"$Q\" ../case.qv x pw > ../file.log", from_file, archiver);
        const int pipe_status =
            run_shell("cat ../case.qv | \"$Q\" /dev/stdin x pw > ../pipe.log", from_pipe, archiver);
        EXPECT_EQ(pipe_status, file_status);
        EXPECT_EQ(read_file(root() / "pipe.log"), read_file(root() / "file.log"));
        const auto expected = files_in(from_file);
        EXPECT_FALSE(expected.empty());  // the archive or what was extracted from it
        EXPECT_TRUE(files_in(from_pipe) == expected);
    }
}

}  // namespace
}  // namespace quorvel::test
