// Frozen known-answer files from a separate implementation of the file format: encrypting
// each plaintext must give the stored file byte for byte, and decrypting it must verify.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cipher/rounds.h"
#include "container/stream.h"
#include "keyfile/keyfile.h"
#include "tests/support/test_support.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

struct VectorCase {
    std::string name;
    fs::path plaintext;
    std::string password;
    std::optional<fs::path> key_file;
    fs::path expected;
};

std::string from_hex(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

std::vector<VectorCase> load_manifest() {
    const fs::path folder = QUORVEL_VECTOR_DIR;
    std::ifstream manifest(folder / "manifest.tsv");
    std::vector<VectorCase> cases;
    std::string line;
    while (std::getline(manifest, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> fields;
        std::stringstream row(line);
        for (std::string field; std::getline(row, field, '\t');) fields.push_back(field);
        if (fields.size() < 5) continue;
        cases.push_back({fields[0], folder / fields[1], from_hex(fields[2]),
                         fields[3] == "-" ? std::nullopt : std::optional(folder / fields[3]),
                         folder / fields[4]});
    }
    return cases;
}

RoundKeyTable keys_for(const VectorCase& c, CipherMode mode) {
    if (!c.key_file) return test::password_keys(c.password, mode);
    RoundKeyTable keys{};
    EXPECT_TRUE(read_key_file(*c.key_file, keys));
    build_round_keys(
        keys,
        std::span(reinterpret_cast<const std::uint8_t*>(c.password.data()), c.password.size()),
        mode, KeySource::key_file);
    return keys;
}

TEST(KnownAnswerFiles, EncryptExactlyAndDecryptVerified) {
    const auto cases = load_manifest();
    ASSERT_FALSE(cases.empty()) << "no vectors in " << QUORVEL_VECTOR_DIR;
    for (const auto& c : cases) {
        const auto plain = test::read_file(c.plaintext);
        const auto expected = test::read_file(c.expected);
        const int rounds = select_round_count(c.password.size());

        test::MemorySource plain_source(plain);
        test::MemorySink encrypted;
        CaptureStdout();
        EXPECT_EQ(encrypt_stream(plain_source, encrypted, keys_for(c, CipherMode::encrypt), rounds),
                  StreamResult::ok);
        GetCapturedStdout();
        EXPECT_EQ(encrypted.bytes, expected) << c.name;

        test::MemorySource encrypted_source(expected);
        test::MemorySink decrypted;
        CaptureStdout();
        EXPECT_EQ(decrypt_stream(encrypted_source, expected.size(), decrypted,
                                 keys_for(c, CipherMode::decrypt), rounds),
                  StreamResult::ok);
        EXPECT_EQ(GetCapturedStdout(), "Decrypt process start!\nDecrypt OK!\n") << c.name;
        EXPECT_EQ(decrypted.bytes, plain) << c.name;
    }
}

}  // namespace
}  // namespace quorvel
