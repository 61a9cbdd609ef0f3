// Only what is named is packed: a name reaches the archiver as one name, whatever a shell or
// the archiver would make of it, "*" and "?" are no wildcards, and an input that does not
// exist or is neither a file nor a folder stops the run before anything (no archiver run, no
// key file made).
#include <gtest/gtest.h>

#include <set>

#include "cli/file_safety.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;

class OnlyNamedInputPackedTest : public FileSafetyTest {};

TEST_F(OnlyNamedInputPackedTest, InputsThatCannotBePackedStopTheRunBeforeAnything) {
    const auto q_files = [](const fs::path& folder) {
        write_file(folder / "qX", "x");
        write_file(folder / "qY", "y");
    };
    expect_refused({
        // Neither a file nor a folder: 7-Zip would pack an empty entry.
        {"input /dev/zero",
         {"/dev/zero", "out.qv", "pw"},
         "Crypt run\n" + neither_file_nor_folder("/dev/zero")},
        {"input /dev/null",
         {"/dev/null", "out.qv", "pw"},
         "Crypt run\n" + neither_file_nor_folder("/dev/null")},
        {"input a FIFO fed meanwhile",
         {"pipe", "out.qv", "pw"},
         "Crypt run\n" + neither_file_nor_folder("pipe"),
         true,
         {},
         "pipe"},
        // A FIFO without a writer is empty: no waiting for one.
        {"input a FIFO nobody writes to",
         {"pipe", "out.qv", "pw"},
         "Crypt run\n" + neither_file_nor_folder("pipe"),
         true,
         unfed_fifo("pipe")},
        {.label = "input a FIFO nobody writes to, encryption forced",
         .args = {"pipe", "out.qv", "pw"},
         .expected = "Crypt run\n" + neither_file_nor_folder("pipe"),
         .setup = unfed_fifo("pipe"),
         .environment = {FORCED_ENCRYPT}},
        {.label = "input a FIFO nobody writes to, decryption forced",
         .args = {"pipe", "x", "pw"},
         .expected =
             "Error! File 'pipe' does not begin with '%quorvel%', so it cannot be decrypted.\n",
         .setup = unfed_fifo("pipe"),
         .environment = {FORCED_DECRYPT}},
        {"input a socket",
         {"sock", "out.qv", "pw"},
         neither_file_nor_folder("sock"),
         false,
         [](const fs::path& folder) { make_socket_file(folder / "sock"); }},
        {.label = "input /dev/stdin from a pipe",
         .args = {"/dev/stdin", "out.qv", "pw"},
         .expected = "Crypt run\n" + neither_file_nor_folder("/dev/stdin"),
         .in_child = [] { take_input_from_pipe(NOT_OURS); }},
        // Not patterns: they name files that do not exist.
        {"wildcard ? matching other files",
         {"q?", "out.qv", "pw"},
         missing_input("q?"),
         true,
         q_files},
        {"wildcard * matching other files",
         {"q*", "out.qv", "pw"},
         missing_input("q*"),
         true,
         q_files},
        {"wildcard * matching nothing", {"nothing*", "out.qv", "pw"}, missing_input("nothing*")},
        // Nothing to pack: the archiver is not run, and no key file is made.
        {"missing input", {"nope", "out.qv", "pw"}, missing_input("nope")},
        {"missing input with a new key file",
         {"nope", "out.qv", "pw", "new.key"},
         missing_input("nope")},
        {.label = "missing input, encryption forced",
         .args = {"nope", "out.qv", "pw"},
         .expected = missing_input("nope"),
         .environment = {FORCED_ENCRYPT}},
        {"input a dangling link",
         {"gone", "out.qv", "pw"},
         missing_input("gone"),
         true,
         symlink_to("nowhere", "gone")},
        // "my docs" typed without quotes: the missing input "my" stops the run before a key
        // file is made or anything is packed. A key file that was there stays.
        {"new key file of a run with a missing input",
         {"my", "docs", "docs.qv", "secret"},
         missing_input("my")},
        {"existing key file of a run with a missing input",
         {"my", "docs", "docs.qv", "secret"},
         missing_input("my"),
         true,
         key_file("secret", 3072)},
    });
}

TEST_F(OnlyNamedInputPackedTest, FileNamedLikeAWildcardIsPackedAlone) {
    const auto folder = fresh_folder();
    write_file(folder / "q?", "the file named q?");
    write_file(folder / "qX", "x");
    write_file(folder / "qY", "y");
    const auto encrypted = run({"q?", "out.qv", "pw"}, folder);
    EXPECT_EQ(encrypted.output, encrypt_output("q?"));
    ASSERT_EQ(encrypted.exit_code, 0);
    const auto back = fresh_folder();
    const auto decrypted = run({(folder / "out.qv").string(), "x", "pw"}, back);
    EXPECT_EQ(decrypted.exit_code, 0);
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(back)) {
        names.insert(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::set<std::string>{"q?"});
    EXPECT_EQ(read_file(back / "q?"), to_bytes("the file named q?"));
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

TEST_F(OnlyNamedInputPackedTest, RoundTripOfAwkwardNamesWithPasswordAndKeyFile) {
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

}  // namespace
}  // namespace quorvel::test
