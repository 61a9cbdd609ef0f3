// The password given through QUORVEL_PASSWORD_FROM as a user gives it: from another variable,
// a file, an open descriptor or the terminal (a pseudo-terminal that is the run's controlling
// terminal), and the argument left as it was whenever that variable does not apply.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>

#include "app/signals/signals_posix.h"
#include "cipher/key_schedule.h"
#include "cli/cli_fixture.h"
#include "cli/file_checks.h"
#include "cli/terminal.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string SOURCE = "QUORVEL_PASSWORD_FROM";
const std::string PLAN = "the plans";

struct SessionRun {
    ProgramRun run;
    std::string terminal;     // everything the program wrote to the terminal, echo included
    bool echo_after = false;  // the terminal echoes again after the run
};

// Runs the program in a session of its own. With `answers`, a pseudo-terminal is that
// session's controlling terminal (its /dev/tty), and each answer is typed, with a line end,
// after the next prompt shows; `interrupt` is then sent instead of the last answer when it is
// not 0. Without `answers` the run has no terminal at all.
SessionRun run_in_session(const std::vector<std::string>& args, const fs::path& folder,
                          const RunOptions& options,
                          const std::optional<std::vector<std::string>>& answers,
                          int interrupt = 0) {
    std::optional<PseudoTerminal> pty;
    if (answers) pty.emplace();
    int pipe_ends[2];
    if (::pipe(pipe_ends) != 0) throw std::runtime_error("pipe failed");
    const pid_t child = ::fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        if (pty) {
            pty->become_controlling_terminal_of_child();
            ::close(pty->terminal());
            ::close(pty->master());
        } else {
            ::setsid();
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
                if (!pty->read(result.terminal, 10000)) break;
            }
            if (interrupt != 0 && i + 1 == answers->size()) {
                ::kill(child, interrupt);
            } else {
                EXPECT_TRUE(pty->type((*answers)[i] + "\n"));
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
    if (pty) {
        while (pty->read(result.terminal, 0)) {
        }
        result.echo_after = pty->echo_on();
    }
    return result;
}

// Where a PromptSession starts the program: as `quorvel ...` or as `quorvel ... &`.
enum class Job { foreground, background };

// The program at a prompt on a pseudo-terminal, as under a shell with job control: a session
// leader holds the terminal and waits, while the program runs in a process group of its own,
// in the foreground or in the background until bring_to_foreground(). (A group whose only
// member leads the session is orphaned, and the system would discard stop signals sent to it.)
class PromptSession {
public:
    PromptSession(const std::vector<std::string>& args, const fs::path& folder,
                  const RunOptions& options, Job job = Job::foreground) {
        int output[2];
        int pid_pipe[2];
        int go_pipe[2];
        if (::pipe(output) != 0 || ::pipe(pid_pipe) != 0 || ::pipe(go_pipe) != 0) {
            throw std::runtime_error("no pipe");
        }
        leader_ = ::fork();
        if (leader_ < 0) throw std::runtime_error("fork failed");
        if (leader_ == 0) {
            pty_.become_controlling_terminal_of_child();
            const pid_t program = ::fork();
            if (program == 0) {
                ::setpgid(0, 0);
                ::dup2(output[1], STDOUT_FILENO);
                for (const int fd : {output[0], output[1], pid_pipe[0], pid_pipe[1], go_pipe[0],
                                     go_pipe[1], pty_.master(), pty_.terminal()}) {
                    ::close(fd);
                }
                become_program(args, folder, options);
            }
            ::setpgid(program, program);
            ::signal(SIGTTOU, SIG_IGN);
            if (job == Job::foreground) ::tcsetpgrp(pty_.terminal(), program);
            if (::write(pid_pipe[1], &program, sizeof program) != sizeof program) ::_exit(126);
            for (const int fd : {output[0], output[1], pid_pipe[0], pid_pipe[1], go_pipe[1]}) {
                ::close(fd);
            }
            // As `fg` does, once the test says so; the test closing its end says it never will.
            char go = 0;
            if (job == Job::background && ::read(go_pipe[0], &go, 1) == 1) {
                ::tcsetpgrp(pty_.terminal(), program);
                ::kill(-program, SIGCONT);
            }
            ::close(go_pipe[0]);
            // The program's end, as an exit status: 100 + the signal that ended it.
            int status = 0;
            while (::waitpid(program, &status, 0) < 0 && errno == EINTR) {
            }
            ::_exit(WIFSIGNALED(status) ? 100 + WTERMSIG(status) : WEXITSTATUS(status));
        }
        ::close(output[1]);
        ::close(pid_pipe[1]);
        ::close(go_pipe[0]);
        go_ = go_pipe[1];
        output_ = output[0];
        if (::read(pid_pipe[0], &program_, sizeof program_) != sizeof program_) program_ = -1;
        ::close(pid_pipe[0]);
    }

    ~PromptSession() {
        if (leader_ > 0) {
            if (program_ > 0) ::kill(program_, SIGKILL);
            finish();
        }
    }

    PromptSession(const PromptSession&) = delete;
    PromptSession& operator=(const PromptSession&) = delete;

    // Reads the terminal until it has shown `count` prompts in all (ten seconds at most).
    bool wait_for_prompts(std::size_t count) {
        while (count_prompts(terminal_text) < count) {
            if (!pty_.read(terminal_text, 10000)) return false;
        }
        return true;
    }

    void type(const std::string& text) const { EXPECT_TRUE(pty_.type(text)); }

    void send_signal(int signal_number) const { ::kill(program_, signal_number); }

    // Waits up to ten seconds for the program to be stopped (or, with false, running again).
    bool wait_stopped(bool stopped) const {
        return wait_until([&] { return (program_state() == 'T') == stopped; });
    }

    // Waits up to ten seconds for the program to end.
    bool wait_ended() const {
        return wait_until([&] { return program_state() == 'Z' || program_state() == 0; });
    }

    // Gives the terminal to the program's process group and continues it, as `fg` does.
    void bring_to_foreground() const {
        const char go = 1;
        EXPECT_EQ(::write(go_, &go, 1), 1);
    }

    // Reads what the terminal has shown by now into terminal_text.
    void read_shown() {
        while (pty_.read(terminal_text, 100)) {
        }
    }

    bool echo_on() const { return pty_.echo_on(); }

    int program_pid() const { return program_; }

    // Reads the program's output to its end and waits for it.
    ProgramRun finish() {
        if (go_ >= 0) ::close(go_);
        go_ = -1;
        ProgramRun run;
        char chunk[4096];
        for (ssize_t got; output_ >= 0 && (got = ::read(output_, chunk, sizeof chunk)) != 0;) {
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) break;
            run.output.append(chunk, static_cast<std::size_t>(got));
        }
        if (output_ >= 0) ::close(output_);
        output_ = -1;
        int status = 0;
        while (::waitpid(leader_, &status, 0) < 0 && errno == EINTR) {
        }
        leader_ = -1;
        program_ = -1;
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.exit_code = code >= 100 ? -1 : code;
        run.term_signal = code >= 100 ? code - 100 : 0;
        while (pty_.read(terminal_text, 0)) {
        }
        return run;
    }

    std::string terminal_text;  // everything shown on the terminal so far, echo included

private:
    // The program's state letter in /proc (R, S, T, Z, ...), 0 when it is gone.
    char program_state() const {
        std::ifstream stat("/proc/" + std::to_string(program_) + "/stat");
        std::string line;
        std::getline(stat, line);
        const auto name_end = line.rfind(')');
        if (name_end == std::string::npos || name_end + 2 >= line.size()) return 0;
        return line[name_end + 2];
    }

    PseudoTerminal pty_;
    int go_ = -1;  // the leader's word to bring the program to the foreground
    int output_ = -1;
    pid_t leader_ = -1;
    pid_t program_ = -1;
};

