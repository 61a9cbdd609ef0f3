// Frozen known-answer files from a separate implementation of the file format: encrypting
// each plaintext must give the stored file byte for byte, and decrypting it must verify.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cipher/rounds.h"
#include "container/stream.h"
#include "keyfile/keyfile.h"
#include "support/cipher_inputs.h"
#include "support/memory_streams.h"
#include "support/test_support.h"
#include "support/vectors.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

// The digest of a known text, so that a fault in the SHA-256 itself shows here and not as a
// damaged vector: the empty input, one chunk, and 56 bytes, which push the length into a
// second chunk.
TEST(KnownAnswerFiles, Sha256OfKnownTexts) {
    const struct {
        std::string text, digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    };
    for (const auto& c : cases) EXPECT_EQ(test::sha256_hex(test::to_bytes(c.text)), c.digest);
}

// Each expected file is the one the manifest was made with.
TEST(KnownAnswerFiles, ExpectedFilesMatchTheirDigests) {
    for (const auto& c : test::load_vector_cases()) {
        EXPECT_EQ(test::sha256_hex(test::read_file(c.expected)), c.expected_sha256) << c.name;
    }
}

RoundKeyTable keys_for(const test::VectorCase& c, CipherMode mode) {
    if (!c.key_file) return test::password_keys(c.password, mode);
    RoundKeyTable keys{};
    EXPECT_EQ(read_key_file(*c.key_file, keys), std::nullopt);
    build_round_keys(
        keys,
        std::span(reinterpret_cast<const std::uint8_t*>(c.password.data()), c.password.size()),
        mode, KeySource::key_file);
    return keys;
}

TEST(KnownAnswerFiles, EncryptExactlyAndDecryptVerified) {
    const auto cases = test::load_vector_cases();
    ASSERT_FALSE(cases.empty()) << "no vectors in " << QUORVEL_VECTOR_DIR;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto plain = test::read_file(c.plaintext);
        const auto expected = test::read_file(c.expected);
        const int rounds = select_round_count(c.password.size());

        test::MemorySource plain_source(plain);
        test::MemorySink encrypted;
        EXPECT_EQ(encrypt_stream(plain_source, encrypted, keys_for(c, CipherMode::encrypt), rounds),
                  StreamResult::ok);
        EXPECT_EQ(encrypted.bytes, expected) << c.name;

        test::MemorySource encrypted_source(expected);
        test::MemorySink decrypted;
        EXPECT_EQ(decrypt_stream(encrypted_source, expected.size(), decrypted,
                                 keys_for(c, CipherMode::decrypt), rounds),
                  StreamResult::ok);
        EXPECT_EQ(decrypted.bytes, plain) << c.name;
    }
}

}  // namespace
}  // namespace quorvel
