// The progress meter as a user meets it: the built program with standard error on a
// pseudo-terminal or a pipe, standard output apart or on the same terminal.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <regex>
#include <thread>

#include "app/messages/progress_meter.h"
#include "cli/cli_fixture.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;

struct TimedRun {
    ProgramRun run;
    double seconds = 0;
};

// Options with PATH set to `path_env` and standard error going to `errors`.
RunOptions errors_to(const std::string& path_env, ErrorSink errors) {
    RunOptions options;
    options.path_env = path_env;
    options.errors = errors;
    return options;
}

// Runs the built program in `folder` with PATH set to `path_env` and standard error going to
// `errors`, and times it.
TimedRun run_timed(const std::vector<std::string>& args, const fs::path& folder,
                   const std::string& path_env, ErrorSink errors) {
    const auto start = std::chrono::steady_clock::now();
    TimedRun timed{run_program(args, folder, errors_to(path_env, errors))};
    timed.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return timed;
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
        // Packing links the input, so the cipher stage sees exactly the input's size;
        // unpacking does nothing.
        copy_path_ = stand_in_archiver("link-bin", LINKING_ARCHIVER);
    }
    std::string copy_path_;
};

TEST_F(ProgressTest, LargeRunOnATerminalShowsTheMeterOnStandardErrorOnly) {
    write_file(enc() / "big.bin", Bytes(PROGRESS_THRESHOLD + 1, 'q'));

    const auto encrypted =
        run_timed({"big.bin", "big.qv", "pw"}, enc(), copy_path_, ErrorSink::terminal);
    EXPECT_EQ(encrypted.run.exit_code, 0);
    EXPECT_EQ(encrypted.run.output, encrypt_output("big.bin"));
    const int drawings = expect_meter_drawn_and_erased(encrypted.run.errors);
    EXPECT_LE(drawings, 1 + static_cast<int>(encrypted.seconds * 10) + 1);

    fs::rename(enc() / "big.qv", dec() / "big.qv");
    const auto decrypted =
        run_program({"big.qv", "x", "pw"}, dec(), errors_to(copy_path_, ErrorSink::terminal));
    EXPECT_EQ(decrypted.exit_code, 0);
    EXPECT_EQ(decrypted.output, DECRYPT_OK);
    expect_meter_drawn_and_erased(decrypted.errors);
}

// On a shared terminal the meter must be gone before the next message is printed.
TEST_F(ProgressTest, MeterIsErasedBeforeTheNextMessageOnASharedTerminal) {
    write_file(enc() / "big.bin", Bytes(PROGRESS_THRESHOLD + 1, 'q'));
    const auto run = run_program({"big.bin", "big.qv", "pw"}, enc(),
                                 errors_to(copy_path_, ErrorSink::terminal_with_output));
    EXPECT_EQ(run.exit_code, 0);
    const std::string start = "Crypt process start!\r\n";
    const std::string end = "Cript complite\r\n";
    const std::size_t meter_at = run.output.find(start);
    const std::size_t end_at = run.output.find(end);
    ASSERT_NE(meter_at, std::string::npos) << run.output;
    ASSERT_NE(end_at, std::string::npos) << run.output;
    // Between the two messages: the meter's drawings, and its erasure right before the second.
    const std::string between =
        run.output.substr(meter_at + start.size(), end_at - meter_at - start.size());
    expect_meter_drawn_and_erased(between);
    EXPECT_TRUE(run.output.ends_with(end)) << run.output;
}

// An interrupt in the cipher stage erases the meter too, so that the shell's prompt does not
// follow half a line of it.
TEST_F(ProgressTest, AnInterruptErasesTheMeter) {
    // A sparse archive of 4 GiB: the cipher stage lasts seconds, the packing none.
    const std::string sparse_path =
        stand_in_archiver("sparse-bin", "if [ \"$1\" = a ]; then exec truncate -s 4G \"$2\"; fi");
    write_file(enc() / "plan.txt", std::string("the plan\n"));
    RunningProgram running({"plan.txt", "big.qv", "pw"}, enc(),
                           errors_to(sparse_path, ErrorSink::terminal));
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    running.send_signal(SIGINT);
    const ProgramRun run = running.finish();
    EXPECT_EQ(run.term_signal, SIGINT);
    EXPECT_GE(expect_meter_drawn_and_erased(run.errors), 1);
    EXPECT_FALSE(exists(enc() / "big.qv"));
}

TEST_F(ProgressTest, NothingOnStandardErrorWithoutATerminalOrForASmallInput) {
    write_file(enc() / "big.bin", Bytes(PROGRESS_THRESHOLD + 1, 'q'));
    write_file(enc() / "small.bin", Bytes(PROGRESS_THRESHOLD, 'q'));

    const auto piped =
        run_program({"big.bin", "big.qv", "pw"}, enc(), errors_to(copy_path_, ErrorSink::pipe));
    EXPECT_EQ(piped.exit_code, 0);
    EXPECT_EQ(piped.output, encrypt_output("big.bin"));
    EXPECT_EQ(piped.errors, "");

    const auto small = run_program({"small.bin", "small.qv", "pw"}, enc(),
                                   errors_to(copy_path_, ErrorSink::terminal));
    EXPECT_EQ(small.exit_code, 0);
    EXPECT_EQ(small.output, encrypt_output("small.bin"));
    EXPECT_EQ(small.errors, "");
}

}  // namespace
}  // namespace quorvel::test
