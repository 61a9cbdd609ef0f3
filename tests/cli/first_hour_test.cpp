// What a newcomer meets first, against the built program: --help and --version (an answer
// that cannot be written is a failure), the usage text, the warnings on standard error where a
// likely mistake would otherwise pass in silence (standard output staying byte for byte what it
// is without them), and QUORVEL_MODE forcing the direction.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>

#include "cli/cli_fixture.h"
#include "cli/file_checks.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;

const std::string WARNING = "quorvel: warning: ";

const std::string DASH_WARNING =
    WARNING +
    "the password is the one character '-', as QUORVEL_PASSWORD_FROM is not set; set it to tty, "
    "file:PATH, fd:N or env:NAME to give the password that way\n";

std::string mode_refused(const std::string& value) {
    return "Error! QUORVEL_MODE holds '" + value +
           "'; it takes 'encrypt', 'decrypt', 'test' or 'list'.\n";
}

std::string not_encrypted(const std::string& name) {
    return "Error! File '" + name +
           "' does not begin with '%quorvel%', so it cannot be decrypted.\n";
}

class FirstHourTest : public CliTest {
protected:
    FirstHourTest() { write_file(enc() / "plan.txt", std::string("the plans")); }

    // A run whose standard error is read too, with `environment` set.
    ProgramRun run_both(const std::vector<std::string>& args, const fs::path& folder,
                        std::vector<std::pair<std::string, std::string>> environment = {}) const {
        RunOptions with = options();
        with.errors = ErrorSink::pipe;
        with.environment = std::move(environment);
        return run_program(args, folder, with);
    }
};

TEST_F(FirstHourTest, HelpAndVersionAnswerAsTheOnlyArgument) {
    const auto version = run_both({"--version"}, enc());
    EXPECT_EQ(version.output, "quorvel " QUORVEL_PROJECT_VERSION "\n");
    EXPECT_TRUE(std::regex_match(version.output, std::regex("quorvel [0-9]+\\.[0-9]+\\.[0-9]+\n")));
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.errors, "");

    const auto help = run_both({"--help"}, enc());
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_EQ(help.errors, "");
    EXPECT_TRUE(
        help.output.starts_with("Usage: quorvel in_fname out_fname password [key_file_name]\n"))
        << help.output;
    for (const char* part :
         {"QUORVEL_PASSWORD_FROM", "QUORVEL_MODE", "QUORVEL_PACK_SWITCHES",
          "QUORVEL_UNPACK_SWITCHES", "-bso0 -bsp0", "Exit status: 0", "\"Decrypt WRONG!\"",
          "only the password's length counts", "Manual: man quorvel\n"}) {
        EXPECT_NE(help.output.find(part), std::string::npos) << part;
    }
    const auto short_help = run_both({"-h"}, enc());
    EXPECT_EQ(short_help.output, help.output);
    EXPECT_EQ(short_help.exit_code, 0);

    // Anything else with too few arguments, none included, gets the usage text and status 2.
    for (const auto& args : std::vector<std::vector<std::string>>{{},
                                                                  {"a"},
                                                                  {"a", "b"},
                                                                  {"--help", "x"},
                                                                  {"x", "--version"},
                                                                  {"-H"},
                                                                  {"--Version"},
                                                                  {"-help"}}) {
        SCOPED_TRACE(std::to_string(args.size()) + " arguments" +
                     (args.empty() ? "" : ", the first " + args[0]));
        const auto result = run_both(args, enc());
        EXPECT_EQ(result.output, USAGE);
        EXPECT_EQ(result.exit_code, 2);
    }
    EXPECT_EQ(leftovers(enc()), std::vector<std::string>{});
    EXPECT_EQ(std::vector<fs::path>(fs::directory_iterator(enc()), {}),
              std::vector<fs::path>{enc() / "plan.txt"});
}

// The answer to --help, -h or --version that cannot be written is a failure: a full disk, a
// closed standard output, a pipe nobody reads. Written, it is a success, also when the reader
// goes after the first line.
TEST_F(FirstHourTest, UnwrittenAnswersFail) {
    const auto to_full_disk = [] {
        const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
        if (full < 0 || ::dup2(full, STDOUT_FILENO) < 0) ::_exit(126);
    };
    for (const std::string question : {"--help", "-h", "--version"}) {
        SCOPED_TRACE(question);
        auto full = options();
        full.in_child = to_full_disk;
        EXPECT_EQ(run_program({question}, enc(), full).exit_code, 1);
        for (const Output unwritable : {Output::descriptor_closed, Output::reader_closed}) {
            auto lost = options();
            lost.output = unwritable;
            const auto result = run_program({question}, enc(), lost);
            EXPECT_EQ(result.term_signal, 0);
            EXPECT_EQ(result.exit_code, 1);
        }
        const auto answered = run_program({question}, enc(), options());
        EXPECT_EQ(answered.exit_code, 0);
        EXPECT_FALSE(answered.output.empty());
        // Taken whole by a reader that stops after the first line (`quorvel --help | head -1`).
        const auto first_line =
            run_watched({question}, enc(), options(),
                        WatchOptions{.output = OutputEnd::closed_after_first_line});
        EXPECT_EQ(first_line.exit_code, 0);
    }
}

