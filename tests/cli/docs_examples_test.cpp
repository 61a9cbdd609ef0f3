// Every example of the README and the man page, run as written with the built program in a
// scratch folder: the real archiver (kept quiet), a stand-in for ssh that runs the command
// here, and a terminal on which a stand-in user types the password whenever one is asked.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>

#include "cli/cli_fixture.h"
#include "cli/terminal.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;

const std::string TYPED_PASSWORD = "doc pw";

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A command line that runs quorvel, at its start or after a pipe, behind any variables set
// for it. A synopsis names its arguments (in_fname, ...), which an example never does.
bool runs_quorvel(const std::string& line) {
    static const std::regex command(R"((^|\|\s*)(export\s|([A-Z_]+=("[^"]*"|\S*)\s+)*quorvel\s))");
    return std::regex_search(line, command) && line.find("in_fname") == std::string::npos;
}

// The README's examples: each ```sh block's quorvel lines as one script, and each inline code
// span that runs quorvel as another, in the order they appear.
std::vector<std::string> readme_examples(const std::string& text) {
    std::vector<std::string> scripts;
    std::istringstream lines(text);
    std::string line;
    bool in_block = false;
    std::string block;
    while (std::getline(lines, line)) {
        if (line.starts_with("```")) {
            if (in_block && !block.empty()) scripts.push_back(block);
            in_block = !in_block;
            block.clear();
            continue;
        }
        if (in_block) {
            if (runs_quorvel(line)) block += line + "\n";
            continue;
        }
        static const std::regex span("`([^`]+)`");
        for (std::sregex_iterator it(line.begin(), line.end(), span), end; it != end; ++it) {
            const std::string code = (*it)[1];
            if (runs_quorvel(code)) scripts.push_back(code + "\n");
        }
    }
    return scripts;
}

// The man page's examples: each .nf ... .fi block of EXAMPLES as one script, its roff escapes
// turned back into the characters a user types.
std::vector<std::string> man_page_examples(const std::string& text) {
    std::vector<std::string> scripts;
    std::istringstream lines(text);
    std::string line;
    bool in_examples = false;
    bool in_block = false;
    std::string block;
    while (std::getline(lines, line)) {
        if (line.starts_with(".SH ")) in_examples = line == ".SH EXAMPLES";
        if (!in_examples) continue;
        if (line == ".nf") {
            in_block = true;
            block.clear();
        } else if (line == ".fi") {
            in_block = false;
            if (!block.empty()) scripts.push_back(block);
        } else if (in_block && !line.starts_with(".")) {
            line = std::regex_replace(line, std::regex(R"(\\-)"), "-");
            line = std::regex_replace(line, std::regex(R"(\\\(aq)"), "'");
            block += line + "\n";
        }
    }
    return scripts;
}

struct ScriptRun {
    int exit_code = -1;
    std::string output;
    std::string errors;
    int prompts = 0;
};

