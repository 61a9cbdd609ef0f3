// Why a run failed, and what it is about to do that was probably not meant, on standard error,
// through the built program with its standard output in a pipe: standard output keeps its
// texts byte for byte, and standard error gets one line for each cause ("quorvel: error: "),
// warning ("quorvel: warning: ") and hint ("quorvel: hint: "), asserted whole.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "cli/cli_fixture.h"
#include "cli/terminal.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;

const std::string NO_SUCH_FILE = "No such file or directory";

// One run: how the folder is set up, what is typed, and what must come out of each stream.
struct Case {
    const char* label;
    std::function<void(const fs::path& folder)> set_up;
    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::string>> environment;
    std::string output;
    std::string errors;
    int exit_code;
};

// `text` with every `from` in it replaced by `to`.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

class DiagnosticsTest : public CliTest {
protected:
    // Runs `c` in a fresh folder holding "plan.txt". In what standard error says, that folder's
    // path reads FOLDER.
    ProgramRun run_case(const Case& c, const std::optional<std::string>& path_env = {}) {
        const fs::path folder = fresh_folder();
        write_file(folder / "plan.txt", std::string("the plan\n"));
        if (c.set_up) c.set_up(folder);
        RunOptions opts = options(path_env);
        opts.errors = ErrorSink::pipe;
        opts.environment = c.environment;
        // No terminal to ask on: a session of its own, without a controlling terminal.
        opts.in_child = [] { ::setsid(); };
        ProgramRun result = run_program(c.args, folder, opts);
        result.errors = replaced(result.errors, fs::canonical(folder).string(), "FOLDER");
        return result;
    }

    void expect_case(const Case& c, const std::optional<std::string>& path_env = {}) {
        SCOPED_TRACE(c.label);
        const ProgramRun result = run_case(c, path_env);
        EXPECT_EQ(result.output, c.output);
        EXPECT_EQ(result.errors, c.errors);
        EXPECT_EQ(result.exit_code, c.exit_code);
    }

    // "plan.txt" encrypted with "pw" into `folder`/`name`.
    void encrypt_plan(const fs::path& folder, const std::string& name) const {
        write_file(enc() / "plan.txt", std::string("the plan\n"));
        const ProgramRun made = run({"plan.txt", name, "pw"}, enc());
        ASSERT_EQ(made.exit_code, 0) << made.output;
        fs::rename(enc() / name, folder / name);
    }
};

