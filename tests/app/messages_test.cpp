// The results the libraries return, turned into the program's texts: each kind of result
// gets its own message, byte for byte, with the file's name where the message has one.
#include "app/messages/messages.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>

namespace quorvel {
namespace {

std::string printed_by(const std::function<void()>& say) {
    testing::internal::CaptureStdout();
    say();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(Messages, EveryResultHasItsText) {
    const std::filesystem::path name = "in put.txt";
    using File = FileFault::Kind;
    using Key = KeyFileFault::Kind;
    const struct {
        const char* label;
        std::function<void()> say;
        std::string text;
    } cases[] = {
        {"plain input", [] { say::crypt_run(); }, "Crypt run\n"},
        {"unopenable input", [&] { static_cast<void>(say::input_not_found(name, 0)); },
         "Error! File 'in put.txt' not found.\n"},
        {"file not found",
         [&] {
             static_cast<void>(say::file_fault({File::not_found, name}));
         },
         "Error! File 'in put.txt' not found.\n"},
        {"file not created",
         [&] {
             static_cast<void>(say::file_fault({File::cannot_create, name}));
         },
         "Error! Can't create file 'in put.txt'.\n"},
        {"file not read",
         [&] {
             static_cast<void>(say::file_fault({File::cannot_read, name}));
         },
         "Error! Can't read file 'in put.txt'.\n"},
        {"file not written",
         [&] {
             static_cast<void>(say::file_fault({File::cannot_write, name}));
         },
         "Error! Can't write file 'in put.txt'.\n"},
        {"key file not found",
         [&] {
             static_cast<void>(say::key_file_fault({Key::not_found, name}));
         },
         "Error! File 'in put.txt' not found.\n"},
        {"key file not regular",
         [&] {
             static_cast<void>(say::key_file_fault({Key::not_regular, name}));
         },
         "Error! Key file 'in put.txt' is not a regular file.\n"},
        {"key file unreadable",
         [&] {
             static_cast<void>(say::key_file_fault({Key::unreadable, name}));
         },
         "Error! Can't read key-file 'in put.txt'.\n"},
        {"key file not created",
         [&] {
             static_cast<void>(say::key_file_fault({Key::not_created, name}));
         },
         "Error! Can't create key-file 'in put.txt'.\n"},
        {"key file found", [] { say::key_file_found(); }, "Key file found."},
        {"encryption", [] { say::cipher_started(CipherMode::encrypt); }, "Crypt process start!\n"},
        {"decryption", [] { say::cipher_started(CipherMode::decrypt); },
         "Decrypt process start!\n"},
        {"encrypted", [] { say::encryption_complete(); }, "Cript complite\n"},
        {"decrypted", [] { say::decryption_ok(); }, "Decrypt OK!\n"},
        {"check failed", [] { static_cast<void>(say::decryption_wrong({})); }, "Decrypt WRONG!\n"},
        {"pack echo", [] { say::pack_echo("-x dir"); }, "!\n7z.exe a quorvelxxxfilo.7z -x dir\n!"},
        {"name with control characters",
         [] { static_cast<void>(say::key_file_missing("a\nCript complite\r\x1b[2J\x7f\u0085")); },
         "Error! Key file 'a\\nCript complite\\r\\x1b[2J\\x7f\\u0085' not found.\n"},
        {"name in other scripts", [] { static_cast<void>(say::key_file_missing("日本\\ä")); },
         "Error! Key file '日本\\ä' not found.\n"},
        // A lone 0x9b is a terminal's escape start in Latin-1; in "À" (c3 80) and "ğ" (c4 9f)
        // the same range follows a lead byte and is left alone.
        {"lone byte of the C1 range",
         [] { static_cast<void>(say::key_file_missing("a\x9b[2J \xc3\x80\xc4\x9f \xe0\x9b")); },
         "Error! Key file 'a\\x9b[2J \xc3\x80\xc4\x9f \xe0\\x9b' not found.\n"},
        {"echo with control characters", [] { say::pack_echo("x\ny"); },
         "!\n7z.exe a quorvelxxxfilo.7z x\\ny\n!"},
        {"new refusals",
         [] {
             static_cast<void>(say::output_is_standard_error("/dev/stderr"));
             static_cast<void>(say::key_file_is_temp_archive("quorvelxxxfilo.7z"));
         },
         "Error! Output file '/dev/stderr' is standard error, which carries the warnings.\n"
         "Error! Key file 'quorvelxxxfilo.7z' is the temporary archive, which the run replaces.\n"},
        {"short key file", [] { static_cast<void>(say::key_file_too_short("k", 100)); },
         "Error! Key file 'k' is 100 bytes long; a key file needs 3072 or more.\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(printed_by(c.say), c.text) << c.label;
}

// What standard error says of each failure when standard output is not a terminal (as here,
// where the tests' output is captured): the cause, with the system's error where it is known,
// the archiver's ending, and the hints that say what to do next.
TEST(Messages, EveryFailureGivesItsCauseOnStandardError) {
    using File = FileFault::Kind;
    using Ending = ArchiverEnding::Kind;
    const struct {
        const char* label;
        std::function<void()> say;
        std::string text;
    } cases[] = {
        {"input with its error",
         [] { static_cast<void>(say::input_not_found("plan.txt", ENOENT)); },
         "quorvel: error: can't open 'plan.txt': No such file or directory\n"},
        {"input like an option", [] { static_cast<void>(say::input_not_found("-d", ENOENT)); },
         "quorvel: error: can't open '-d': No such file or directory\n"
         "quorvel: hint: quorvel takes no options but --help and --version: it decrypts an input "
         "that begins with '%quorvel%' and encrypts any other; QUORVEL_MODE=encrypt, decrypt, "
         "test or list chooses instead\n"},
        {"write error",
         [] {
             static_cast<void>(say::file_fault({File::cannot_write, "o.qv", ENOSPC}));
         },
         "quorvel: error: can't write 'o.qv': No space left on device\n"},
        {"error not known",
         [] {
             static_cast<void>(say::file_fault({File::cannot_read, "in"}));
         },
         "quorvel: error: can't read 'in'\n"},
        {"temporary archive not made",
         [] {
             static_cast<void>(say::file_fault({File::cannot_create, "quorvelxxxfilo.7z", EACCES}));
         },
         "quorvel: error: can't create 'quorvelxxxfilo.7z': Permission denied; the temporary "
         "archive is made in the current folder, which must be writable\n"},
        {"packing with a warning",
         [] {
             static_cast<void>(say::pack_failed("plan.txt", {Ending::exited, 1}));
         },
         "quorvel: error: 7-Zip could not pack 'plan.txt': it ended with status 1 (a warning: a "
         "file that could not be read, for one)\n"},
        {"packing folder not made",
         [] { static_cast<void>(say::packing_folder_not_made("plan.txt", EROFS)); },
         "quorvel: error: can't make the packing folder in the current folder: Read-only file "
         "system; the current folder must be writable\n"},
        {"extraction killed",
         [] {
             static_cast<void>(say::unpack_failed({Ending::killed, 9}));
         },
         "quorvel: error: 7-Zip could not extract 'quorvelxxxfilo.7z': it was ended by signal 9\n"
         "quorvel: hint: 'quorvelxxxfilo.7z' was kept: 7-Zip's messages above say what it could "
         "not do; delete it once done\n"},
        {"check block, archive kept",
         [] { static_cast<void>(say::decryption_wrong("quorvelxxxfilo.7z")); },
         "quorvel: error: the check block does not match: a wrong password, a wrong key file (or "
         "one given or left out by mistake) or a damaged file\n"
         "quorvel: hint: 'quorvelxxxfilo.7z' was kept for inspection: it holds the file as "
         "decrypted, which is not your data unless only part of the file was damaged; delete it "
         "before the next run here\n"},
        {"leftover archive",
         [] { static_cast<void>(say::temp_archive_exists("quorvelxxxfilo.7z")); },
         "quorvel: error: temporary archive 'quorvelxxxfilo.7z' already exists; move it away and "
         "run again\n"
         "quorvel: hint: a decryption that ended with 'Decrypt WRONG!' or 'Error unpack file' "
         "keeps 'quorvelxxxfilo.7z', the file as decrypted; delete it if you no longer need it\n"},
        {"password form unknown",
         [] {
             static_cast<void>(say::password_unreadable("MYPW", PasswordTrouble::unknown_form, 0));
         },
         "quorvel: error: QUORVEL_PASSWORD_FROM holds 'MYPW', which is none of tty, file:PATH, "
         "fd:N and env:NAME\n"},
        {"password variable unset",
         [] {
             static_cast<void>(
                 say::password_unreadable("env:PW", PasswordTrouble::variable_unset, 0));
         },
         "quorvel: error: the variable 'PW' is not set\n"},
        {"password file missing",
         [] {
             static_cast<void>(
                 say::password_unreadable("file:p.txt", PasswordTrouble::file_unopened, ENOENT));
         },
         "quorvel: error: can't open 'p.txt': No such file or directory\n"},
        {"no terminal",
         [] {
             static_cast<void>(say::password_unreadable("tty", PasswordTrouble::no_terminal, 0));
         },
         "quorvel: error: there is no terminal to ask for the password on\n"},
        {"a message restated", [] { static_cast<void>(say::folder_busy()); },
         "quorvel: error: another quorvel run is working in this folder\n"},
        {"a name in capitals restated",
         [] { static_cast<void>(say::mode_refused("QUORVEL_MODE", "x")); },
         "quorvel: error: QUORVEL_MODE holds 'x'; it takes 'encrypt', 'decrypt', 'test' or "
         "'list'\n"},
        {"usage", [] { static_cast<void>(say::usage()); },
         "quorvel: error: too few arguments\n"
         "quorvel: hint: 'quorvel --help' tells how to use it\n"},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        c.say();
        std::fflush(stdout);
        std::fflush(stderr);
        static_cast<void>(testing::internal::GetCapturedStdout());
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.text) << c.label;
    }
}

}  // namespace
}  // namespace quorvel
