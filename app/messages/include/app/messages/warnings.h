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

// The input `input` is named like an encrypted file but lacks the signature (damaged, or
// empty), so it is about to be encrypted.
void encrypting_named_encrypted(std::string_view input);

// The encrypted input `input` is about to be decrypted while the output `output` is named like
// an encrypted file: perhaps encrypting it again was meant.
void decrypting_to_encrypted_name(std::string_view input, std::string_view output);

// The key file `name` is about to be created, and its name looks like a word of a password or
// an option rather than a file's.
void key_file_name_like_a_word(std::string_view name);

// The output is a file named "-", not standard output.
void output_named_dash();

// The password file `path` may be read by others: its permission bits are `mode`.
void password_file_open_to_others(std::string_view path, unsigned mode);

}  // namespace quorvel::warn