// Runs `script` with bash (errexit, pipefail) in `folder`, in a session whose controlling
// terminal is a pseudo-terminal; each password prompt there gets TYPED_PASSWORD.
ScriptRun run_script(const std::string& script, const fs::path& folder,
                     const std::vector<std::pair<std::string, std::string>>& environment) {
    const PseudoTerminal pty;
    int out_pipe[2];
    int err_pipe[2];
    if (::pipe(out_pipe) != 0 || ::pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
    const pid_t child = ::fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        pty.become_controlling_terminal_of_child();
        ::dup2(pty.terminal(), STDIN_FILENO);
        ::dup2(out_pipe[1], STDOUT_FILENO);
        ::dup2(err_pipe[1], STDERR_FILENO);
        for (const int fd :
             {pty.terminal(), pty.master(), out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) {
            ::close(fd);
        }
        if (::chdir(folder.c_str()) != 0) ::_exit(126);
        for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
        ::execl("/bin/bash", "bash", "-e", "-o", "pipefail", "-c", script.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    ScriptRun result;
    std::string terminal_text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    bool out_open = true;
    bool err_open = true;
    while ((out_open || err_open) && std::chrono::steady_clock::now() < deadline) {
        pollfd fds[3] = {{out_open ? out_pipe[0] : -1, POLLIN, 0},
                         {err_open ? err_pipe[0] : -1, POLLIN, 0},
                         {pty.master(), POLLIN, 0}};
        if (::poll(fds, 3, 200) < 0) continue;
        char chunk[4096];
        if (fds[0].revents != 0) {
            const ssize_t got = ::read(out_pipe[0], chunk, sizeof chunk);
            if (got <= 0)
                out_open = false;
            else
                result.output.append(chunk, static_cast<std::size_t>(got));
        }
        if (fds[1].revents != 0) {
            const ssize_t got = ::read(err_pipe[0], chunk, sizeof chunk);
            if (got <= 0)
                err_open = false;
            else
                result.errors.append(chunk, static_cast<std::size_t>(got));
        }
        if (fds[2].revents & POLLIN) {
            const ssize_t got = ::read(pty.master(), chunk, sizeof chunk);
            if (got > 0) terminal_text.append(chunk, static_cast<std::size_t>(got));
        }
        for (std::size_t at; (at = terminal_text.find("assword: ")) != std::string::npos;) {
            terminal_text.erase(0, at + 1);
            EXPECT_TRUE(pty.type(TYPED_PASSWORD + "\n"));
            ++result.prompts;
        }
    }
    if (out_open || err_open) ::kill(-child, SIGKILL);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    return result;
}

class DocsExamplesTest : public CliTest {
protected:
    DocsExamplesTest() {
        const fs::path bin = root() / "bin";
        fs::create_directories(bin);
        fs::create_symlink(QUORVEL_BINARY, bin / "quorvel");
        // "ssh host COMMAND..." runs COMMAND here.
        write_script(bin, "ssh", "shift\nexec sh -c \"$*\"");
        path_ = bin.string() + ":" + options().path_env.value() + ":/usr/bin:/bin";
        write_file(root() / ".plan-pw", TYPED_PASSWORD + "\n");
        write_file(enc() / "plan.txt", std::string("the plans"));
        fs::create_directories(enc() / "my docs" / "sub");
        write_file(enc() / "my docs" / "a.txt", std::string("first"));
        write_file(enc() / "my docs" / "sub" / "b.txt", std::string("second"));
        write_file(enc() / "notes.txt", std::string("%quorvel% begins my notes"));
    }

    // Runs each script in order in enc(), and checks that it ends with status 0, prints no
    // error and falls into none of the traps a warning points out.
    void run_all(const std::vector<std::string>& scripts) {
        for (const auto& script : scripts) {
            SCOPED_TRACE(script);
            const auto result =
                run_script(script, enc(), {{"PATH", path_}, {"HOME", root().string()}});
            EXPECT_EQ(result.exit_code, 0) << result.output << result.errors;
            EXPECT_EQ(result.output.find("Error"), std::string::npos) << result.output;
            EXPECT_EQ(result.output.find("Decrypt WRONG!\n"), std::string::npos) << result.output;
            EXPECT_EQ(result.errors.find("the password is the one character '-'"),
                      std::string::npos);
            EXPECT_EQ(result.errors.find("are ignored"), std::string::npos);
            // Only an example that asks on the terminal gets a typed password.
            EXPECT_EQ(result.prompts > 0,
                      script.find("QUORVEL_PASSWORD_FROM=tty") != std::string::npos);
        }
        EXPECT_EQ(read_file(enc() / "plan.txt"), to_bytes("the plans"));
        EXPECT_FALSE(exists(enc() / TEMP_ARCHIVE));
    }

private:
    std::string path_;
};

TEST_F(DocsExamplesTest, EveryReadmeExampleRunsAsWritten) {
    const auto scripts = readme_examples(read_text(fs::path(QUORVEL_SOURCE_DIR) / "README.md"));
    // The usage block and both pipe examples are among them.
    std::string all;
    for (const auto& script : scripts) all += script;
    EXPECT_NE(all.find("quorvel \"my docs\" docs.qv secret"), std::string::npos) << all;
    EXPECT_NE(all.find("| ssh host 'cat > plan.qv'"), std::string::npos) << all;
    EXPECT_NE(all.find("| QUORVEL_PASSWORD_FROM=tty quorvel /dev/stdin x -"), std::string::npos)
        << all;
    run_all(scripts);
    EXPECT_TRUE(exists(enc() / "docs.qv"));
    EXPECT_EQ(fs::file_size(enc() / "my.key"), 3072u);
}

TEST_F(DocsExamplesTest, EveryManPageExampleRunsAsWritten) {
    const auto scripts = man_page_examples(read_text(fs::path(QUORVEL_SOURCE_DIR) / "quorvel.1"));
    std::string all;
    for (const auto& script : scripts) all += script;
    EXPECT_NE(all.find("quorvel plan.qv x secret my.key"), std::string::npos) << all;
    EXPECT_NE(all.find("export QUORVEL_PASSWORD_FROM=tty"), std::string::npos) << all;
    run_all(scripts);
    // The extraction into "restored" kept the folder's files.
    EXPECT_EQ(read_file(enc() / "restored" / "my docs" / "sub" / "b.txt"), to_bytes("second"));
    EXPECT_TRUE(exists(enc() / "notes.qv"));
}

// The man page's MESSAGES section is the reference for standard output: every text the run
// prints there (the start of each message, up to the first name in it) is in the page. Taken
// from the messages' source, so that a new message without its entry fails here.
TEST(DocsMessagesTest, TheManPageListsEveryMessage) {
    const std::string source =
        read_text(fs::path(QUORVEL_SOURCE_DIR) / "app" / "messages" / "messages.cpp");
    // The page's source with its escapes for "-", "'", '"' and "\" read as those characters.
    std::string page = read_text(fs::path(QUORVEL_SOURCE_DIR) / "quorvel.1");
    for (const auto& [escape, character] : std::vector<std::pair<std::string, std::string>>{
             {"\\-", "-"}, {"\\(aq", "'"}, {"\\(dq", "\""}, {"\\e", "\\"}}) {
        for (auto at = page.find(escape); at != std::string::npos;
             at = page.find(escape, at + character.size())) {
            page.replace(at, escape.size(), character);
        }
    }
    // Each string literal that starts a message, up to its end or its first escape ("\n").
    static const std::regex MESSAGE(
        R"re("((?:Error|Decrypt|Crypt|Cript|Key file|Test OK|List OK)[^"\\]*))re");
    int found = 0;
    for (std::sregex_iterator at(source.begin(), source.end(), MESSAGE), end; at != end; ++at) {
        ++found;
        EXPECT_NE(page.find((*at)[1].str()), std::string::npos)
            << "not in the man page: " << (*at)[1].str();
    }
    EXPECT_GT(found, 40) << "the messages' source no longer reads as expected";
}

}  // namespace
}  // namespace quorvel::test
