// Every file a run touches belongs to that run: nothing at the temporary archive's name is
// written through, no key file is clobbered or left by a failed run, inputs and key files
// that are not regular files are refused, size limits and a closed standard output leave
// nothing behind, and two runs never share a folder. Each case checks the exit status,
// the messages that matter, the files left in the folder and, after a success, that the
// output decrypts back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <set>

#include "cli/cli_fixture.h"
#include "cli/file_checks.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string PLAN = "some plans";
const std::string NOT_OURS = "not a quorvel file\n";

// Sets a folder's or file's mode bits exactly.
void set_mode(const fs::path& path, fs::perms mode) {
    fs::permissions(path, mode, fs::perm_options::replace);
}

unsigned mode_of(const fs::path& path) {
    struct stat info {};
    ::lstat(path.c_str(), &info);
    return info.st_mode & 07777u;
}

ino_t inode_of(const fs::path& path) {
    struct stat info {};
    ::lstat(path.c_str(), &info);
    return info.st_ino;
}

// A stand-in 7z takes the command from $1, the archive from $2 and the input from the last
// argument, whatever switches come between.
const std::string LAST_ARGUMENT = "for arg; do input=$arg; done\n";

// "a" copies the input as the archive, "x" copies the archive out as extracted.bin.
const std::string COPYING = LAST_ARGUMENT +
                            "case \"$1\" in a) cp -- \"$input\" \"$2\" ;; "
                            "x) cp -- \"$2\" extracted.bin ;; esac";

// As COPYING, but held until the file `gate` exists (five seconds at most): "a" after making
// the archive, "x" before extracting.
std::string gated_copying(const fs::path& gate) {
    return LAST_ARGUMENT + "wait_for_gate() {\n  i=0\n  while [ ! -e '" + gate.string() +
           "' ] && [ $i -lt 100 ]; do sleep 0.05; i=$((i+1)); done\n}\n"
           "case \"$1\" in a) cp -- \"$input\" \"$2\"; wait_for_gate ;; "
           "x) wait_for_gate; cp -- \"$2\" extracted.bin ;; esac";
}

class FilesTest : public CliTest {
protected:
    RunOptions options_with(const std::optional<std::string>& path_env,
                            std::function<void()> in_child) const {
        auto result = options(path_env);
        result.in_child = std::move(in_child);
        return result;
    }

    // "plan.txt" (PLAN) encrypted with password "pw" by the real archiver, made once.
    const fs::path& plan_qv() {
        if (plan_qv_.empty()) {
            const auto folder = fresh_folder();
            write_file(folder / "plan.txt", PLAN);
            const auto made = run({"plan.txt", "plan.qv", "pw"}, folder);
            if (made.exit_code != 0) throw std::runtime_error("cannot make plan.qv");
            fs::remove(folder / "plan.txt");
            plan_qv_ = folder / "plan.qv";
        }
        return plan_qv_;
    }

    // The files most cases start from: plan.txt, big.bin (longer than a key file), plan.qv
    // and a folder docs.
    void put_common_files(const fs::path& folder) {
        write_file(folder / "plan.txt", PLAN);
        write_file(folder / "big.bin", random_bytes(4000, 81));
        fs::copy_file(plan_qv(), folder / "plan.qv");
        fs::create_directories(folder / "docs");
        write_file(folder / "docs" / "a.txt", "a document");
    }

    // Decrypts `encrypted` in a new folder with `path_env` as PATH (the quiet real archiver
    // by default) and expects `name` to come out holding `bytes`, and nothing else to stay.
    void expect_decrypts_to(const fs::path& encrypted, const std::string& name, const Bytes& bytes,
                            const std::vector<std::string>& key = {},
                            const std::optional<std::string>& path_env = std::nullopt) {
        const auto folder = fresh_folder();
        std::vector<std::string> args{encrypted.string(), "x", "pw"};
        args.insert(args.end(), key.begin(), key.end());
        const auto result = run(args, folder, path_env);
        EXPECT_EQ(result.exit_code, 0) << result.output;
        EXPECT_NE(result.output.find(DECRYPT_OK), std::string::npos) << result.output;
        ASSERT_TRUE(exists(folder / name)) << name;
        EXPECT_EQ(read_file(folder / name), bytes);
        auto left = leftovers(folder);
        std::erase(left, name);  // an extracted file may carry the archive's name
        EXPECT_EQ(left, std::vector<std::string>{});
    }