// Each warned run has a twin that makes the same output file without the mistake: the two
// must print the same standard output and write the same bytes, the warning alone differing.
TEST_F(FirstHourTest, WarningsGoToStandardErrorAndLeaveStandardOutputAsItWas) {
    const struct {
        const char* label;
        std::vector<std::string> args;
        std::vector<std::pair<std::string, std::string>> environment;
        std::vector<std::string> twin_args;
        std::vector<std::pair<std::string, std::string>> twin_environment;
        std::string warning;
    } cases[] = {
        {"the password '-' taken as itself",
         {"plan.txt", "out.qv", "-"},
         {},
         {"plan.txt", "out.qv", "-"},
         {{"QUORVEL_PASSWORD_FROM", "env:QV_PW"}, {"QV_PW", "-"}},
         DASH_WARNING},
        {"a password in two words",
         {"plan.txt", "out.qv", "my", "secret", "word"},
         {},
         {"plan.txt", "out.qv", "my"},
         {},
         WARNING +
             "2 arguments after the password are ignored ('secret', 'word') and no key file is "
             "used; quote a password that holds spaces\n"},
        {"both at once",
         {"plan.txt", "out.qv", "-", "my.key", "-mx1", "plan.txt"},
         {},
         {"plan.txt", "out.qv", "-"},
         {{"QUORVEL_PASSWORD_FROM", "env:QV_PW"}, {"QV_PW", "-"}},
         DASH_WARNING + WARNING +
             "3 arguments after the password are ignored ('my.key', '-mx1', 'plan.txt') and no "
             "key file is used; quote a password that holds spaces\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const auto warned = run_both(c.args, enc(), c.environment);
        EXPECT_EQ(warned.errors, c.warning);
        EXPECT_EQ(warned.exit_code, 0);
        const Bytes warned_output = read_file(enc() / "out.qv");
        fs::remove(enc() / "out.qv");

        const auto twin = run_both(c.twin_args, enc(), c.twin_environment);
        EXPECT_EQ(twin.errors, "");
        EXPECT_EQ(warned.output, twin.output);
        EXPECT_EQ(warned.output, encrypt_output("plan.txt"));
        EXPECT_EQ(warned_output, read_file(enc() / "out.qv"));
        fs::remove(enc() / "out.qv");
        EXPECT_FALSE(exists(enc() / "secret"));
        EXPECT_FALSE(exists(enc() / "my.key"));
    }

    // The password "-" is still the one-byte password, also for decryption.
    ASSERT_EQ(run_both({"plan.txt", "out.qv", "-"}, enc()).exit_code, 0);
    fs::rename(enc() / "out.qv", dec() / "out.qv");
    const auto decrypted = run_both({"out.qv", "x", "-"}, dec());
    EXPECT_EQ(decrypted.output, DECRYPT_OK);
    EXPECT_EQ(decrypted.errors, DASH_WARNING);
    EXPECT_EQ(read_file(dec() / "plan.txt"), to_bytes("the plans"));
}

TEST_F(FirstHourTest, ANewKeyFileIsPointedOutOnlyWhenItWasMadeAndKept) {
    // "my plan.qv secret" typed without quotes: "secret" becomes a new key file.
    const auto made = run_both({"plan.txt", "p.qv", "my", "secret"}, enc());
    EXPECT_EQ(made.output, encrypt_output("plan.txt", "Key file is successfully created!\n"));
    EXPECT_EQ(made.exit_code, 0);
    EXPECT_EQ(made.errors, WARNING +
                               "a new key file 'secret' is made, but its name looks like a word "
                               "of a password or an option; quote a password that holds spaces\n" +
                               WARNING + "created the key file '" + (enc() / "secret").string() +
                               "'; without it 'p.qv' can never be decrypted\n");
    EXPECT_EQ(fs::file_size(enc() / "secret"), 3072u);

    // The same key file again, and runs without any mistake: nothing on standard error.
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"plan.txt", "p.qv", "my", "secret"},
                                               {"p.qv", "x", "my", "secret"},
                                               {"plan.txt", "p2.qv", "my"}}) {
        SCOPED_TRACE(args[0] + " " + std::to_string(args.size()));
        const auto result = run_both(args, enc());
        EXPECT_EQ(result.errors, "");
        EXPECT_EQ(result.exit_code, 0);
    }

    // A run that fails after making the key file removes it again, and says nothing of it:
    // standard error has only the cause of the failure.
    const auto failed = run_both({"plan.txt", "/dev/full", "my", "other.key"}, enc());
    EXPECT_NE(failed.output.find("Key file is successfully created!\n"), std::string::npos);
    EXPECT_EQ(failed.exit_code, 1);
    EXPECT_EQ(failed.errors, "quorvel: error: can't write '/dev/full': No space left on device\n");
    EXPECT_FALSE(exists(enc() / "other.key"));
}

