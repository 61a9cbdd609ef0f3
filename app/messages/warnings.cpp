#include "app/messages/warnings.h"

#include <string>

#include "console/console.h"

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

void key_file_created(const std::filesystem::path& key_file, std::string_view output) {
    warning("created the key file '" + printable_name(display_name(key_file)) + "'; without it '" +
            printable_name(output) + "' can never be decrypted");
}

}  // namespace quorvel::warn