    // Lets the unprivileged user reach the scratch folder, the encrypted plan and the quiet
    // archiver; false (the test should skip) when no process can become that user.
    bool open_scratch_to_nobody() {
        if (!can_become_nobody()) return false;
        plan_qv();
        const auto reachable = fs::perms::owner_all | fs::perms::group_read |
                               fs::perms::group_exec | fs::perms::others_read |
                               fs::perms::others_exec;
        for (const auto& folder : {root(), plan_qv().parent_path(), root() / "quiet-bin"}) {
            set_mode(folder, reachable);
        }
        set_mode(plan_qv(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                fs::perms::others_read);
        return true;
    }

private:
    fs::path plan_qv_;
};

const char* const NO_NOBODY = "cannot become the unprivileged user 65534 (nobody) here";

// ---- Runs refused before anything is made ------------------------------------------------

struct RefusalCase {
    std::string label;
    std::vector<std::string> args;
    std::string expected;  // the whole output, or a part of it when `exact` is false
    bool exact = true;
    std::function<void(const fs::path&)> setup = {};  // more files in the run's folder
    const char* fed_fifo = nullptr;  // a FIFO made in the folder and fed during the run
    std::function<void()> in_child = {};
};

std::function<void(const fs::path&)> key_file(const std::string& name, std::size_t size) {
    return
        [name, size](const fs::path& folder) { write_file(folder / name, random_bytes(size, 82)); };
}

std::function<void(const fs::path&)> symlink_to(const std::string& target,
                                                const std::string& name) {
    return [target, name](const fs::path& folder) { fs::create_symlink(target, folder / name); };
}

std::function<void(const fs::path&)> then(std::function<void(const fs::path&)> first,
                                          std::function<void(const fs::path&)> second) {
    return [first, second](const fs::path& folder) {
        first(folder);
        second(folder);
    };
}

std::string not_regular_key(const std::string& name, bool encrypting) {
    return (encrypting ? "Crypt run\n" : "") + ("Error! Key file '" + name) +
           "' is not a regular file.\n";
}

std::string neither_file_nor_folder(const std::string& name) {
    return "Error! Input '" + name + "' is neither a file nor a folder.\n";
}

std::string key_file_is_temp_archive(const std::string& name = TEMP_ARCHIVE) {
    return "Error! Key file '" + name + "' is the temporary archive, which the run replaces.\n";
}

// "output" or "error".
std::string standard_stream_output(const std::string& name, const std::string& stream) {
    return "Error! Output file '" + name + "' is standard " + stream + ", which carries the " +
           (stream == "output" ? "messages" : "warnings") + ".\n";
}

// A child step: standard error becomes a pipe that nobody reads (its reading end stays open,
// so a write would not fail).
void errors_to_pipe() {
    int ends[2];
    if (::pipe(ends) != 0 || ::dup2(ends[1], 2) != 2) ::_exit(126);
}

// An input that does not exist: the run stops at once, before the archiver.
std::string missing_input(const std::string& name) {
    return "Error! File '" + name + "' not found.\n";
}

std::vector<RefusalCase> refusal_cases() {
    const auto q_files = [](const fs::path& folder) {
        write_file(folder / "qX", "x");
        write_file(folder / "qY", "y");
    };
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
        // Standard output and standard error carry the messages and the warnings: an output
        // that leads to either, by whatever name, would mix them into the encrypted file.
        {"output /dev/stderr, standard error a pipe",
         {"plan.txt", "/dev/stderr", "pw"},
         "Crypt run\n" + standard_stream_output("/dev/stderr", "error"),
         true,
         {},
         nullptr,
         [] { errors_to_pipe(); }},
        {"output standard error by a duplicate's number",
         {"plan.txt", "/proc/self/fd/7", "pw"},
         "Crypt run\n" + standard_stream_output("/proc/self/fd/7", "error"),
         true,
         {},
         nullptr,
         [] {
             errors_to_pipe();
             ::dup2(2, 7);
         }},
        {"output /proc/thread-self/fd/1",
         {"plan.txt", "/proc/thread-self/fd/1", "pw"},
         "Crypt run\n" + standard_stream_output("/proc/thread-self/fd/1", "output")},
        {"output standard output by a duplicate's number",
         {"plan.txt", "/dev/fd/5", "pw"},
         "Crypt run\n" + standard_stream_output("/dev/fd/5", "output"),
         true,
         {},
         nullptr,
         [] { ::dup2(1, 5); }},
        // Neither a file nor a folder: 7-Zip would pack an empty entry.
        {"input /dev/zero",
         {"/dev/zero", "out.qv", "pw"},
         "Crypt run\n" + neither_file_nor_folder("/dev/zero")},
        {"input /dev/null",
         {"/dev/null", "out.qv", "pw"},
         "Crypt run\n" + neither_file_nor_folder("/dev/null")},
        {"input a FIFO",
         {"pipe", "out.qv", "pw"},
         "Crypt run\n" + neither_file_nor_folder("pipe"),
         true,
         {},
         "pipe"},
        {"input a socket",
         {"sock", "out.qv", "pw"},
         neither_file_nor_folder("sock"),
         false,
         [](const fs::path& folder) { make_socket_file(folder / "sock"); }},
        {"input /dev/stdin from a pipe",
         {"/dev/stdin", "out.qv", "pw"},
         "Crypt run\n" + neither_file_nor_folder("/dev/stdin"),
         true,
         {},
         nullptr,
         [] { take_input_from_pipe(NOT_OURS); }},
        // Names that refer to the temporary archive or to nothing.
        {"output a dangling link to the archive name",
         {"plan.txt", "out.qv", "pw"},
         "Crypt run\nError! Output file 'out.qv' is the temporary archive's name.\n",
         true,
         symlink_to(TEMP_ARCHIVE, "out.qv")},
        {"empty output name", {"plan.txt", "", "pw"}, "Crypt run\nError! Can't create file ''.\n"},
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
        // A name's control characters are shown escaped: none can forge a line of the
        // program's own or steer the terminal.
        {"input named with line breaks and an escape",
         {"nosuch\nCript complite\r\x1b[2Jx", "out.qv", "pw"},
         missing_input("nosuch\\nCript complite\\r\\x1b[2Jx")},
        // "my docs" typed without quotes: the missing input "my" stops the run before a key
        // file is made or anything is packed. A key file that was there stays.
        {"new key file of a run with a missing input",
         {"my", "docs", "docs.qv", "secret"},
         "Error! File 'my' not found.\n"},
        {"existing key file of a run with a missing input",
         {"my", "docs", "docs.qv", "secret"},
         "Error! File 'my' not found.\n",
         true,
         key_file("secret", 3072)},
        // A folder as the output is found before a key file is made or anything is packed.
        {"new key file of a run with a folder as the output",
         {"plan.txt", "docs", "pw", "secret"},
         "Crypt run\nError! Can't create file 'docs'.\n"},
        {"new key file of an output that cannot be made",
         {"plan.txt", "no-such-folder/out.qv", "pw", "new.key"},
         "Error! Can't create file 'no-such-folder/out.qv'.\n",
         false},
        // Short key files give weak keys.
        {"key file of 3000 bytes",
         {"plan.txt", "out.qv", "pw", "k.key"},
         "Error! Key file 'k.key' is 3000 bytes long; a key file needs 3072 or more.\n",
         false,
         key_file("k.key", 3000)},
    };
    // Key files that are not regular files, in both modes.
    for (const bool encrypting : {true, false}) {
        const std::vector<std::string> head =
            encrypting ? std::vector<std::string>{"plan.txt", "out.qv", "pw"}
                       : std::vector<std::string>{"plan.qv", "x", "pw"};
        for (const std::string key : {"/dev/urandom", "/dev/null", "/dev/zero"}) {
            auto args = head;
            args.push_back(key);
            cases.push_back({"key file " + key, args, not_regular_key(key, encrypting)});
        }
        auto with_fifo = head;
        with_fifo.push_back("kpipe");
        cases.push_back({"key file a FIFO",
                         with_fifo,
                         not_regular_key("kpipe", encrypting),
                         true,
                         {},
                         "kpipe"});
        auto with_folder = head;
        with_folder.push_back("docs");
        cases.push_back({"key file a folder", with_folder, not_regular_key("docs", encrypting)});
    }
    return cases;
}