// In the child: every descriptor number below `count` open (on standard input's file), so that
// the next one opened gets `count` or above. Ends the child with status 126 if that fails.
void occupy_descriptors_below(int count) {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::max(limit.rlim_cur, std::min(limit.rlim_max, rlim_t(count) * 2));
    ::setrlimit(RLIMIT_NOFILE, &limit);
    for (int fd = 0; fd < count; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0 && ::dup2(STDIN_FILENO, fd) != fd) ::_exit(126);
    }
}

// In the child: the controlling terminal as standard input, where 7-Zip reads its questions'
// answers. Ends the child with status 126 if that fails.
void terminal_as_standard_input() {
    const int terminal = ::open("/dev/tty", O_RDWR);
    if (terminal < 0 || ::dup2(terminal, STDIN_FILENO) != STDIN_FILENO) ::_exit(126);
    ::close(terminal);
}

// The first child of process `pid`, 0 for none.
int first_child_of(int pid) {
    std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) +
                           "/children");
    int child = 0;
    children >> child;
    return child;
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

    // A typed empty argument is the empty password, whatever the variable holds.
    fs::remove(enc() / "out.qv");
    const auto empty = run_program({"plan.txt", "out.qv", ""}, enc(),
                                   with({{SOURCE, "env:QV_PW"}, {"QV_PW", ""}}));
    EXPECT_EQ(empty.output, encrypt_output("plan.txt"));
    EXPECT_EQ(empty.exit_code, 0);
    expect_decrypts_with("");
}

