// The results the libraries return, turned into the program's texts: each kind of result
// gets its own message, byte for byte, with the file's name where the message has one.
#include "app/messages/messages.h"

#include <gtest/gtest.h>

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
        {"unopenable input", [&] { static_cast<void>(say::input_not_found(name)); },
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
        {"check failed", [] { static_cast<void>(say::decryption_wrong()); }, "Decrypt WRONG!\n"},
        {"pack echo", [] { say::pack_echo("-x dir"); }, "!\n7z.exe a quorvelxxxfilo.7z -x dir\n!"},
        {"name with control characters",
         [] { static_cast<void>(say::key_file_missing("a\nCript complite\r\x1b[2J\x7f\u0085")); },
         "Error! Key file 'a\\nCript complite\\r\\x1b[2J\\x7f\\u0085' not found.\n"},
        {"name in other scripts", [] { static_cast<void>(say::key_file_missing("日本\\ä")); },
         "Error! Key file '日本\\ä' not found.\n"},
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

}  // namespace
}  // namespace quorvel