TEST_F(FilesTest, RefusedRunsChangeNothing) {
    for (const auto& c : refusal_cases()) {
        SCOPED_TRACE(c.label + ": quorvel '" + c.args[0] + "' '" + c.args[1] + "' ... " +
                     (c.args.size() > 3 ? c.args[3] : ""));
        const auto folder = fresh_folder();
        put_common_files(folder);
        if (c.setup) c.setup(folder);
        std::optional<FifoFeeder> feeder;
        if (c.fed_fifo != nullptr) feeder.emplace(folder / c.fed_fifo, NOT_OURS);
        const auto before = record_folder(folder);
        const auto result = run_watched(c.args, folder, options_with(std::nullopt, c.in_child),
                                        WatchOptions{.deadline = 20s});
        feeder.reset();
        EXPECT_EQ(result.term_signal, 0);
        EXPECT_EQ(result.exit_code, 1);
        if (c.exact) {
            EXPECT_EQ(result.output, c.expected);
        } else {
            EXPECT_NE(result.output.find(c.expected), std::string::npos) << result.output;
        }
        EXPECT_EQ(folder_changes(before, record_folder(folder)), "");
    }
}

// ---- The temporary archive's name -------------------------------------------------------

// Anything but a regular file at the archive's name (a link to the user's file, a dangling
// link, a folder, a FIFO) stops decryption before it starts: what a link points to is never
// written or made, and the folder and the link's target stay as they were.
TEST_F(FilesTest, AnythingButAFileAtTheArchiveNameStopsDecryption) {
    const std::string refusal =
        "Error! Temporary archive 'quorvelxxxfilo.7z' is not a regular file; move it away and "
        "run again.\n";
    const auto expect_refused = [&](const fs::path& folder, const fs::path& victim_folder,
                                    std::function<void()> in_child) {
        const auto before = record_folder(folder);
        const auto victim_before = record_folder(victim_folder);
        const auto result =
            run_program({plan_qv().string(), "x", "pw"}, folder, options_with({}, in_child));
        EXPECT_EQ(result.output, refusal);
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(folder_changes(before, record_folder(folder)), "");
        EXPECT_EQ(folder_changes(victim_before, record_folder(victim_folder)), "");
    };
    const struct {
        const char* label;
        std::function<void(const fs::path& archive, const fs::path& victims)> plant;
    } planted[] = {
        {"a link to the user's own file",
         [](const fs::path& archive, const fs::path& victims) {
             fs::create_symlink(victims / "precious", archive);
         }},
        {"a dangling link",
         [](const fs::path& archive, const fs::path& victims) {
             fs::create_symlink(victims / "nowhere", archive);
         }},
        {"a folder",
         [](const fs::path& archive, const fs::path&) { fs::create_directory(archive); }},
        {"a FIFO", [](const fs::path& archive,
                      const fs::path&) { ASSERT_EQ(::mkfifo(archive.c_str(), 0600), 0); }},
    };
    for (const auto& p : planted) {
        SCOPED_TRACE(p.label);
        const auto folder = fresh_folder();
        const auto victims = fresh_folder();
        write_file(victims / "precious", "the user's own data");
        set_mode(victims / "precious",
                 fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
        p.plant(folder / TEMP_ARCHIVE, victims);
        expect_refused(folder, victims, {});
    }
    if (!open_scratch_to_nobody()) GTEST_SKIP() << NO_NOBODY;
    {
        // The user runs in a shared sticky folder where another user planted the link.
        SCOPED_TRACE("another user's link in a shared folder");
        const auto shared = fresh_folder();
        set_mode(shared, fs::perms::all | fs::perms::sticky_bit);
        const auto home = fresh_folder();
        write_file(home / "precious", "the user's own data");
        set_mode(home / "precious",
                 fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
        give_to_nobody(home);
        give_to_nobody(home / "precious");
        fs::create_symlink(home / "precious", shared / TEMP_ARCHIVE);
        expect_refused(shared, home, become_nobody);
    }
}

// A regular file at the archive's name (left after "Decrypt WRONG!", say) is replaced, not
// written into: whoever holds it open, or by another name, still reads its old contents,
// never the plaintext.
TEST_F(FilesTest, FileAtTheArchiveNameIsReplacedNotWrittenThrough) {
    const std::string old_contents = "an old archive someone holds open";
    for (const bool by_another_name : {false, true}) {
        SCOPED_TRACE(by_another_name ? "held by another name (a hard link)" : "held open");
        const auto folder = fresh_folder();
        const auto other_name = root() / ("held-" + folder.filename().string());
        write_file(folder / TEMP_ARCHIVE, old_contents);
        const int held = ::open((folder / TEMP_ARCHIVE).c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(held, 0);
        if (by_another_name) {
            ::close(held);
            fs::create_hard_link(folder / TEMP_ARCHIVE, other_name);
        }
        const auto result = run({plan_qv().string(), "x", "pw"}, folder);
        EXPECT_EQ(result.output, DECRYPT_OK);
        EXPECT_EQ(result.exit_code, 0);
        EXPECT_EQ(read_file(folder / "plan.txt"), to_bytes(PLAN));
        EXPECT_TRUE(leftovers(folder).empty());
        if (by_another_name) {
            EXPECT_EQ(read_file(other_name), to_bytes(old_contents));
            continue;
        }
        std::string seen(4096, '\0');
        const auto got = ::pread(held, seen.data(), seen.size(), 0);
        ::close(held);
        ASSERT_GE(got, 0);
        seen.resize(static_cast<std::size_t>(got));
        EXPECT_EQ(seen, old_contents);
    }
}

// An archive holding an entry named like the temporary archive, alone or beside another:
// the extracted entry is the user's file and stays with its own bytes, and the run reports
// success and leaves exactly the archive's entries. Packing the current folder itself packs
// none of the run's own files.
TEST_F(FilesTest, ExtractedEntryNamedLikeTheArchiveStays) {
    const Bytes entry = random_bytes(500, 83);
    enum class Packed { alone, folder_contents, current_folder };
    const struct {
        const char* label;
        Packed packed;  // the entry by its absolute path, src/. from above, or . inside src
        std::map<std::string, Bytes> entries;
    } cases[] = {
        {"packed alone by its path", Packed::alone, {{TEMP_ARCHIVE, entry}}},
        {"packed with a folder's contents",
         Packed::folder_contents,
         {{TEMP_ARCHIVE, entry}, {"b.txt", to_bytes("beside it")}}},
        {"the current folder packed", Packed::current_folder, {{"b.txt", to_bytes("beside it")}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const auto folder = fresh_folder();
        fs::create_directories(folder / "src");
        for (const auto& [name, bytes] : c.entries) write_file(folder / "src" / name, bytes);
        const std::string input = c.packed == Packed::alone
                                      ? (folder / "src" / TEMP_ARCHIVE).string()
                                  : c.packed == Packed::folder_contents ? std::string("src/.")
                                                                        : std::string(".");
        const auto encrypted =
            c.packed == Packed::current_folder
                ? run({input, (folder / "out.qv").string(), "pw"}, folder / "src")
                : run({input, "out.qv", "pw"}, folder);
        ASSERT_EQ(encrypted.exit_code, 0) << encrypted.output;
        const auto back = fresh_folder();
        const auto decrypted = run({(folder / "out.qv").string(), "x", "pw"}, back);
        EXPECT_EQ(decrypted.output, DECRYPT_OK);
        EXPECT_EQ(decrypted.exit_code, 0);
        std::map<std::string, Bytes> found;
        for (const auto& [name, record] : record_folder(back)) {
            EXPECT_EQ(record.type, fs::file_type::regular) << name;
            found[name] = to_bytes(record.contents);
        }
        EXPECT_EQ(found, c.entries);
    }
}

// ---- Names the archiver must take literally ---------------------------------------------

TEST_F(FilesTest, FileNamedLikeAWildcardIsPackedAlone) {
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

// ---- Key files --------------------------------------------------------------------------

// Any file of 3072 bytes or more is a key file; its first 3072 bytes are the key.
TEST_F(FilesTest, LongKeyFileUsesItsFirst3072Bytes) {
    const auto folder = fresh_folder();
    write_file(folder / "plan.txt", PLAN);
    const Bytes photo = random_bytes(10000, 84);
    write_file(folder / "photo.jpg", photo);
    const auto encrypted = run({"plan.txt", "out.qv", "pw", "photo.jpg"}, folder);
    EXPECT_EQ(encrypted.output, encrypt_output("plan.txt", "Key file found."));
    ASSERT_EQ(encrypted.exit_code, 0);
    EXPECT_EQ(read_file(folder / "photo.jpg"), photo);
    expect_decrypts_to(folder / "out.qv", "plan.txt", to_bytes(PLAN),
                       {(folder / "photo.jpg").string()});
    write_file(folder / "head.key", Bytes(photo.begin(), photo.begin() + 3072));
    expect_decrypts_to(folder / "out.qv", "plan.txt", to_bytes(PLAN),
                       {(folder / "head.key").string()});
}

// ---- Limits, signals and standard output ------------------------------------------------

// A file-size limit while packing, while writing the output and while writing the decrypted
// archive, with SIGXFSZ ignored (as some shells leave it) or at its default action (which
// would end the run at once): the write fails like any other, with its message and status 1,
// nothing is left, and a file already at the output stays.
TEST_F(FilesTest, FileSizeLimitIsAnOrdinaryWriteError) {
    const auto source = fresh_folder();
    const Bytes input = random_bytes(20000, 85);
    write_file(source / "plan.bin", input);
    const auto copying = stand_in_archiver("copy-bin", COPYING);
    ASSERT_EQ(run({"plan.bin", "plan.qv", "pw"}, source, copying).exit_code, 0);
    const std::string packed = "Crypt run\n!\n7z.exe a quorvelxxxfilo.7z plan.bin\n!";
    const struct {
        const char* label;
        bool encrypting;
        std::optional<std::string> archiver;  // the quiet real one when empty
        rlim_t limit;
        std::string expected;
    } cases[] = {
        {"writing the output", true, copying, 20100,
         packed + "Crypt process start!\nError! Can't write file 'out.qv'.\n"},
        {"packing", true, std::nullopt, 10000, packed + "Error pack file 'plan.bin'\n"},
        {"writing the archive", false, copying, 10000,
         "Decrypt process start!\nError! Can't write file 'quorvelxxxfilo.7z'.\n"},
    };
    for (const auto& c : cases) {
        for (const bool signal_ignored : {true, false}) {
            SCOPED_TRACE(std::string(c.label) +
                         (signal_ignored ? ", SIGXFSZ ignored" : ", SIGXFSZ at its default"));
            const auto folder = fresh_folder();
            std::vector<std::string> args{(source / "plan.qv").string(), "x", "pw"};
            if (c.encrypting) {
                write_file(folder / "plan.bin", input);
                write_file(folder / "out.qv", "the previous encrypted file");
                args = {"plan.bin", "out.qv", "pw"};
            }
            const auto before = record_folder(folder);
            auto limited = options(c.archiver);
            if (signal_ignored) {
                limited.file_size_limit = c.limit;
            } else {
                limited.in_child = [limit = c.limit] { limit_file_size(limit); };
            }
            const auto result = run_program(args, folder, limited);
            EXPECT_EQ(result.term_signal, 0);
            EXPECT_EQ(result.exit_code, 1);
            EXPECT_EQ(result.output, c.expected);
            EXPECT_EQ(folder_changes(before, record_folder(folder)), "");
        }
    }
}

// Standard output closed by its reader (as by "| head -1"): the run still does its file
// work, and its exit status is that of the file work. The real archiver writes to standard
// output too, so it must not inherit the closed one.
TEST_F(FilesTest, ClosedStandardOutputDoesNotStopTheRun) {
    const char* system_path = std::getenv("PATH");
    ASSERT_NE(system_path, nullptr);
    const auto gate = root() / "gate";
    const auto gated = stand_in_archiver("gated-bin", gated_copying(gate));
    const auto copying = stand_in_archiver("copy-bin", COPYING);
    const Bytes input = random_bytes(3000, 86);
    const struct {
        const char* label;
        OutputEnd output;
        std::string archiver;
        std::string ungated;    // the same archiver without the gate
        std::string extracted;  // the name decryption makes with that archiver
    } cases[] = {
        {"closed at the start, noisy real archiver", OutputEnd::closed_at_start, system_path,
         system_path, "plan.bin"},
        {"closed after the first line", OutputEnd::closed_after_first_line, gated, copying,
         "extracted.bin"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const auto folder = fresh_folder();
        write_file(folder / "plan.bin", input);
        ASSERT_EQ(run({"plan.bin", "ready.qv", "pw"}, folder, c.ungated).exit_code, 0);
        const WatchOptions watch{c.output, [&] { write_file(gate, ""); }, 30s};

        fs::remove(gate);
        const auto encrypted =
            run_watched({"plan.bin", "out.qv", "pw"}, folder, options(c.archiver), watch);
        EXPECT_EQ(encrypted.term_signal, 0);
        EXPECT_EQ(encrypted.exit_code, 0);
        EXPECT_TRUE(leftovers(folder).empty());
        if (exists(folder / "out.qv")) {
            expect_decrypts_to(folder / "out.qv", c.extracted, input, {}, c.ungated);
        } else {
            ADD_FAILURE() << "no output";
        }

        const auto back = fresh_folder();
        fs::remove(gate);
        const auto decrypted = run_watched({(folder / "ready.qv").string(), "x", "pw"}, back,
                                           options(c.archiver), watch);
        EXPECT_EQ(decrypted.term_signal, 0);
        EXPECT_EQ(decrypted.exit_code, 0);
        EXPECT_TRUE(leftovers(back).empty());
        EXPECT_TRUE(exists(back / c.extracted) && read_file(back / c.extracted) == input);
    }
}

// ---- Two runs in one folder -------------------------------------------------------------

// Whatever holds the folder's lock, another run or another program, a second run stops
// before anything with its message, and the folder stays as it was; a run elsewhere goes
// ahead meanwhile, and once the lock is let go the folder serves again.
TEST_F(FilesTest, SecondRunInTheSameFolderStopsAtOnce) {
    const Bytes input = random_bytes(5000, 87);
    const auto gate = root() / "gate";
    const auto gated = stand_in_archiver("gated-bin", gated_copying(gate));
    const std::vector<std::vector<std::string>> second_runs = {
        {"plan.qv", "x", "pw"},
        {"plan.txt", "plan2.qv", "pw"},
        {"plan.txt", "plan2.qv", "pw", "new.key"},
    };
    for (const bool held_by_a_run : {true, false}) {
        SCOPED_TRACE(held_by_a_run ? "another run packing" : "another program's lock");
        const auto folder = fresh_folder();
        put_common_files(folder);
        write_file(folder / "mine.bin", input);
        fs::remove(gate);
        std::optional<RunningProgram> first;
        int lock_holder = -1;
        if (held_by_a_run) {
            first.emplace(std::vector<std::string>{"mine.bin", "mine.qv", "pw"}, folder,
                          options(gated));
            // The stand-in archiver's copy is whole before the folder is recorded: a copy
            // still growing would show as a change the second runs did not make.
            ASSERT_TRUE(wait_until([&] {
                std::error_code ignored;
                return fs::file_size(packing_archive(folder), ignored) == input.size();
            }));
        } else {
            lock_holder = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            ASSERT_GE(lock_holder, 0);
            ASSERT_EQ(::flock(lock_holder, LOCK_EX | LOCK_NB), 0);
        }
        const auto held = record_folder(folder);
        for (const auto& args : second_runs) {
            SCOPED_TRACE("quorvel " + args[0] + " " + args[1]);
            const auto second = run_watched(args, folder, options(gated), WatchOptions{});
            EXPECT_EQ(second.output, "Error! Another quorvel run is working in this folder.\n");
            EXPECT_EQ(second.exit_code, 1);
            EXPECT_EQ(folder_changes(held, record_folder(folder)), "");
        }
        // Meanwhile a run in another folder goes ahead.
        const auto elsewhere = fresh_folder();
        write_file(elsewhere / "plan.txt", PLAN);
        EXPECT_EQ(run({"plan.txt", "plan.qv", "pw"}, elsewhere).output, encrypt_output("plan.txt"));
        if (held_by_a_run) {
            write_file(gate, "");
            const auto result = first->finish();
            EXPECT_EQ(result.output, encrypt_output("mine.bin"));
            EXPECT_EQ(result.exit_code, 0);
            EXPECT_TRUE(leftovers(folder).empty());
            expect_decrypts_to(folder / "mine.qv", "extracted.bin", input, {},
                               stand_in_archiver("copy-bin", COPYING));
        } else {
            ::close(lock_holder);
        }
        // The lock let go, the folder serves the next run.
        fs::remove(folder / "plan.txt");
        const auto next = run({"plan.qv", "x", "pw"}, folder);
        EXPECT_EQ(next.output, DECRYPT_OK);
        EXPECT_EQ(next.exit_code, 0);
        EXPECT_TRUE(exists(folder / "plan.txt") &&
                    read_file(folder / "plan.txt") == to_bytes(PLAN));
    }
}

// Where locks work, a run either holds the folder's lock or stops before anything: a folder
// the user may write in but not read (mode 0300, or a shared drop folder 1733) cannot be
// locked, and a run there would share the temporary archive's name with another unnoticed.
TEST_F(FilesTest, TheFolderLockHoldsOrTheRunStops) {
    if (!open_scratch_to_nobody()) GTEST_SKIP() << NO_NOBODY;
    const auto gate = root() / "gate";
    const auto gated = stand_in_archiver("gated-bin", gated_copying(gate));
    const std::string refusal =
        "Error! Can't lock this folder against other quorvel runs; it must be readable.\n";
    const struct {
        const char* label;
        fs::perms mode;
        bool owned_by_user;
        bool lockable;
    } folders[] = {
        {"the user's own folder, 0700", fs::perms::owner_all, true, true},
        {"a shared folder the user can read, 1777", fs::perms::all | fs::perms::sticky_bit, false,
         true},
        {"the user's own folder, 0300", fs::perms::owner_write | fs::perms::owner_exec, true,
         false},
        {"a shared drop folder, 1733",
         fs::perms::owner_all | fs::perms::group_write | fs::perms::group_exec |
             fs::perms::others_write | fs::perms::others_exec | fs::perms::sticky_bit,
         false, false},
    };
    for (const auto& f : folders) {
        SCOPED_TRACE(f.label);
        fs::remove(gate);
        const auto folder = fresh_folder();
        write_file(folder / "plan.txt", PLAN);
        fs::copy_file(plan_qv(), folder / "plan.qv");
        give_to_nobody(folder / "plan.txt");
        give_to_nobody(folder / "plan.qv");
        if (f.owned_by_user) give_to_nobody(folder);
        set_mode(folder, f.mode);
        const auto before = record_folder(folder);
        const RunOptions as_user = options_with(gated, become_nobody);
        if (!f.lockable) {
            for (const auto& args :
                 {std::vector<std::string>{"plan.txt", "out.qv", "pw"}, {"plan.qv", "x", "pw"}}) {
                SCOPED_TRACE("quorvel " + args[0]);
                const auto refused = run_watched(args, folder, as_user, WatchOptions{});
                EXPECT_EQ(refused.output, refusal);
                EXPECT_EQ(refused.exit_code, 1);
                EXPECT_EQ(folder_changes(before, record_folder(folder)), "");
            }
            continue;
        }
        // An encryption holds the lock while packing; a decryption meanwhile is refused.
        RunningProgram first({"plan.txt", "out.qv", "pw"}, folder, as_user);
        ASSERT_TRUE(wait_until([&] {  // packed, and the archiver waiting at the gate
            std::error_code ignored;
            return fs::file_size(packing_archive(folder), ignored) == PLAN.size();
        }));
        const auto held = record_folder(folder);
        const auto second = run_watched({"plan.qv", "x", "pw"}, folder, as_user, WatchOptions{});
        EXPECT_EQ(second.output, "Error! Another quorvel run is working in this folder.\n");
        EXPECT_EQ(second.exit_code, 1);
        EXPECT_EQ(folder_changes(held, record_folder(folder)), "");
        write_file(gate, "");
        const auto result = first.finish();
        EXPECT_EQ(result.output, encrypt_output("plan.txt"));
        EXPECT_EQ(result.exit_code, 0);
        EXPECT_TRUE(leftovers(folder).empty());
    }
}

// ---- Folders that change or cannot be written -------------------------------------------

TEST_F(FilesTest, WorkingFolderRemovedDuringTheRunIsAnError) {
    const auto folder = fresh_folder();
    write_file(root() / "plan.txt", PLAN);
    const auto removing = stand_in_archiver(
        "removing-bin", LAST_ARGUMENT + "cp -- \"$input\" \"$2\"\nrm -rf -- \"$PWD\"");
    const auto result =
        run_program({(root() / "plan.txt").string(), "out.qv", "pw"}, folder, options(removing));
    EXPECT_EQ(result.term_signal, 0);
    EXPECT_EQ(result.exit_code, 1);
    // After the pack echo a message follows its closing "!" on the same line.
    EXPECT_NE(result.output.find("Error! "), std::string::npos) << result.output;
    EXPECT_FALSE(exists(folder));
    EXPECT_EQ(read_file(root() / "plan.txt"), to_bytes(PLAN));
}

// The user may write the output but not its folder: the output is written in place.
TEST_F(FilesTest, WritableOutputInAFolderThatIsNotWritable) {
    if (!open_scratch_to_nobody()) GTEST_SKIP() << NO_NOBODY;
    const auto locked = fresh_folder();  // root's, 0755: not writable by the user
    set_mode(locked, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                         fs::perms::others_read | fs::perms::others_exec);
    const auto output = locked / "out.qv";
    write_file(output, "the previous encrypted file");
    set_mode(output, fs::perms::owner_read | fs::perms::owner_write);
    give_to_nobody(output);
    const auto inode = inode_of(output);
    const auto work = fresh_folder();
    write_file(work / "plan.txt", PLAN);
    give_to_nobody(work);
    give_to_nobody(work / "plan.txt");

    const auto result = run_program({"plan.txt", output.string(), "pw"}, work,
                                    options_with(std::nullopt, become_nobody));
    EXPECT_EQ(result.output, encrypt_output("plan.txt"));
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(inode_of(output), inode);
    EXPECT_EQ(mode_of(output), 0600u);
    EXPECT_TRUE(leftovers(work).empty());
    EXPECT_EQ(record_folder(locked).size(), 1u);
    expect_decrypts_to(output, "plan.txt", to_bytes(PLAN));
}

}  // namespace
}  // namespace quorvel::test