TEST_F(FirstHourTest, RefusedModeValuesTouchNothing) {
    ASSERT_EQ(run({"plan.txt", "real.qv", "pw"}, enc()).exit_code, 0);
    for (const std::string value :
         {"", "Encrypt", "decrypt ", "auto", "1", "e", "Test", "list ", "l"}) {
        for (const auto& args : std::vector<std::vector<std::string>>{
                 {"plan.txt", "out.qv", "pw", "new.key"}, {"real.qv", "x", "pw"}}) {
            SCOPED_TRACE("'" + value + "' " + args[0]);
            const FolderRecord before = record_folder(root());
            const auto result = run_both(args, enc(), {{"QUORVEL_MODE", value}});
            EXPECT_EQ(result.output, mode_refused(value));
            EXPECT_EQ(result.exit_code, 1);
            EXPECT_EQ(result.errors, "quorvel: error: QUORVEL_MODE holds '" + value +
                                         "'; it takes 'encrypt', 'decrypt', 'test' or 'list'\n");
            EXPECT_EQ(folder_changes(before, record_folder(root())), "");
        }
    }
}

TEST_F(FirstHourTest, ForcedEncryptionTakesAFileThatBeginsWithTheSignature) {
    const std::string own = "%quorvel% is how my notes begin\n";
    write_file(enc() / "notes.txt", own);
    // Left to itself the program reads it as encrypted; forced, it encrypts it.
    const auto forced =
        run_both({"notes.txt", "notes.qv", "pw"}, enc(), {{"QUORVEL_MODE", "encrypt"}});
    EXPECT_EQ(forced.output, encrypt_output("notes.txt"));
    EXPECT_EQ(forced.exit_code, 0);
    EXPECT_EQ(forced.errors, "");
    EXPECT_EQ(leftovers(enc()), std::vector<std::string>{});

    fs::copy_file(enc() / "notes.qv", dec() / "notes.qv");
    const auto decrypted = run_both({"notes.qv", "x", "pw"}, dec());
    EXPECT_EQ(decrypted.output, DECRYPT_OK);
    EXPECT_EQ(read_file(dec() / "notes.txt"), to_bytes(own));

    // An encrypted file forced to encryption is encrypted once more, and comes back whole.
    fs::remove(dec() / "notes.txt");
    const auto twice =
        run_both({"notes.qv", "twice.qv", "pw2"}, dec(), {{"QUORVEL_MODE", "encrypt"}});
    EXPECT_EQ(twice.output, encrypt_output("notes.qv"));
    fs::rename(dec() / "notes.qv", root() / "kept.qv");
    const auto outer = run_both({"twice.qv", "x", "pw2"}, dec(), {{"QUORVEL_MODE", "decrypt"}});
    EXPECT_EQ(outer.output, DECRYPT_OK);
    EXPECT_EQ(outer.exit_code, 0);
    EXPECT_EQ(read_file(dec() / "notes.qv"), read_file(root() / "kept.qv"));
}

TEST_F(FirstHourTest, ForcedDecryptionOfAFileWithoutTheSignatureFailsAndLeavesNothing) {
    ASSERT_EQ(run({"plan.txt", "plan.qv", "pw"}, enc()).exit_code, 0);
    Bytes damaged = read_file(enc() / "plan.qv");
    damaged[0] = '#';  // the signature's first byte
    write_file(dec() / "damaged.qv", damaged);
    write_file(dec() / "short.qv", std::string("%quorv"));

    for (const std::string name : {"damaged.qv", "short.qv"}) {
        SCOPED_TRACE(name);
        const FolderRecord before = record_folder(root());
        const auto result =
            run_both({name, "x", "pw", "missing.key"}, dec(), {{"QUORVEL_MODE", "decrypt"}});
        EXPECT_EQ(result.output, not_encrypted(name));
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(folder_changes(before, record_folder(root())), "");
    }
    const FolderRecord before = record_folder(root());
    const auto missing = run_both({"gone.qv", "x", "pw"}, dec(), {{"QUORVEL_MODE", "decrypt"}});
    EXPECT_EQ(missing.output, "Error! File 'gone.qv' not found.\n");
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_EQ(folder_changes(before, record_folder(root())), "");

    // Forced decryption of an intact file is the ordinary decryption.
    fs::copy_file(enc() / "plan.qv", dec() / "plan.qv");
    const auto intact = run_both({"plan.qv", "x", "pw"}, dec(), {{"QUORVEL_MODE", "decrypt"}});
    EXPECT_EQ(intact.output, DECRYPT_OK);
    EXPECT_EQ(intact.exit_code, 0);
    EXPECT_EQ(read_file(dec() / "plan.txt"), to_bytes("the plans"));
}

}  // namespace
}  // namespace quorvel::test
