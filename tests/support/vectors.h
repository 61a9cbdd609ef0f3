// The frozen known-answer cases in tests/data/vectors, read from their manifest, and the
// SHA-256 that checks each expected file against the digest the manifest records for it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quorvel::test {

// One line of the manifest, with the file names made full paths.
struct VectorCase {
    std::string name;
    std::filesystem::path plaintext;
    std::string password;                           // the password's bytes, decoded from hex
    std::optional<std::filesystem::path> key_file;  // none in password mode
    std::filesystem::path expected;                 // the encrypted file a correct run writes
    std::string expected_sha256;                    // its SHA-256, lower-case hex
};

// Reads every case of `folder`/manifest.tsv (lines starting with '#' are comments). Throws
// std::runtime_error when the manifest is missing or a line does not have its six
// tab-separated fields, so that a damaged manifest fails the tests instead of thinning them.
std::vector<VectorCase> load_vector_cases(const std::filesystem::path& folder = QUORVEL_VECTOR_DIR);

// The SHA-256 of `bytes` in lower-case hex.
std::string sha256_hex(std::span<const std::uint8_t> bytes);

}  // namespace quorvel::test