TEST_F(DiagnosticsTest, EachFailureSaysItsCauseOnStandardError) {
    const auto encrypted = [this](const fs::path& folder) { encrypt_plan(folder, "plan.qv"); };
    const std::string source_error = "Crypt run\nError! Can't read the password from '";
    const Case cases[] = {
        {"an option of other tools",
         {},
         {"-d", "plan.qv", "pw"},
         {},
         "Error! File '-d' not found.\n",
         "quorvel: error: can't open '-d': " + NO_SUCH_FILE +
             "\nquorvel: hint: quorvel takes no options but --help and --version: it decrypts an "
             "input that begins with '%quorvel%' and encrypts any other; QUORVEL_MODE=encrypt, "
             "decrypt, test or list chooses instead\n",
         1},
        {"too few arguments",
         {},
         {"plan.txt", "plan.qv"},
         {},
         USAGE,
         "quorvel: error: too few arguments\nquorvel: hint: 'quorvel --help' tells how to use "
         "it\n",
         2},
        {"a source of no known form",
         {},
         {"plan.txt", "p.qv", "-"},
         {{"QUORVEL_PASSWORD_FROM", "MYPW"}},
         source_error + "MYPW'.\n",
         "quorvel: error: QUORVEL_PASSWORD_FROM holds 'MYPW', which is none of tty, file:PATH, "
         "fd:N and env:NAME\n",
         1},
        {"an unset variable",
         {},
         {"plan.txt", "p.qv", "-"},
         {{"QUORVEL_PASSWORD_FROM", "env:QV_UNSET_PW"}},
         source_error + "env:QV_UNSET_PW'.\n",
         "quorvel: error: the variable 'QV_UNSET_PW' is not set\n",
         1},
        {"a missing password file",
         {},
         {"plan.txt", "p.qv", "-"},
         {{"QUORVEL_PASSWORD_FROM", "file:pw.txt"}},
         source_error + "file:pw.txt'.\n",
         "quorvel: error: can't open 'pw.txt': " + NO_SUCH_FILE + "\n",
         1},
        {"no terminal",
         {},
         {"plan.txt", "p.qv", "-"},
         {{"QUORVEL_PASSWORD_FROM", "tty"}},
         source_error + "tty'.\n",
         "quorvel: error: there is no terminal to ask for the password on\n",
         1},
        {"a wrong password",
         encrypted,
         {"plan.qv", "x", "wrong"},
         {},
         "Decrypt process start!\nDecrypt WRONG!\n",
         "quorvel: error: the check block does not match: a wrong password, a wrong key file "
         "(or one given or left out by mistake) or a damaged file\n"
         "quorvel: hint: 'quorvelxxxfilo.7z' was kept for inspection: it holds the file as "
         "decrypted, which is not your data unless only part of the file was damaged; delete it "
         "before the next run here\n",
         1},
        {"the archive a wrong password left",
         [](const fs::path& folder) { write_file(folder / TEMP_ARCHIVE, std::string("x")); },
         {"plan.txt", "p.qv", "pw"},
         {},
         "Crypt run\nError! Temporary archive 'quorvelxxxfilo.7z' already exists; move it away and "
         "run "
         "again.\n",
         "quorvel: error: temporary archive 'quorvelxxxfilo.7z' already exists; move it away "
         "and run again\n"
         "quorvel: hint: a decryption that ended with 'Decrypt WRONG!' or 'Error unpack file' "
         "keeps 'quorvelxxxfilo.7z', the file as decrypted; delete it if you no longer need it\n",
         1},
        {"an output in a missing folder",
         {},
         {"plan.txt", "no/such.qv", "pw"},
         {},
         "Crypt run\nError! Can't create file 'no/such.qv'.\n",
         "quorvel: error: can't create 'no/such.qv': " + NO_SUCH_FILE + "\n",
         1},
        {"a folder as the output",
         {},
         {"plan.txt", ".", "pw"},
         {},
         "Crypt run\nError! Can't create file '.'.\n",
         "quorvel: error: can't create '.': Is a directory\n",
         1},
        {"a name too long",
         {},
         {"plan.txt", std::string(300, 'n'), "pw"},
         {},
         "Crypt run\nError! Can't create file '" + std::string(300, 'n') + "'.\n",
         "quorvel: error: can't create '" + std::string(300, 'n') + "': File name too long\n",
         1},
        {"a missing key file when decrypting",
         encrypted,
         {"plan.qv", "x", "pw", "my.key"},
         {},
         "Error! Key file 'my.key' not found.\n",
         "quorvel: error: key file 'my.key' not found; decryption needs the key file the file "
         "was encrypted with, and never makes one\n",
         1},
    };
    for (const Case& c : cases) expect_case(c);
}

// 7-Zip's status says why packing failed: 1 is its warning (a file it could not read), which
// fails the run all the same.
TEST_F(DiagnosticsTest, APackingFailureSaysHowTheArchiverEnded) {
    const std::string path_env = stand_in_archiver("warning-bin", "exit 1");
    expect_case({"status 1",
                 {},
                 {"plan.txt", "p.qv", "pw"},
                 {},
                 "Crypt run\n!\n7z.exe a quorvelxxxfilo.7z plan.txt\n!Error pack file 'plan.txt'\n",
                 "quorvel: error: 7-Zip could not pack 'plan.txt': it ended with status 1 (a "
                 "warning: a file that could not be read, for one)\n",
                 1},
                path_env);
}

