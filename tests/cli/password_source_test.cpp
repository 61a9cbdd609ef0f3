// The password given through QUORVEL_PASSWORD_FROM as a user gives it: from another variable,
// a file, an open descriptor or the terminal (a pseudo-terminal that is the run's controlling
// terminal), and the argument left as it was whenever that variable does not apply.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>

#include "cli/cli_fixture.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;

const std::string SOURCE = "QUORVEL_PASSWORD_FROM";
const std::string PLAN = "the plans";

struct SessionRun {
    ProgramRun run;
    std::string terminal;     // everything the program wrote to the terminal, echo included
    bool echo_after = false;  // the terminal echoes again after the run
};

// Reads what `master` has for at most `timeout_ms`, appending it to `text`. Returns false at
// the end of the terminal's output or on a timeout.
bool read_terminal(int master, std::string& text, int timeout_ms) {
    pollfd ready{master, POLLIN, 0};
    if (::poll(&ready, 1, timeout_ms) <= 0) return false;
    char chunk[256];
    const ssize_t got = ::read(master, chunk, sizeof chunk);
    if (got <= 0) return false;
    text.append(chunk, static_cast<std::size_t>(got));
    return true;
}

std::size_t count_prompts(const std::string& text) {
    std::size_t count = 0;
    for (std::size_t at = text.find("assword: "); at != std::string::npos;
         at = text.find("assword: ", at + 1)) {
        ++count;
    }
    return count;
}

