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
        {"encrypted input", [&] { say::probe_result(InputKind::encrypted, name); }, ""},
        {"plain input", [&] { say::probe_result(InputKind::plain, name); }, "Crypt run\n"},
        {"unopenable input", [&] { say::probe_result(InputKind::unopenable, name); },
         "Error! File 'in put.txt' not found.\n"},
        {"file not found",
         [&] {
             say::file_fault({File::not_found, name});
         },
         "Error! File 'in put.txt' not found.\n"},
        {"file not created",
         [&] {
             say::file_fault({File::cannot_create, name});
         },
         "Error! Can't create file 'in put.txt'.\n"},
        {"file not read",
         [&] {
             say::file_fault({File::cannot_read, name});
         },
         "Error! Can't read file 'in put.txt'.\n"},
        {"file not written",
         [&] {
             say::file_fault({File::cannot_write, name});
         },
         "Error! Can't write file 'in put.txt'.\n"},
        {"key file not found",
         [&] {
             say::key_file_fault({Key::not_found, name});
         },
         "Error! File 'in put.txt' not found.\n"},
        {"key file not regular",
         [&] {
             say::key_file_fault({Key::not_regular, name});
         },
         "Error! Key file 'in put.txt' is not a regular file.\n"},
        {"key file unreadable",
         [&] {
             say::key_file_fault({Key::unreadable, name});
         },
         "Error! Can't read key-file 'in put.txt'.\n"},
        {"key file not created",
         [&] {
             say::key_file_fault({Key::not_created, name});
         },
         "Error! Can't create key-file 'in put.txt'.\n"},
        {"key file found", [] { say::key_file_found(); }, "Key file found."},
        {"encryption", [] { say::cipher_started(CipherMode::encrypt); }, "Crypt process start!\n"},
        {"decryption", [] { say::cipher_started(CipherMode::decrypt); },
         "Decrypt process start!\n"},
        {"encrypted", [] { say::cipher_finished(CipherMode::encrypt, StreamResult::ok); },
         "Cript complite\n"},
        {"decrypted", [] { say::cipher_finished(CipherMode::decrypt, StreamResult::ok); },
         "Decrypt OK!\n"},
        {"check failed",
         [] { say::cipher_finished(CipherMode::decrypt, StreamResult::check_failed); },
         "Decrypt WRONG!\n"},
        {"pack echo", [] { say::pack_echo("-x dir"); }, "!\n7z.exe a quorvelxxxfilo.7z -x dir\n!"},
        {"short key file", [] { say::key_file_too_short("k", 100); },
         "Error! Key file 'k' is 100 bytes long; a key file needs 3072 or more.\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(printed_by(c.say), c.text) << c.label;
}

}  // namespace
}  // namespace quorvel
