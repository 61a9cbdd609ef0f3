#include "app/messages/warnings.h"

#include <cstdio>
#include <string>

#include "console/console.h"
#include "internal/quoted_name.h"

namespace quorvel::warn {

namespace {

void warning(std::string_view text) {
    print_warning_line("quorvel: warning: " + std::string(text));
}

}  // namespace

void password_is_dash() {
    warning(
        "the password is the one character '-', as QUORVEL_PASSWORD_FROM is not set; set it to "
        "tty, file:PATH, fd:N or env:NAME to give the password that way");
}

void arguments_ignored(std::span<const std::string_view> ignored) {
    std::string listed;
    for (const auto word : ignored) {
        listed += listed.empty() ? "'" : ", '";
        listed += printable_name(word);
        listed += "'";
    }
    warning(std::to_string(ignored.size()) + " arguments after the password are ignored (" +
            listed + ") and no key file is used; quote a password that holds spaces");
}

void encrypting_named_encrypted(std::string_view input) {
    std::string text = say::quoted_name(input);
    text +=
        " does not begin with '%quorvel%', so it is encrypted, not decrypted; a damaged or "
        "empty encrypted file looks so; set QUORVEL_MODE=decrypt to stop instead";
    warning(text);
}

void decrypting_to_encrypted_name(std::string_view input, std::string_view output) {
    std::string text = say::quoted_name(input);
    text += " is encrypted, so it is decrypted, not encrypted again, and ";
    text += say::quoted_name(output);
    text += " is not used; set QUORVEL_MODE=encrypt to encrypt it again";
    warning(text);
}

void key_file_name_like_a_word(std::string_view name) {
    warning("a new key file '" + printable_name(name) +
            "' is made, but its name looks like a word of a password or an option; quote a "
            "password that holds spaces");
}

void output_named_dash() {
    warning(
        "the output is a file named '-', not standard output; name /dev/fd/3 to write to a "
        "pipe");
}

void password_file_open_to_others(std::string_view path, unsigned mode) {
    char octal[8];
    std::snprintf(octal, sizeof octal, "%04o", mode & 07777U);
    warning("the password file '" + printable_name(path) + "' may be read by others (mode " +
            octal + "); make it private with chmod 600");
}

void key_file_created(const std::filesystem::path& key_file, std::string_view output) {
    warning("created the key file '" + printable_name(display_name(key_file)) + "'; without it '" +
            printable_name(output) + "' can never be decrypted");
}

}  // namespace quorvel::warn
