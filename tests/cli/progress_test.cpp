// The progress meter as a user meets it: the built program with standard error on a
// pseudo-terminal or a pipe, standard output into a file.
#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <regex>

#include "app/progress_meter.h"
#include "tests/cli/cli_fixture.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;

struct SplitRun {
    int exit_code = -1;
    std::string output;  // standard output
    std::string errors;  // what reached standard error
    double seconds = 0;
};

enum class Streams {
    errors_on_pipe,      // standard error on a pipe
    errors_on_terminal,  // standard error on a pseudo-terminal
    both_on_terminal,    // standard output and standard error on the same pseudo-terminal
};

// Runs the built program in `folder` with PATH set to `path_env`, standard output into a file
// unless both streams go to the terminal (then `errors` has both).
SplitRun run_split(const std::vector<std::string>& args, const fs::path& folder,
                   const std::string& path_env, Streams streams) {
    const bool terminal = streams != Streams::errors_on_pipe;
    const fs::path output_file = folder.parent_path() / "stdout.txt";
    int reader = -1;
    int pipe_ends[2] = {-1, -1};
    const auto start = std::chrono::steady_clock::now();
    pid_t child = 0;
    if (terminal) {
        child = ::forkpty(&reader, nullptr, nullptr, nullptr);
    } else {
        if (::pipe(pipe_ends) != 0) throw std::runtime_error("pipe failed");
        child = ::fork();
        reader = pipe_ends[0];
    }
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        if (!terminal) {
            ::dup2(pipe_ends[1], STDERR_FILENO);
            ::close(pipe_ends[0]);
            ::close(pipe_ends[1]);
        }
        const int out = ::open(output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (streams != Streams::both_on_terminal) ::dup2(out, STDOUT_FILENO);
        RunOptions options;
        options.path_env = path_env;
        become_program(args, folder, options);
    }
    if (!terminal) ::close(pipe_ends[1]);
    SplitRun run;
    char chunk[4096];
    // A pseudo-terminal's reader gets EIO once the child and its descendants are gone.
    for (ssize_t got; (got = ::read(reader, chunk, sizeof chunk)) != 0;) {
        if (got < 0) {
            if (errno == EINTR) continue;
            break;
        }
        run.errors.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(reader);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const auto bytes = read_file(output_file);
    run.output.assign(bytes.begin(), bytes.end());
    return run;
}

// Checks that `errors` is a meter drawn at least once and erased at the end: "\r" + meter text
// (padded with spaces) for each drawing, then "\r" + spaces + "\r". Returns the number of
// drawings.
int expect_meter_drawn_and_erased(const std::string& errors) {
    static const std::regex METER(
        R"(^ {0,2}\d{1,3}%  (--|\d+\.\d) MiB/s  (--:--|\d+:\d\d(:\d\d)?) left *$)");
    EXPECT_GE(errors.size(), 3u);
    if (errors.size() < 3) return 0;
    EXPECT_EQ(errors.front(), '\r');
    EXPECT_EQ(errors.back(), '\r');
    std::vector<std::string> pieces;
    for (std::size_t at = 1; at < errors.size();) {
        const std::size_t end = errors.find('\r', at);
        pieces.push_back(errors.substr(at, end - at));
        at = end + 1;
    }
    EXPECT_GE(pieces.size(), 2u);
    const std::string& blank = pieces.back();
    EXPECT_EQ(blank.find_first_not_of(' '), std::string::npos) << "not erased: " << blank;
    for (std::size_t i = 0; i + 1 < pieces.size(); ++i) {
        EXPECT_TRUE(std::regex_match(pieces[i], METER)) << "not a meter line: " << pieces[i];
        EXPECT_LE(pieces[i].size(), blank.size()) << "longer than the erasing blank";
    }
    return static_cast<int>(pieces.size()) - 1;
}

class ProgressTest : public CliTest {
protected:
    ProgressTest() {
        // Packing copies the input, so the cipher stage sees exactly the input's size;
        // unpacking does nothing.
        copy_path_ =
            stand_in_archiver("copy-bin", "if [ \"$1\" = a ]; then exec cp -- \"$4\" \"$2\"; fi");
    }
    std::string copy_path_;
};

TEST_F(ProgressTest, LargeRunOnATerminalShowsTheMeterOnStandardErrorOnly) {
    write_file(enc() / "big.bin", Bytes(PROGRESS_THRESHOLD + 1, 'q'));

    const auto encrypted =
        run_split({"big.bin", "big.qv", "pw"}, enc(), copy_path_, Streams::errors_on_terminal);
    EXPECT_EQ(encrypted.exit_code, 0);
    EXPECT_EQ(encrypted.output, encrypt_output("big.bin"));
    const int drawings = expect_meter_drawn_and_erased(encrypted.errors);
    EXPECT_LE(drawings, 1 + static_cast<int>(encrypted.seconds * 10) + 1);

    fs::rename(enc() / "big.qv", dec() / "big.qv");
    const auto decrypted =
        run_split({"big.qv", "x", "pw"}, dec(), copy_path_, Streams::errors_on_terminal);
    EXPECT_EQ(decrypted.exit_code, 0);
    EXPECT_EQ(decrypted.output, DECRYPT_OK);
    expect_meter_drawn_and_erased(decrypted.errors);
}

// On a shared terminal the meter must be gone before the next message is printed.
TEST_F(ProgressTest, MeterIsErasedBeforeTheNextMessageOnASharedTerminal) {
    write_file(enc() / "big.bin", Bytes(PROGRESS_THRESHOLD + 1, 'q'));
    const auto run =
        run_split({"big.bin", "big.qv", "pw"}, enc(), copy_path_, Streams::both_on_terminal);
    EXPECT_EQ(run.exit_code, 0);
    const std::string start = "Crypt process start!\r\n";
    const std::string end = "Cript complite\r\n";
    const std::size_t meter_at = run.errors.find(start);
    const std::size_t end_at = run.errors.find(end);
    ASSERT_NE(meter_at, std::string::npos) << run.errors;
    ASSERT_NE(end_at, std::string::npos) << run.errors;
    // Between the two messages: the meter's drawings, and its erasure right before the second.
    const std::string between =
        run.errors.substr(meter_at + start.size(), end_at - meter_at - start.size());
    expect_meter_drawn_and_erased(between);
    EXPECT_TRUE(run.errors.ends_with(end)) << run.errors;
}

TEST_F(ProgressTest, NothingOnStandardErrorWithoutATerminalOrForASmallInput) {
    write_file(enc() / "big.bin", Bytes(PROGRESS_THRESHOLD + 1, 'q'));
    write_file(enc() / "small.bin", Bytes(PROGRESS_THRESHOLD, 'q'));

    const auto piped =
        run_split({"big.bin", "big.qv", "pw"}, enc(), copy_path_, Streams::errors_on_pipe);
    EXPECT_EQ(piped.exit_code, 0);
    EXPECT_EQ(piped.output, encrypt_output("big.bin"));
    EXPECT_EQ(piped.errors, "");

    const auto small =
        run_split({"small.bin", "small.qv", "pw"}, enc(), copy_path_, Streams::errors_on_terminal);
    EXPECT_EQ(small.exit_code, 0);
    EXPECT_EQ(small.output, encrypt_output("small.bin"));
    EXPECT_EQ(small.errors, "");
}

}  // namespace
}  // namespace quorvel::test