TEST_F(DiagnosticsTest, LikelyMistakesAreWarnedOfBeforeTheWork) {
    const auto damaged = [](const fs::path& folder) {
        write_file(folder / "old.qv", std::string("%quorvex% not what it was"));
    };
    const auto encrypted = [this](const fs::path& folder) { encrypt_plan(folder, "plan.qv"); };
    const auto shared_password = [](const fs::path& folder) {
        write_file(folder / "pw.txt", std::string("pw\n"));
        fs::permissions(folder / "pw.txt", fs::perms::owner_read | fs::perms::owner_write |
                                               fs::perms::group_read | fs::perms::others_read);
    };
    const Case cases[] = {
        {"a damaged encrypted file",
         damaged,
         {"old.qv", "new.qv", "pw"},
         {},
         encrypt_output("old.qv"),
         "quorvel: warning: 'old.qv' does not begin with '%quorvel%', so it is encrypted, not "
         "decrypted; a damaged or empty encrypted file looks so; set QUORVEL_MODE=decrypt to "
         "stop instead\n",
         0},
        {"an encrypted file decrypted to a .qv name",
         encrypted,
         {"plan.qv", "plan2.qv", "pw"},
         {},
         DECRYPT_OK,
         "quorvel: warning: 'plan.qv' is encrypted, so it is decrypted, not encrypted again, "
         "and 'plan2.qv' is not used; set QUORVEL_MODE=encrypt to encrypt it again\n"
         "quorvel: hint: the files were extracted into the current folder, 'FOLDER'; the output "
         "name 'plan2.qv' is not used when decrypting\n",
         0},
        {"an output named -",
         {},
         {"plan.txt", "-", "pw"},
         {},
         encrypt_output("plan.txt"),
         "quorvel: warning: the output is a file named '-', not standard output; name "
         "/dev/fd/3 to write to a pipe\n",
         0},
        {"a password file others may read",
         shared_password,
         {"plan.txt", "p.qv", "-"},
         {{"QUORVEL_PASSWORD_FROM", "file:pw.txt"}},
         encrypt_output("plan.txt"),
         "quorvel: warning: the password file 'pw.txt' may be read by others (mode 0644); make "
         "it private with chmod 600\n",
         0},
    };
    for (const Case& c : cases) expect_case(c);
}

// "quorvel plan.txt plan.qv my secret": the second word becomes a key file that is created.
TEST_F(DiagnosticsTest, AKeyFileNamedLikeAWordIsWarnedOfBeforeItIsMade) {
    for (const std::string name : {"secret", "-q"}) {
        SCOPED_TRACE(name);
        const Case c{"", {}, {"plan.txt", "plan.qv", "my", name}, {}, "", "", 0};
        const ProgramRun result = run_case(c);
        EXPECT_EQ(result.output,
                  "Crypt run\nKey file is successfully created!\n!\n7z.exe a "
                  "quorvelxxxfilo.7z plan.txt\n!Crypt process start!\nCript "
                  "complite\n");
        EXPECT_EQ(result.exit_code, 0);
        const std::string warned = "quorvel: warning: a new key file '" + name +
                                   "' is made, but its name looks like a word of a password or "
                                   "an option; quote a password that holds spaces\n";
        EXPECT_TRUE(result.errors.starts_with(warned)) << result.errors;
    }
    const Case dotted{"", {}, {"plan.txt", "plan.qv", "pw", "my.key"}, {}, "", "", 0};
    EXPECT_EQ(run_case(dotted).errors.find("looks like a word"), std::string::npos);
}

TEST_F(DiagnosticsTest, DecryptionSaysWhereTheFilesWentUnlessTheOutputIsAPlaceholder) {
    const auto encrypted = [this](const fs::path& folder) { encrypt_plan(folder, "plan.qv"); };
    const auto hint = [](const std::string& output) {
        return "quorvel: hint: the files were extracted into the current folder, 'FOLDER'; the "
               "output name '" +
               output + "' is not used when decrypting\n";
    };
    const Case cases[] = {
        {"a name",
         encrypted,
         {"plan.qv", "restored.txt", "pw"},
         {},
         DECRYPT_OK,
         hint("restored.txt"),
         0},
        {"an empty name", encrypted, {"plan.qv", "", "pw"}, {}, DECRYPT_OK, hint(""), 0},
        {"a placeholder", encrypted, {"plan.qv", "x", "pw"}, {}, DECRYPT_OK, "", 0},
        {"a placeholder of two bytes",
         encrypted,
         {"plan.qv", "\xc3\xa9", "pw"},
         {},
         DECRYPT_OK,
         "",
         0},
        {"another folder by -o",
         encrypted,
         {"plan.qv", "restored.txt", "pw"},
         {{"QUORVEL_UNPACK_SWITCHES", "-orestored"}},
         DECRYPT_OK,
         "quorvel: hint: the files were extracted where the -o switch of "
         "QUORVEL_UNPACK_SWITCHES says; the output name 'restored.txt' is not used when "
         "decrypting\n",
         0},
    };
    for (const Case& c : cases) expect_case(c);
}