// The password argument: empty, 255 bytes, or bytes that are not UTF-8; one byte more is refused.
TEST_F(PasswordSourceTest, PasswordLengths) {
    write_file(enc() / "plan.txt", "some plans");
    for (const std::size_t length : {0u, 255u}) {
        const std::string password(length, 'p');
        ASSERT_EQ(run({"plan.txt", "plan.qv", password}, enc()).exit_code, 0) << length;
        const auto decrypted = run({(enc() / "plan.qv").string(), "x", password}, dec());
        EXPECT_EQ(decrypted.output, DECRYPT_OK) << length;
        fs::remove(dec() / "plan.txt");
    }
    const auto too_long = run({"plan.txt", "long.qv", std::string(256, 'p')}, enc());
    EXPECT_EQ(too_long.output, "Error! Password is longer than 255 bytes.\n");
    EXPECT_EQ(too_long.exit_code, 1);
    EXPECT_FALSE(exists(enc() / "long.qv"));

    // Bytes that are not UTF-8 are just bytes.
    const std::string raw = "\xff\xfe\x80pw";
    ASSERT_EQ(run({"plan.txt", "raw.qv", raw}, enc()).exit_code, 0);
    EXPECT_EQ(run({(enc() / "raw.qv").string(), "x", raw}, dec()).output, DECRYPT_OK);
}

