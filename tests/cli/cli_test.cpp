// The program as a user runs it: real archiver, scratch folders, exact console text and
// exit status.
#include <gtest/gtest.h>

#include "cli/cli_fixture.h"
#include "keyfile/keyfile.h"
#include "support/vectors.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;

TEST_F(CliTest, TooFewArgumentsShowUsage) {
    for (const auto& args : std::vector<std::vector<std::string>>{{}, {"a"}, {"a", "b"}}) {
        const auto run_result = run(args, enc());
        EXPECT_EQ(run_result.output, USAGE);
        EXPECT_EQ(run_result.exit_code, 2);
    }
    EXPECT_TRUE(fs::is_empty(enc()));
}

struct NameCase {
    const char* label;
    const char* name;
};

// Names that a command interpreter would split, expand or run, or that an archiver would
// read as a switch or a list file.
const NameCase NAMES[] = {
    {"plain", "plan.txt"},
    {"spaces", "my plan v2.txt"},
    {"quotes", "it's \"quoted\".txt"},
    {"semicolon", "a;touch PWNED"},
    {"ampersand", "a&b"},
    {"dollar", "$HOME and $(touch PWNED)"},
    {"leading dash", "-rf"},
    {"leading at", "@list"},
    {"non-ASCII", "plán-计划.txt"},
};

TEST_F(CliTest, RoundTripOfAwkwardNamesWithPasswordAndKeyFile) {
    for (const bool with_key_file : {false, true}) {
        for (const auto& c : NAMES) {
            SCOPED_TRACE(std::string(c.label) + (with_key_file ? " key file" : " password"));
            const std::string name = c.name;
            const Bytes contents = random_bytes(3000, 31);
            write_file(enc() / name, contents);
            const fs::path key = root() / "my key.bin";
            std::vector<std::string> args{name, "out.qv", "secret"};
            if (with_key_file) args.push_back(key.string());

            const bool key_existed = exists(key);
            const auto encrypted = run(args, enc());
            EXPECT_EQ(encrypted.exit_code, 0);
            const std::string key_text = !with_key_file ? ""
                                         : key_existed  ? "Key file found."
                                                        : "Key file is successfully created!\n";
            EXPECT_EQ(encrypted.output, encrypt_output(name, key_text));
            EXPECT_FALSE(exists(enc() / TEMP_ARCHIVE));

            std::vector<std::string> back{(enc() / "out.qv").string(), "x", "secret"};
            if (with_key_file) back.push_back(key.string());
            const auto decrypted = run(back, dec());
            EXPECT_EQ(decrypted.exit_code, 0);
            EXPECT_EQ(decrypted.output, (with_key_file ? "Key file found." : "") + DECRYPT_OK);
            EXPECT_EQ(read_file(dec() / name), contents);
            EXPECT_FALSE(exists(dec() / TEMP_ARCHIVE));

            fs::remove(enc() / name);
            fs::remove(dec() / name);
        }
    }
    for (const auto& folder : {root(), enc(), dec()}) {
        EXPECT_FALSE(exists(folder / "PWNED")) << folder;
    }
}

TEST_F(CliTest, FolderRoundTrip) {
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
TEST_F(CliTest, ArchiverOutputPassesThroughInOrder) {
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

TEST_F(CliTest, WrongPasswordKeepsTheDecryptedArchiveAndExtractsNothing) {
    write_file(enc() / "plan.txt", "some plans");
    ASSERT_EQ(run({"plan.txt", "plan.qv", "right"}, enc()).exit_code, 0);
    const auto decrypted = run({(enc() / "plan.qv").string(), "x", "wrong"}, dec());
    EXPECT_EQ(decrypted.output, "Decrypt process start!\nDecrypt WRONG!\n");
    EXPECT_EQ(decrypted.exit_code, 1);
    EXPECT_TRUE(exists(dec() / TEMP_ARCHIVE));
    EXPECT_FALSE(exists(dec() / "plan.txt"));
}

TEST_F(CliTest, KeyFileDecisions) {
    write_file(enc() / "plan.txt", "some plans");
    // Five or more arguments: no key file is used or created.
    const auto five = run({"plan.txt", "plan.qv", "pw", "k.key", "extra"}, enc());
    EXPECT_EQ(five.output, encrypt_output("plan.txt"));
    EXPECT_FALSE(exists(enc() / "k.key"));
    EXPECT_EQ(run({(enc() / "plan.qv").string(), "x", "pw"}, dec()).exit_code, 0);

    // Decrypting with a missing key file ends the run before anything is written.
    fs::remove(dec() / "plan.txt");
    const auto missing = run({(enc() / "plan.qv").string(), "x", "pw", "nokey"}, dec());
    EXPECT_EQ(missing.output, "Error! Key file 'nokey' not found.\n");
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_TRUE(fs::is_empty(dec()));

    // The key file, not the password's characters, makes the keys: another password of the
    // same length decrypts.
    ASSERT_EQ(run({"plan.txt", "kplan.qv", "abcde", "k.key"}, enc()).exit_code, 0);
    const auto other =
        run({(enc() / "kplan.qv").string(), "x", "vwxyz", (enc() / "k.key").string()}, dec());
    EXPECT_EQ(other.output, "Key file found." + DECRYPT_OK);
    EXPECT_EQ(read_file(dec() / "plan.txt"), to_bytes("some plans"));
}

TEST_F(CliTest, PasswordLengths) {
    write_file(enc() / "plan.txt", "some plans");
    for (const std::size_t length : {0u, 255u}) {
        const std::string password(length, 'p');
        ASSERT_EQ(run({"plan.txt", "plan.qv", password}, enc()).exit_code, 0) << length;
        const auto decrypted = run({(enc() / "plan.qv").string(), "x", password}, dec());
        EXPECT_EQ(decrypted.output, DECRYPT_OK) << length;
        fs::remove(dec() / "plan.txt");
    }
    const auto too_long = run({"plan.txt", "long.qv", std::string(256, 'p')}, enc());
    EXPECT_EQ(too_long.output, "Error! Password is longer than 255 bytes.\n");
    EXPECT_EQ(too_long.exit_code, 1);
    EXPECT_FALSE(exists(enc() / "long.qv"));

    // Bytes that are not UTF-8 are just bytes.
    const std::string raw = "\xff\xfe\x80pw";
    ASSERT_EQ(run({"plan.txt", "raw.qv", raw}, enc()).exit_code, 0);
    EXPECT_EQ(run({(enc() / "raw.qv").string(), "x", raw}, dec()).output, DECRYPT_OK);
}

// The frozen known-answer files, through the whole program: a stand-in archiver whose "a"
// copies the input as the archive and whose "x" copies the archive out.
TEST_F(CliTest, KnownAnswerFilesThroughTheProgram) {
    const std::string copying = stand_in_archiver(
        "copy-bin",
        "case \"$1\" in a) cp -- \"$input\" \"$2\" ;; x) cp -- \"$2\" extracted.bin ;; esac");
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