TEST_F(DiagnosticsTest, ATerminalIsRefusedAsTheOutputBeforeAnything) {
    const PseudoTerminal pty;
    const std::string terminal = ::ptsname(pty.master());
    const Case c{"", {}, {"plan.txt", terminal, "pw"}, {}, "", "", 1};
    const ProgramRun result = run_case(c);
    EXPECT_EQ(result.output, "Crypt run\nError! Output file '" + terminal + "' is a terminal.\n");
    EXPECT_EQ(result.errors, "quorvel: error: output file '" + terminal +
                                 "' is a terminal, which would show the encrypted bytes; give a "
                                 "file's name\n");
    EXPECT_EQ(result.exit_code, 1);
    std::string shown;
    EXPECT_FALSE(pty.read(shown, 0)) << "bytes reached the terminal: " << shown.size();
}

// A key given through a pipe (`<(cat my.key)`) is read once when decrypting; encrypting keeps
// refusing it, as nobody could read the same key again to decrypt.
TEST_F(DiagnosticsTest, AKeyFileFromAPipeDecryptsButNeverEncrypts) {
    write_file(enc() / "plan.txt", std::string("the plan\n"));
    ASSERT_EQ(run({"plan.txt", "plan.qv", "pw", "my.key"}, enc()).exit_code, 0);
    fs::copy_file(enc() / "plan.qv", dec() / "plan.qv");
    const Bytes key = read_file(enc() / "my.key");
    const auto through_pipe = [&](const std::vector<std::string>& args, const fs::path& folder) {
        int ends[2];
        EXPECT_EQ(::pipe(ends), 0);
        EXPECT_EQ(::write(ends[1], key.data(), key.size()), static_cast<ssize_t>(key.size()));
        ::close(ends[1]);
        RunOptions opts = options();
        opts.errors = ErrorSink::pipe;
        opts.in_child = [read_end = ends[0]] { ::dup2(read_end, 7); };
        const ProgramRun result = run_program(args, folder, opts);
        ::close(ends[0]);
        return result;
    };
    const ProgramRun decrypted = through_pipe({"plan.qv", "x", "pw", "/dev/fd/7"}, dec());
    EXPECT_EQ(decrypted.output, "Key file found." + DECRYPT_OK);
    EXPECT_EQ(decrypted.exit_code, 0);
    EXPECT_EQ(read_file(dec() / "plan.txt"), to_bytes("the plan\n"));

    const ProgramRun refused = through_pipe({"plan.txt", "again.qv", "pw", "/dev/fd/7"}, enc());
    EXPECT_EQ(refused.output, "Crypt run\nError! Key file '/dev/fd/7' is not a regular file.\n");
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_FALSE(exists(enc() / "again.qv"));

    // A pipe that gives nothing is a command that failed, not an empty key; the run's own
    // standard output as the key would wait for itself.
    fs::remove(dec() / "plan.txt");
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ::close(ends[1]);
    RunOptions opts = options();
    opts.errors = ErrorSink::pipe;
    opts.in_child = [read_end = ends[0]] { ::dup2(read_end, 7); };
    const ProgramRun empty = run_program({"plan.qv", "x", "pw", "/dev/fd/7"}, dec(), opts);
    ::close(ends[0]);
    EXPECT_EQ(empty.output, "Key file found.Error! Can't read key-file '/dev/fd/7'.\n");
    EXPECT_EQ(empty.errors, "quorvel: error: can't read key file '/dev/fd/7': No data available\n");
    EXPECT_EQ(empty.exit_code, 1);
    opts.in_child = {};
    const ProgramRun own = run_program({"plan.qv", "x", "pw", "/dev/stdout"}, dec(), opts);
    EXPECT_EQ(own.output, "Error! Key file '/dev/stdout' is not a regular file.\n");
    EXPECT_EQ(own.exit_code, 1);
    EXPECT_FALSE(exists(dec() / "plan.txt"));
    EXPECT_FALSE(exists(dec() / TEMP_ARCHIVE));
}

// An answer to --help that cannot reach standard output fails, and says why where it can.
TEST_F(DiagnosticsTest, AnAnswerThatCannotBeWrittenSaysSo) {
    RunOptions opts = options();
    opts.output = Output::descriptor_closed;
    opts.errors = ErrorSink::pipe;
    const ProgramRun result = run_program({"--help"}, enc(), opts);
    EXPECT_EQ(result.errors, "quorvel: error: can't write to standard output\n");
    EXPECT_EQ(result.exit_code, 1);
}

}  // namespace
}  // namespace quorvel::test