TEST_F(PasswordSourceTest, UnreadableSourcesStopBeforeAnythingIsTouched) {
    fs::create_directories(root() / "a folder");
    write_file(root() / "empty.txt", "");
    write_file(root() / "empty-line.txt", "\nsecret pw\n");
    write_file(root() / "crlf-line.txt", "\r\nsecret pw\r\n");
    write_file(root() / "cr-only.txt", "\r");  // an empty line from an editor ending lines in CR
    // Descriptors inherited by the run: a file at its end, the null device, a pipe whose
    // writer has gone (a `3< <(pass show ...)` whose command printed nothing).
    const int empty_fd = ::open((root() / "empty.txt").c_str(), O_RDONLY);
    const int null_fd = ::open("/dev/null", O_RDONLY);
    int pipe_ends[2];
    ASSERT_EQ(::pipe(pipe_ends), 0);
    ::close(pipe_ends[1]);
    ASSERT_GE(empty_fd, 0);
    ASSERT_GE(null_fd, 0);
    // Sources that give no password: an empty one is not taken as the empty password.
    const std::pair<std::string, std::string> empty_sources[] = {
        {"file:" + (root() / "empty.txt").string(), ""},
        {"file:/dev/null", ""},
        {"file:" + (root() / "empty-line.txt").string(), ""},
        {"file:" + (root() / "crlf-line.txt").string(), ""},
        {"file:" + (root() / "cr-only.txt").string(), ""},
        {"fd:" + std::to_string(empty_fd), ""},
        {"fd:" + std::to_string(null_fd), ""},
        {"fd:" + std::to_string(pipe_ends[0]), ""},
        {"env:QV_PW", ""},
        {"env:QV_PW", "\nsecret pw"},
        {"env:QV_PW", "\r"},
    };
    for (const auto& [source, value] : empty_sources) {
        SCOPED_TRACE(source + " QV_PW='" + value + "'");
        const auto before = record_folder(root());
        const auto result = run_program({"plan.txt", "out.qv", "-", "new.key"}, enc(),
                                        with({{SOURCE, source}, {"QV_PW", value}}));
        expect_stopped(result, "Error! Can't read the password from '" + source + "'.");
        EXPECT_EQ(folder_changes(before, record_folder(root())), "");
    }
    ::close(empty_fd);
    ::close(null_fd);
    ::close(pipe_ends[0]);
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
    // An empty answer at the prompt is asked again instead (see
    // AnEmptyAnswerAtThePromptIsRefusedAndAskedAgain).
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

    // An empty repeat is a mismatch like any other: the pair is asked again, three times in
    // all, and the run stops after the third.
    fs::remove(enc() / "out.qv");
    const auto empty_repeat =
        run_in_session({"plan.txt", "out.qv", "-"}, enc(), with({{SOURCE, "tty"}}),
                       std::vector<std::string>{"typed pw", "", "typed pw", "", "typed pw", ""});
    expect_stopped(empty_repeat.run, "Error! The passwords typed do not match.");
}

TEST_F(PasswordSourceTest, DifferentAnswersAreAskedAgainThreeTimesInAll) {
    const std::string again = "The passwords typed differ; type them again.\r\nPassword: \r\n";
    const std::string repeat = "Repeat the password: \r\n";
    const auto second_time =
        run_in_session({"plan.txt", "out.qv", "-"}, enc(), with({{SOURCE, "tty"}}),
                       std::vector<std::string>{"typed pw", "typo pw", "typed pw", "typed pw"});
    EXPECT_EQ(second_time.run.output, encrypt_output("plan.txt"));
    EXPECT_EQ(second_time.run.exit_code, 0);
    EXPECT_EQ(second_time.terminal, "Password: \r\n" + repeat + again + repeat);
    expect_decrypts_with("typed pw");
}