// Runs the program in a session of its own. With `answers`, a pseudo-terminal is that
// session's controlling terminal (its /dev/tty), and each answer is typed, with a line end,
// after the next prompt shows; `interrupt` is then sent instead of the last answer when it is
// not 0. Without `answers` the run has no terminal at all.
SessionRun run_in_session(const std::vector<std::string>& args, const fs::path& folder,
                          const RunOptions& options,
                          const std::optional<std::vector<std::string>>& answers,
                          int interrupt = 0) {
    int master = -1;
    int terminal = -1;  // held open here too, so the master never reads as hung up meanwhile
    if (answers) {
        master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
            throw std::runtime_error("no pseudo-terminal");
        }
        terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
        if (terminal < 0) throw std::runtime_error("cannot open the pseudo-terminal");
    }
    int pipe_ends[2];
    if (::pipe(pipe_ends) != 0) throw std::runtime_error("pipe failed");
    const pid_t child = ::fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        ::setsid();
        if (answers) {
            if (::ioctl(terminal, TIOCSCTTY, 0) != 0) ::_exit(126);
            ::close(terminal);
            ::close(master);
        }
        ::dup2(pipe_ends[1], STDOUT_FILENO);
        ::close(pipe_ends[0]);
        ::close(pipe_ends[1]);
        become_program(args, folder, options);
    }
    ::close(pipe_ends[1]);
    SessionRun result;
    if (answers) {
        for (std::size_t i = 0; i < answers->size(); ++i) {
            while (count_prompts(result.terminal) <= i) {
                if (!read_terminal(master, result.terminal, 10000)) break;
            }
            if (interrupt != 0 && i + 1 == answers->size()) {
                ::kill(child, interrupt);
            } else {
                const std::string line = (*answers)[i] + "\n";
                EXPECT_EQ(::write(master, line.data(), line.size()),
                          static_cast<ssize_t>(line.size()));
            }
        }
    }
    char chunk[4096];
    for (ssize_t got; (got = ::read(pipe_ends[0], chunk, sizeof chunk)) != 0;) {
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) break;
        result.run.output.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(pipe_ends[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    result.run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.run.term_signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    if (answers) {
        while (read_terminal(master, result.terminal, 0)) {
        }
        termios settings{};
        result.echo_after = ::tcgetattr(terminal, &settings) == 0 && (settings.c_lflag & ECHO);
        ::close(terminal);
        ::close(master);
    }
    return result;
}

class PasswordSourceTest : public CliTest {
protected:
    PasswordSourceTest() { write_file(enc() / "plan.txt", PLAN); }

    RunOptions with(std::vector<std::pair<std::string, std::string>> environment) const {
        RunOptions result = options();
        result.environment = std::move(environment);
        return result;
    }

    // Decrypts enc()/out.qv in dec() with `password` given plainly, and checks that the plan
    // comes back.
    void expect_decrypts_with(const std::string& password) {
        fs::copy_file(enc() / "out.qv", dec() / "out.qv", fs::copy_options::overwrite_existing);
        fs::remove(dec() / "plan.txt");
        const auto result = run({"out.qv", "x", password}, dec());
        EXPECT_EQ(result.output, DECRYPT_OK);
        EXPECT_EQ(result.exit_code, 0);
        ASSERT_TRUE(exists(dec() / "plan.txt"));
        EXPECT_EQ(read_file(dec() / "plan.txt"), to_bytes(PLAN));
    }

    // Checks a run that stopped before touching anything: `message` after the mode line, exit
    // status 1, and no output, key file or temporary archive.
    void expect_stopped(const ProgramRun& result, const std::string& message) {
        EXPECT_EQ(result.output, "Crypt run\n" + message + "\n");
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_FALSE(exists(enc() / "out.qv"));
        EXPECT_FALSE(exists(enc() / "new.key"));
        EXPECT_FALSE(exists(enc() / TEMP_ARCHIVE));
    }
};

TEST_F(PasswordSourceTest, EachSourceGivesTheLineAsThePassword) {
    const std::string longest(MAX_PASSWORD_SIZE, 'p');
    write_file(root() / "lf.txt", "secret pw\nsecond line");
    write_file(root() / "crlf.txt", "secret pw\r\nsecond line\r\n");
    write_file(root() / "bare.txt", "secret pw");
    write_file(root() / "longest.txt", longest + "\r\n");
    write_file(root() / "empty-line.txt", "\nsecret pw\n");
    write_file(root() / "for-fd.txt", "secret pw\nnot this");
    const int fd = ::open((root() / "for-fd.txt").c_str(), O_RDONLY);  // inherited by the run
    ASSERT_GE(fd, 0);
    const struct {
        std::string source;
        std::string variable_value;  // for QV_PW, when not empty
        std::string password;
    } cases[] = {
        {"env:QV_PW", "secret pw", "secret pw"},
        {"env:QV_PW", "secret pw\r\nrest", "secret pw"},
        {"file:" + (root() / "lf.txt").string(), "", "secret pw"},
        {"file:" + (root() / "crlf.txt").string(), "", "secret pw"},
        {"file:" + (root() / "bare.txt").string(), "", "secret pw"},
        {"file:" + (root() / "longest.txt").string(), "", longest},
        {"file:" + (root() / "empty-line.txt").string(), "", ""},
        {"fd:" + std::to_string(fd), "", "secret pw"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source + " " + c.variable_value);
        fs::remove(enc() / "out.qv");
        std::vector<std::pair<std::string, std::string>> environment{{SOURCE, c.source}};
        if (!c.variable_value.empty()) environment.emplace_back("QV_PW", c.variable_value);
        const auto result = run_program({"plan.txt", "out.qv", "-"}, enc(), with(environment));
        EXPECT_EQ(result.output, encrypt_output("plan.txt"));
        EXPECT_EQ(result.exit_code, 0);
        expect_decrypts_with(c.password);
    }
    ::close(fd);
}

// "-" is the one-byte password "-" unless the variable is set; any other argument is the
// password even with the variable set, so a variable left in a profile changes nothing.
TEST_F(PasswordSourceTest, TheArgumentStandsUnlessItIsADashAndTheVariableIsSet) {
    const auto dash = run({"plan.txt", "out.qv", "-"}, enc());
    EXPECT_EQ(dash.output, encrypt_output("plan.txt"));
    EXPECT_EQ(dash.exit_code, 0);
    expect_decrypts_with("-");

    fs::remove(enc() / "out.qv");
    const auto typed = run_program({"plan.txt", "out.qv", "typed"}, enc(),
                                   with({{SOURCE, "env:QV_PW"}, {"QV_PW", "from variable"}}));
    EXPECT_EQ(typed.output, encrypt_output("plan.txt"));
    EXPECT_EQ(typed.exit_code, 0);
    expect_decrypts_with("typed");
}

TEST_F(PasswordSourceTest, UnreadableSourcesStopBeforeAnythingIsTouched) {
    fs::create_directories(root() / "a folder");
    const std::string sources[] = {
        "file:" + (root() / "no-such-file").string(),
        "file:" + (root() / "a folder").string(),
        "file:",
        "fd:57",
        "fd:-1",
        "fd:3x",
        "fd:",
        "env:QV_NOT_SET",
        "env:",
        "pass:secret",
        "TTY",
        "",
    };
    for (const auto& source : sources) {
        SCOPED_TRACE(source);
        const auto result =
            run_program({"plan.txt", "out.qv", "-", "new.key"}, enc(), with({{SOURCE, source}}));
        expect_stopped(result, "Error! Can't read the password from '" + source + "'.");
    }
    // A prompt needs a terminal; this run has none.
    const auto no_terminal = run_in_session({"plan.txt", "out.qv", "-", "new.key"}, enc(),
                                            with({{SOURCE, "tty"}}), std::nullopt);
    expect_stopped(no_terminal.run, "Error! Can't read the password from 'tty'.");
}

TEST_F(PasswordSourceTest, ALineLongerThanAPasswordIsRefused) {
    const std::string too_long(MAX_PASSWORD_SIZE + 1, 'p');
    write_file(root() / "long.txt", too_long + "\n");
    for (const auto& [source, value] : std::vector<std::pair<std::string, std::string>>{
             {"file:" + (root() / "long.txt").string(), ""},
             {"env:QV_PW", too_long + "\r\n"},
             {"env:QV_PW", std::string(10000, 'p')}}) {
        SCOPED_TRACE(source);
        const auto result = run_program({"plan.txt", "out.qv", "-", "new.key"}, enc(),
                                        with({{SOURCE, source}, {"QV_PW", value}}));
        expect_stopped(result, "Error! Password is longer than 255 bytes.");
    }
}

TEST_F(PasswordSourceTest, TheTerminalIsAskedTwiceWhenEncryptingAndOnceWhenDecrypting) {
    const auto encrypted =
        run_in_session({"plan.txt", "out.qv", "-"}, enc(), with({{SOURCE, "tty"}}),
                       std::vector<std::string>{"typed pw", "typed pw"});
    EXPECT_EQ(encrypted.run.output, encrypt_output("plan.txt"));
    EXPECT_EQ(encrypted.run.exit_code, 0);
    // Only the prompts and the line ends reach the terminal: nothing typed is echoed.
    EXPECT_EQ(encrypted.terminal, "Password: \r\nRepeat the password: \r\n");
    EXPECT_TRUE(encrypted.echo_after);
    expect_decrypts_with("typed pw");

    fs::remove(dec() / "plan.txt");
    const auto decrypted = run_in_session({"out.qv", "x", "-"}, dec(), with({{SOURCE, "tty"}}),
                                          std::vector<std::string>{"typed pw"});
    EXPECT_EQ(decrypted.run.output, DECRYPT_OK);
    EXPECT_EQ(decrypted.run.exit_code, 0);
    EXPECT_EQ(decrypted.terminal, "Password: \r\n");
    EXPECT_EQ(read_file(dec() / "plan.txt"), to_bytes(PLAN));
}

TEST_F(PasswordSourceTest, AnEmptyAnswerAtThePromptIsRefusedAndAskedAgain) {
    const std::string refused = "An empty password is refused; type one.\r\nPassword: \r\n";
    const auto encrypted =
        run_in_session({"plan.txt", "out.qv", "-"}, enc(), with({{SOURCE, "tty"}}),
                       std::vector<std::string>{"", "", "typed pw", "typed pw"});
    EXPECT_EQ(encrypted.run.output, encrypt_output("plan.txt"));
    EXPECT_EQ(encrypted.run.exit_code, 0);
    EXPECT_EQ(encrypted.terminal,
              "Password: \r\n" + refused + refused + "Repeat the password: \r\n");
    expect_decrypts_with("typed pw");

    fs::remove(dec() / "plan.txt");
    const auto decrypted = run_in_session({"out.qv", "x", "-"}, dec(), with({{SOURCE, "tty"}}),
                                          std::vector<std::string>{"", "typed pw"});
    EXPECT_EQ(decrypted.run.output, DECRYPT_OK);
    EXPECT_EQ(decrypted.terminal, "Password: \r\n" + refused);
    EXPECT_EQ(read_file(dec() / "plan.txt"), to_bytes(PLAN));

    // An empty repeat is a mismatch like any other: the run stops.
    fs::remove(enc() / "out.qv");
    const auto empty_repeat =
        run_in_session({"plan.txt", "out.qv", "-"}, enc(), with({{SOURCE, "tty"}}),
                       std::vector<std::string>{"typed pw", ""});
    expect_stopped(empty_repeat.run, "Error! The passwords typed do not match.");
}

TEST_F(PasswordSourceTest, DifferentAnswersOrAnInterruptAtThePromptTouchNothing) {
    const auto differ =
        run_in_session({"plan.txt", "out.qv", "-", "new.key"}, enc(), with({{SOURCE, "tty"}}),
                       std::vector<std::string>{"typed pw", "typo pw"});
    expect_stopped(differ.run, "Error! The passwords typed do not match.");
    EXPECT_TRUE(differ.echo_after);

    const auto interrupted =
        run_in_session({"plan.txt", "out.qv", "-", "new.key"}, enc(), with({{SOURCE, "tty"}}),
                       std::vector<std::string>{"typed pw", ""}, SIGINT);
    // Standard output is a pipe here: what was still buffered goes down with the process.
    EXPECT_EQ(interrupted.run.output.find("assword"), std::string::npos);
    EXPECT_EQ(interrupted.run.term_signal, SIGINT);
    EXPECT_TRUE(interrupted.echo_after) << "the terminal was left without echo";
    EXPECT_FALSE(exists(enc() / "out.qv"));
    EXPECT_FALSE(exists(enc() / "new.key"));
}

// The archiver, started while the run is under way, reads its parent's command line.
TEST_F(PasswordSourceTest, ThePasswordArgumentIsOverwrittenInTheCommandLine) {
    const std::string path =
        stand_in_archiver("recording-bin",
                          "if [ \"$1\" = a ]; then\n"
                          "  tr '\\0' '\\n' < /proc/$PPID/cmdline > ../cmdline.txt\n"
                          "  for last; do :; done; exec cp -- \"$last\" \"$2\"\n"
                          "fi");
    const auto result = run({"plan.txt", "out.qv", "secret pw"}, enc(), path);
    EXPECT_EQ(result.output, encrypt_output("plan.txt"));
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(read_file(root() / "cmdline.txt"),
              to_bytes(std::string(QUORVEL_BINARY) + "\nplan.txt\nout.qv\nxxxxxxxxx\n"));
    // The password itself was used: its check block verifies (the stand-in extracts nothing).
    const auto decrypted = run({"out.qv", "x", "secret pw"}, enc(), path);
    EXPECT_EQ(decrypted.output, DECRYPT_OK);
}

}  // namespace
}  // namespace quorvel::test
