// Key files: a key file is a regular file, and neither the input, the output nor the
// temporary archive; encryption takes any of 3072 bytes or more (the first 3072 count) and
// refuses shorter ones, which give weak keys; a key file a failed run created is removed
// again; with one, the password's length alone counts.
#include <gtest/gtest.h>

#include "cli/file_safety.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;

class KeyFilesTest : public FileSafetyTest {};

std::string too_short(const std::string& name, std::size_t size) {
    return "Crypt run\nKey file found.Error! Key file '" + name + "' is " + std::to_string(size) +
           " bytes long; a key file needs 3072 or more.\n";
}

std::vector<RefusalCase> key_file_refusals() {
    std::vector<RefusalCase> cases = {
        // A key file that is the output would be overwritten by the encrypted file.
        {"new key file named as the output",
         {"plan.txt", "s.qv", "pw", "s.qv"},
         "Crypt run\nError! Key file 's.qv' is the output file.\n"},
        {"existing key file named as the output",
         {"plan.txt", "s.qv", "pw", "s.qv"},
         "Crypt run\nError! Key file 's.qv' is the output file.\n",
         true,
         key_file("s.qv", 3072)},
        {"key file linked to the existing output",
         {"plan.txt", "s.qv", "pw", "link.key"},
         "Crypt run\nError! Key file 'link.key' is the output file.\n",
         true,
         then(key_file("s.qv", 3072), symlink_to("s.qv", "link.key"))},
        {"key file linked to the output yet to be made",
         {"plan.txt", "s.qv", "pw", "link.key"},
         "Crypt run\nError! Key file 'link.key' is the output file.\n",
         true,
         symlink_to("s.qv", "link.key")},
        {"key file is the input",
         {"big.bin", "out.qv", "pw", "big.bin"},
         "Crypt run\nError! Key file 'big.bin' is the input file.\n"},
        {"key file is the input by another path",
         {"big.bin", "out.qv", "pw", "./big.bin"},
         "Crypt run\nError! Key file './big.bin' is the input file.\n"},
        {"key file is the encrypted input",
         {"plan.qv", "x", "pw", "plan.qv"},
         "Error! Key file 'plan.qv' is the input file.\n"},
        // The temporary archive is replaced by a decryption: a key file of its name would go.
        {"key file named as the temporary archive, decrypting",
         {"plan.qv", "x", "pw", TEMP_ARCHIVE},
         key_file_is_temp_archive(),
         true,
         key_file(TEMP_ARCHIVE, 3072)},
        {"new key file named as the temporary archive",
         {"plan.txt", "out.qv", "pw", "./quorvelxxxfilo.7z"},
         "Crypt run\n" + key_file_is_temp_archive("./quorvelxxxfilo.7z")},
        {"new key file in a missing folder",
         {"plan.txt", "out.qv", "pw", "no-such-folder/k.key"},
         "Crypt run\nError! Can't create key-file 'no-such-folder/k.key'.\n"},
    };
    // Short key files give weak keys.
    for (const std::size_t size : {0u, 100u, 3000u, 3071u}) {
        cases.push_back({"key file of " + std::to_string(size) + " bytes",
                         {"plan.txt", "out.qv", "pw", "k.key"},
                         too_short("k.key", size),
                         true,
                         key_file("k.key", size)});
    }
    // Key files that are not regular files: devices and folders in both modes, a FIFO when
    // encrypting.
    for (const bool encrypting : {true, false}) {
        const std::vector<std::string> head =
            encrypting ? std::vector<std::string>{"plan.txt", "out.qv", "pw"}
                       : std::vector<std::string>{"plan.qv", "x", "pw"};
        const std::string mode = encrypting ? ", encrypting" : ", decrypting";
        for (const std::string key : {"/dev/urandom", "/dev/null", "/dev/zero"}) {
            auto args = head;
            args.push_back(key);
            cases.push_back({"key file " + key + mode, args, not_regular_key(key, encrypting)});
        }
        // A decryption reads a key from a pipe (DiagnosticsTest.AKeyFileFromAPipe...).
        auto with_fifo = head;
        with_fifo.push_back("kpipe");
        if (encrypting) {
            cases.push_back({"key file a FIFO" + mode,
                             with_fifo,
                             not_regular_key("kpipe", encrypting),
                             true,
                             {},
                             "kpipe"});
        }
        auto with_folder = head;
        with_folder.push_back("docs");
        cases.push_back(
            {"key file a folder" + mode, with_folder, not_regular_key("docs", encrypting)});
    }
    return cases;
}

TEST_F(KeyFilesTest, KeyFileProblemsStopBeforeAnything) {
    expect_refused(key_file_refusals());
}

// Any file of 3072 bytes or more is a key file, and stays as it was; its first 3072 bytes are
// the key, so they alone decrypt too.
TEST_F(KeyFilesTest, LongKeyFileUsesItsFirst3072Bytes) {
    for (const std::size_t size : {5000u, 10000u}) {
        SCOPED_TRACE(size);
        const auto folder = fresh_folder();
        write_file(folder / "plan.txt", PLAN);
        const Bytes photo = random_bytes(size, 84);
        write_file(folder / "photo.jpg", photo);
        write_file(folder / "head.key", Bytes(photo.begin(), photo.begin() + 3072));
        const auto encrypted = run({"plan.txt", "out.qv", "pw", "photo.jpg"}, folder);
        EXPECT_EQ(encrypted.output, encrypt_output("plan.txt", "Key file found."));
        ASSERT_EQ(encrypted.exit_code, 0);
        EXPECT_EQ(read_file(folder / "photo.jpg"), photo);
        for (const char* key : {"photo.jpg", "head.key"}) {
            SCOPED_TRACE(key);
            const auto back = fresh_folder();
            const auto decrypted =
                run({(folder / "out.qv").string(), "x", "pw", (folder / key).string()}, back);
            EXPECT_EQ(decrypted.output, "Key file found." + DECRYPT_OK);
            EXPECT_EQ(decrypted.exit_code, 0);
            EXPECT_TRUE(exists(back / "plan.txt") &&
                        read_file(back / "plan.txt") == to_bytes(PLAN));
            EXPECT_EQ(leftovers(back), std::vector<std::string>{});
        }
    }
}

// A key file the run made goes again when the run fails: it never encrypted anything.
TEST_F(KeyFilesTest, NewKeyFileOfAFailedRunIsRemoved) {
    const auto failing = stand_in_archiver("failing-bin", FAILING_ARCHIVER);
    const auto folder = fresh_folder();
    write_file(folder / "plan.txt", PLAN);
    const auto before = record_folder(folder);
    const auto result = run({"plan.txt", "out.qv", "pw", "secret"}, folder, failing);
    EXPECT_EQ(result.output,
              "Crypt run\nKey file is successfully created!\n!\n7z.exe a quorvelxxxfilo.7z "
              "plan.txt\n!Error pack file 'plan.txt'\n");
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(folder_changes(before, record_folder(folder)), "");
}

TEST_F(KeyFilesTest, KeyFileDecisions) {
    write_file(enc() / "plan.txt", PLAN);
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
    EXPECT_EQ(read_file(dec() / "plan.txt"), to_bytes(PLAN));
}

}  // namespace
}  // namespace quorvel::test
