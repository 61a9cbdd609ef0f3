// The program as a user runs it, from end to end: a file or a folder encrypted and decrypted
// back with the real archiver, its lines in the order a console shows, and the frozen
// known-answer files through the whole program. Exact console text and exit status.
#include <gtest/gtest.h>

#include "cli/cli_fixture.h"
#include "keyfile/keyfile.h"
#include "support/vectors.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;

class RoundTripTest : public CliTest {};

TEST_F(RoundTripTest, FolderRoundTrip) {
    fs::create_directories(enc() / "my docs" / "inner");
    write_file(enc() / "my docs" / "a.txt", "first");
    write_file(enc() / "my docs" / "inner" / "b.bin", random_bytes(70000, 32));
    const auto encrypted = run({"my docs", "docs.qv", "pw"}, enc());
    EXPECT_EQ(encrypted.exit_code, 0);
    EXPECT_EQ(encrypted.output, encrypt_output("my docs"));

    const auto decrypted = run({(enc() / "docs.qv").string(), "x", "pw"}, dec());
    EXPECT_EQ(decrypted.exit_code, 0);
    EXPECT_EQ(read_file(dec() / "my docs" / "a.txt"), to_bytes("first"));
    EXPECT_EQ(read_file(dec() / "my docs" / "inner" / "b.bin"), random_bytes(70000, 32));
}

// With the archiver's own output on the same standard output, every message still comes in
// the order a console shows.
TEST_F(RoundTripTest, ArchiverOutputPassesThroughInOrder) {
    write_file(enc() / "plan.txt", "some plans");
    const auto system_path = std::getenv("PATH");
    const auto encrypted = run({"plan.txt", "plan.qv", "pw"}, enc(), std::string(system_path));
    EXPECT_EQ(encrypted.exit_code, 0);
    const std::string& out = encrypted.output;
    const std::string head = "Crypt run\n!\n7z.exe a quorvelxxxfilo.7z plan.txt\n!";
    EXPECT_EQ(out.substr(0, head.size()), head);
    const auto archiver_line = out.find("Everything is Ok");
    const auto start = out.find("Crypt process start!\nCript complite\n");
    EXPECT_NE(archiver_line, std::string::npos);
    EXPECT_NE(start, std::string::npos);
    EXPECT_LT(archiver_line, start);

    const auto decrypted =
        run({(enc() / "plan.qv").string(), "x", "pw"}, dec(), std::string(system_path));
    EXPECT_EQ(decrypted.exit_code, 0);
    EXPECT_EQ(decrypted.output.substr(0, DECRYPT_OK.size()), DECRYPT_OK);
    EXPECT_EQ(read_file(dec() / "plan.txt"), to_bytes("some plans"));
}

// The frozen known-answer files, through the whole program: a stand-in archiver whose "a"
// copies the input as the archive and whose "x" copies the archive out.
TEST_F(RoundTripTest, KnownAnswerFilesThroughTheProgram) {
    const std::string copying = copying_archiver();
    const auto cases = load_vector_cases();
    ASSERT_FALSE(cases.empty());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args{c.plaintext.string(), "out.qv", c.password};
        if (c.key_file) args.push_back(c.key_file->string());
        const auto encrypted = run(args, enc(), copying);
        const auto key_file_size = c.key_file ? fs::file_size(*c.key_file) : KEY_FILE_SIZE;
        if (key_file_size < KEY_FILE_SIZE) {
            // Refused for new files, but still taken to read old ones, below.
            EXPECT_NE(encrypted.exit_code, 0);
            EXPECT_EQ(encrypted.output, "Crypt run\nKey file found.Error! Key file '" +
                                            c.key_file->string() + "' is " +
                                            std::to_string(key_file_size) +
                                            " bytes long; a key file needs 3072 or more.\n");
            EXPECT_FALSE(fs::exists(enc() / "out.qv"));
        } else {
            EXPECT_EQ(encrypted.exit_code, 0);
            EXPECT_EQ(read_file(enc() / "out.qv"), read_file(c.expected));
        }

        args[0] = c.expected.string();
        const auto decrypted = run(args, dec(), copying);
        EXPECT_EQ(decrypted.exit_code, 0);
        EXPECT_EQ(decrypted.output, (c.key_file ? "Key file found." : "") + DECRYPT_OK);
        EXPECT_EQ(read_file(dec() / "extracted.bin"), read_file(c.plaintext));
        fs::remove(enc() / "out.qv");
        fs::remove(dec() / "extracted.bin");
    }
}

}  // namespace
}  // namespace quorvel::test