TEST_F(PasswordSourceTest, DifferentAnswersOrAnInterruptAtThePromptTouchNothing) {
    const auto differ = run_in_session(
        {"plan.txt", "out.qv", "-", "new.key"}, enc(), with({{SOURCE, "tty"}}),
        std::vector<std::string>{"typed pw", "typo pw", "a", "b", "typed pw", "typo pw"});
    expect_stopped(differ.run, "Error! The passwords typed do not match.");
    EXPECT_EQ(count_prompts(differ.terminal), 6u);
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

// At either question, half an answer typed: the terminal echoes again, the run ends by the
// signal, and the folder is as it was (no key file, no output, no archive).
TEST_F(PasswordSourceTest, EachEndingSignalAtThePromptGivesTheTerminalBackAndEndsTheRunByIt) {
    const auto before = record_folder(enc());
    std::vector<SignalCase> signals(std::begin(ENDING_SIGNALS), std::end(ENDING_SIGNALS));
    signals.insert(signals.end(), std::begin(FAULT_SIGNALS), std::end(FAULT_SIGNALS));
    for (const std::size_t question : {1u, 2u}) {
        for (const auto& s : signals) {
            SCOPED_TRACE(std::string(s.label) + " at question " + std::to_string(question));
            auto options = with({{SOURCE, "tty"}});
            options.in_child = forbid_core_files;
            PromptSession session({"plan.txt", "out.qv", "-", "new.key"}, enc(), options);
            ASSERT_TRUE(session.wait_for_prompts(1));
            if (question == 2) {
                session.type("typed pw\n");
                ASSERT_TRUE(session.wait_for_prompts(2));
            }
            session.type("half an ans");
            session.send_signal(s.signal_number);
            const auto result = session.finish();
            EXPECT_EQ(result.term_signal, s.signal_number) << "exit status " << result.exit_code;
            EXPECT_TRUE(session.echo_on()) << "the terminal was left without echo";
            EXPECT_EQ(session.terminal_text.find("typed"), std::string::npos);
            EXPECT_EQ(folder_changes(before, record_folder(enc())), "");
        }
    }
}

// A stop (Ctrl+Z, or a background read or write) at the prompt gives the terminal back while
// the run is stopped; on continue echo is off again and the question is asked afresh, what
// was typed before the stop dropped.
TEST_F(PasswordSourceTest, AStopAtThePromptGivesTheTerminalBackAndAsksAfreshOnContinue) {
    for (const auto& s : std::vector<SignalCase>{
             {"SIGTSTP", SIGTSTP}, {"SIGTTIN", SIGTTIN}, {"SIGTTOU", SIGTTOU}}) {
        SCOPED_TRACE(s.label);
        fs::remove(enc() / "out.qv");
        PromptSession session({"plan.txt", "out.qv", "-"}, enc(), with({{SOURCE, "tty"}}));
        ASSERT_TRUE(session.wait_for_prompts(1));
        EXPECT_FALSE(session.echo_on());
        session.type("dropped");
        session.send_signal(s.signal_number);
        ASSERT_TRUE(session.wait_stopped(true));
        EXPECT_TRUE(session.echo_on()) << "stopped with the terminal silent";
        session.send_signal(SIGCONT);
        ASSERT_TRUE(session.wait_for_prompts(2)) << session.terminal_text;
        EXPECT_FALSE(session.echo_on()) << "asked again with echo on";
        session.type("typed pw\n");
        ASSERT_TRUE(session.wait_for_prompts(3));
        session.type("typed pw\n");
        const auto result = session.finish();
        EXPECT_EQ(result.output, encrypt_output("plan.txt"));
        EXPECT_EQ(result.exit_code, 0);
        EXPECT_EQ(session.terminal_text, "Password: Password: \r\nRepeat the password: \r\n");
        EXPECT_TRUE(session.echo_on());
        expect_decrypts_with("typed pw");
    }
}

// A run that inherits many open descriptors opens its terminal at a number above FD_SETSIZE
// (1024), which no fd_set can hold.
TEST_F(PasswordSourceTest, ThePromptWorksWithTheTerminalAboveDescriptor1024) {
    auto options = with({{SOURCE, "tty"}});
    options.in_child = [] { occupy_descriptors_below(1100); };
    const auto encrypted = run_in_session({"plan.txt", "out.qv", "-"}, enc(), options,
                                          std::vector<std::string>{"typed pw", "typed pw"});
    EXPECT_EQ(encrypted.run.output, encrypt_output("plan.txt"));
    EXPECT_EQ(encrypted.run.exit_code, 0);
    EXPECT_EQ(encrypted.terminal, "Password: \r\nRepeat the password: \r\n");
    EXPECT_TRUE(encrypted.echo_after);
    expect_decrypts_with("typed pw");
}

// `quorvel ... &` with the password from the terminal: the terminal is the shell's until the
// run is brought to the foreground. Meanwhile the run shows nothing there and changes nothing;
// it stops, as a program that needs its terminal from the background does, and asks once it
// is in the foreground. A run that cannot be stopped (SIGTTOU ignored from the start) finds
// the password unreadable instead.
TEST_F(PasswordSourceTest, ARunInTheBackgroundWaitsForTheForegroundBeforeTouchingTheTerminal) {
    PromptSession session({"plan.txt", "out.qv", "-"}, enc(), with({{SOURCE, "tty"}}),
                          Job::background);
    ASSERT_TRUE(session.wait_stopped(true));
    session.read_shown();
    EXPECT_EQ(session.terminal_text, "");
    EXPECT_TRUE(session.echo_on()) << "echo turned off under the shell";
    session.bring_to_foreground();
    ASSERT_TRUE(session.wait_for_prompts(1)) << session.terminal_text;
    EXPECT_FALSE(session.echo_on());
    session.type("typed pw\n");
    ASSERT_TRUE(session.wait_for_prompts(2));
    session.type("typed pw\n");
    const auto result = session.finish();
    EXPECT_EQ(result.output, encrypt_output("plan.txt"));
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(session.terminal_text, "Password: \r\nRepeat the password: \r\n");
    EXPECT_TRUE(session.echo_on());
    expect_decrypts_with("typed pw");

    fs::remove(enc() / "out.qv");
    auto options = with({{SOURCE, "tty"}});
    options.ignored_signal = SIGTTOU;
    PromptSession unstoppable({"plan.txt", "out.qv", "-", "new.key"}, enc(), options,
                              Job::background);
    ASSERT_TRUE(unstoppable.wait_ended());
    expect_stopped(unstoppable.finish(), "Error! Can't read the password from 'tty'.");
    EXPECT_EQ(unstoppable.terminal_text, "");
    EXPECT_TRUE(unstoppable.echo_on());
}

// 7-Zip asks at the terminal, echo off, for the password of an archive packed with one of its
// own (-p). An ending signal meanwhile, sent to the run or typed (Ctrl+C), ends 7-Zip within
// CHILD_GRACE_PERIOD though it goes on waiting for the answer, gives the terminal back with
// echo on, and leaves the folder as it was.
TEST_F(PasswordSourceTest, AnEndingSignalWhileTheArchiverAsksItsOwnPasswordEndsIt) {
    ASSERT_EQ(run_program({"plan.txt", "out.qv", "pw"}, enc(),
                          with({{"QUORVEL_PACK_SWITCHES", "-psecret"}}))
                  .exit_code,
              0);
    const struct {
        const char* how;
        int signal_number;
        std::string typed;  // typed at the terminal instead of sending the signal, when not empty
    } cases[] = {
        {"SIGTERM sent to the run", SIGTERM, ""},
        {"Ctrl+C typed", SIGINT, "\x03"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        const auto folder = fresh_folder();
        fs::copy_file(enc() / "out.qv", folder / "out.qv");
        const auto before = record_folder(folder);
        auto options = this->options();
        options.in_child = terminal_as_standard_input;
        PromptSession session({"out.qv", "x", "pw"}, folder, options);
        int archiver = 0;
        ASSERT_TRUE(wait_until([&] {
            archiver = first_child_of(session.program_pid());
            return archiver != 0 && !session.echo_on();
        })) << "7-Zip did not ask";
        const auto sent = std::chrono::steady_clock::now();
        if (c.typed.empty()) {
            session.send_signal(c.signal_number);
        } else {
            session.type(c.typed);
        }
        const bool ended = session.wait_ended();
        EXPECT_TRUE(ended) << "the run still waits for 7-Zip";
        EXPECT_LT(std::chrono::steady_clock::now() - sent, CHILD_GRACE_PERIOD + 1500ms);
        if (!ended) ::kill(archiver, SIGKILL);
        const auto result = session.finish();
        EXPECT_EQ(result.term_signal, c.signal_number) << "exit status " << result.exit_code;
        EXPECT_TRUE(session.echo_on()) << "the terminal was left without echo";
        EXPECT_EQ(folder_changes(before, record_folder(folder)), "");
        const bool archiver_gone =
            wait_until([&] { return ::kill(archiver, 0) != 0 && errno == ESRCH; });
        EXPECT_TRUE(archiver_gone) << "7-Zip outlived the run";
        if (!archiver_gone) ::kill(archiver, SIGKILL);
    }
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
