// Warnings: one line each on standard error, starting "quorvel: warning: ". They point at a
// run that works but is probably not what the user meant, and never change standard output,
// which stays byte for byte what it is without them.
#pragma once

#include <filesystem>
#include <span>
#include <string_view>

namespace quorvel::warn {

// The password argument is the one character "-" and QUORVEL_PASSWORD_FROM is unset, so "-"
// itself is the password.
void password_is_dash();

// Five or more arguments: `ignored` (everything after the password) is not used, and no key
// file either.
void arguments_ignored(std::span<const std::string_view> ignored);

// An encryption made the key file `key_file` for `output`, which cannot be decrypted without
// it.
void key_file_created(const std::filesystem::path& key_file, std::string_view output);

}  // namespace quorvel::warn
