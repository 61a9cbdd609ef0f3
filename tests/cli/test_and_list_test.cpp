// QUORVEL_MODE=test and list against the built program with the real archiver: every kind of
// input a user brings (a good file or folder, a wrong password or key file, a file damaged in
// its check block or cut short, an archive 7-Zip finds fault with although the check block
// holds, a pipe), in a read-only folder, on a read-only mount and beside a run that holds the
// folder; and every ending signal while the file decrypts and while 7-Zip reads the archive.
// After each, the exit status and the output are the documented ones, and the current folder
// and the temporary folder are as they were, byte for byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <regex>
#include <thread>

#include "cipher/rounds.h"
#include "cli/cli_fixture.h"
#include "cli/file_checks.h"
#include "files/files.h"
#include "support/cipher_inputs.h"
#include "support/stream_model.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string WRONG = "Decrypt process start!\nDecrypt WRONG!\n";

// The output of a run whose check block held and whose archiver ran, up to `last`; the
// temporary file's name as normalised() shows it.
std::string checked(const std::string& command, const std::string& last) {
    return DECRYPT_OK + "!\n7z.exe " + command + " $TMPDIR/quorvel-check-N\n!\n" + last;
}

// `output` with the temporary folder `tmp` shown as "$TMPDIR" and the random part of the
// temporary file's name as "N".
std::string normalised(const std::string& output, const fs::path& tmp) {
    std::string text = output;
    for (std::size_t at; (at = text.find(tmp.string())) != std::string::npos;) {
        text.replace(at, tmp.string().size(), "$TMPDIR");
    }
    return std::regex_replace(text, std::regex("quorvel-check-[0-9]+"), "quorvel-check-N");
}

// The encrypted file of `plain` under `password`, made by the reference model of the format:
// its check block holds, whatever the bytes are.
Bytes encrypted_by_model(const Bytes& plain, const std::string& password) {
    return model_encrypt(plain, password_keys(password, CipherMode::encrypt),
                         select_round_count(password.size()));
}

// Where a case runs.
enum class Place {
    folder,           // a folder of its own
    read_only,        // a folder in which nothing can be made
    read_only_mount,  // a folder on a read-only mount
    locked,           // a folder whose lock another run holds
};

class TestAndListTest : public CliTest {
protected:
    // The encrypted inputs, made once in one folder: plan.qv (a file) and docs.qv (a folder)
    // with the password "pw", keyed.qv with the key file k.key too; check-damaged.qv (a flipped
    // byte in the check block) and cut.qv (the last 100 bytes gone); data-damaged.qv (a stored
    // 7-Zip archive with a flipped byte of file data) and not-archive.qv (bytes that are no
    // archive), both with a check block that holds; other.key, and plan.txt itself.
    const fs::path& inputs() {
        if (!inputs_.empty()) return inputs_;
        const auto folder = root() / "inputs";
        fs::create_directories(folder / "docs" / "sub");
        write_file(folder / "plan.txt", PLAN);
        write_file(folder / "docs" / "a.txt", "first");
        write_file(folder / "docs" / "sub" / "b.txt", "second");
        write_file(folder / "k.key", random_bytes(3072, 91));
        write_file(folder / "other.key", random_bytes(3072, 92));
        for (const auto& args :
             std::vector<std::vector<std::string>>{{"plan.txt", "plan.qv", "pw"},
                                                   {"docs", "docs.qv", "pw"},
                                                   {"plan.txt", "keyed.qv", "pw", "k.key"}}) {
            if (run(args, folder).exit_code != 0) throw std::runtime_error("cannot encrypt");
        }
        Bytes damaged = read_file(folder / "plan.qv");
        const Bytes intact = damaged;
        damaged[9 + 100] ^= 0x01;
        write_file(folder / "check-damaged.qv", damaged);
        write_file(folder / "cut.qv", Bytes(intact.begin(), intact.end() - 100));

        const std::string store = "cd '" + folder.string() + "' && PATH='" +
                                  options().path_env.value() + "' 7z a -mx0 stored.7z plan.txt";
        if (std::system(store.c_str()) != 0) throw std::runtime_error("cannot make stored.7z");
        stored_damaged_ = read_file(folder / "stored.7z");
        // A stored archive's file data starts right after its 32-byte signature header.
        stored_damaged_[32] ^= 0x01;
        fs::remove(folder / "stored.7z");
        write_file(folder / "data-damaged.qv", encrypted_by_model(stored_damaged_, "pw"));
        write_file(folder / "not-archive.qv",
                   encrypted_by_model(to_bytes("these bytes are no archive\n"), "pw"));
        inputs_ = folder;
        return inputs_;
    }

    // The options of a run in `mode` with `tmp` as the temporary folder, then `environment`.
    RunOptions options_for(const std::string& mode, const fs::path& tmp,
                           const std::vector<std::pair<std::string, std::string>>& environment,
                           const std::optional<std::string>& path_env = std::nullopt) const {
        RunOptions result = options(path_env);
        result.environment = {{"QUORVEL_MODE", mode}, {"TMPDIR", tmp.string()}};
        result.environment.insert(result.environment.end(), environment.begin(), environment.end());
        return result;
    }

    const std::string PLAN = "some plans";
    Bytes stored_damaged_;  // the damaged stored archive inside data-damaged.qv

private:
    fs::path inputs_;
};

struct CheckCase {
    std::string label;
    std::string mode;  // QUORVEL_MODE
    std::vector<std::string> args;
    std::string expected;  // the whole output, normalised
    int exit_code = 0;
    std::vector<std::string> files = {};  // copied from the inputs into the run's folder
    std::vector<std::pair<std::string, std::string>> environment = {};
    Place place = Place::folder;
    bool piped = false;  // plan.qv fed to standard input
};

std::vector<CheckCase> check_cases() {
    const std::vector<std::string> plan{"plan.qv", "x", "pw"};
    const std::string tested = checked("t", "Test OK!\n");
    const std::string listed = checked("l", "List OK!\n");
    const std::string found = "Key file found.";
    return {
        {"a file, tested", "test", plan, tested, 0, {"plan.qv"}},
        {"a file, listed", "list", plan, listed, 0, {"plan.qv"}},
        {"a folder, tested", "test", {"docs.qv", "x", "pw"}, tested, 0, {"docs.qv"}},
        {"a folder, listed", "list", {"docs.qv", "x", "pw"}, listed, 0, {"docs.qv"}},
        {"with its key file",
         "test",
         {"keyed.qv", "x", "pw", "k.key"},
         found + tested,
         0,
         {"keyed.qv", "k.key"}},
        // Decryption's archive name is no file of a test's: a key file of that name is taken.
        {"with its key file named as decryption's archive",
         "list",
         {"keyed.qv", "x", "pw", TEMP_ARCHIVE},
         found + listed,
         0,
         {"keyed.qv", "k.key"}},
        {"the password from a variable",
         "test",
         {"plan.qv", "x", "-"},
         tested,
         0,
         {"plan.qv"},
         {{"QUORVEL_PASSWORD_FROM", "env:QV_PW"}, {"QV_PW", "pw"}}},
        {"a wrong password, tested", "test", {"plan.qv", "x", "nope"}, WRONG, 1, {"plan.qv"}},
        {"a wrong password, listed", "list", {"plan.qv", "x", "nope"}, WRONG, 1, {"plan.qv"}},
        {"a wrong key file",
         "test",
         {"keyed.qv", "x", "pw", "other.key"},
         found + WRONG,
         1,
         {"keyed.qv", "other.key"}},
        {"a missing key file",
         "list",
         {"keyed.qv", "x", "pw", "none.key"},
         "Error! Key file 'none.key' not found.\n",
         1,
         {"keyed.qv"}},
        {"the input as its own key file",
         "test",
         {"plan.qv", "x", "pw", "plan.qv"},
         "Error! Key file 'plan.qv' is the input file.\n",
         1,
         {"plan.qv"}},
        {"a flipped byte in the check block, tested",
         "test",
         {"check-damaged.qv", "x", "pw"},
         WRONG,
         1,
         {"check-damaged.qv"}},
        {"a flipped byte in the check block, listed",
         "list",
         {"check-damaged.qv", "x", "pw"},
         WRONG,
         1,
         {"check-damaged.qv"}},
        {"a file cut short, tested", "test", {"cut.qv", "x", "pw"}, WRONG, 1, {"cut.qv"}},
        {"a file cut short, listed", "list", {"cut.qv", "x", "pw"}, WRONG, 1, {"cut.qv"}},
        // The check block holds, the archive does not: only 7-Zip can tell.
        {"damaged file data, tested",
         "test",
         {"data-damaged.qv", "x", "pw"},
         checked("t", "Error! The archive in 'data-damaged.qv' failed 7-Zip's test.\n"),
         1,
         {"data-damaged.qv"}},
        // A listing reads the headers only, which are whole.
        {"damaged file data, listed",
         "list",
         {"data-damaged.qv", "x", "pw"},
         listed,
         0,
         {"data-damaged.qv"}},
        {"no archive inside, tested",
         "test",
         {"not-archive.qv", "x", "pw"},
         checked("t", "Error! The archive in 'not-archive.qv' failed 7-Zip's test.\n"),
         1,
         {"not-archive.qv"}},
        {"no archive inside, listed",
         "list",
         {"not-archive.qv", "x", "pw"},
         checked("l", "Error! 7-Zip could not list the archive in 'not-archive.qv'.\n"),
         1,
         {"not-archive.qv"}},
        {"a file that is not encrypted",
         "test",
         {"plan.txt", "x", "pw"},
         "Error! File 'plan.txt' does not begin with '%quorvel%', so it cannot be decrypted.\n",
         1,
         {"plan.txt"}},
        {"a missing file", "list", {"gone.qv", "x", "pw"}, "Error! File 'gone.qv' not found.\n", 1},
        {"from a pipe, tested", "test", {"/dev/stdin", "x", "pw"}, tested, 0, {}, {}, {}, true},
        {"from a pipe, listed", "list", {"/dev/stdin", "x", "pw"}, listed, 0, {}, {}, {}, true},
        {"from a pipe, a wrong password",
         "test",
         {"/dev/stdin", "x", "nope"},
         WRONG,
         1,
         {},
         {},
         {},
         true},
        {"in a read-only folder, tested",
         "test",
         plan,
         tested,
         0,
         {"plan.qv"},
         {},
         Place::read_only},
        {"in a read-only folder, a wrong password",
         "list",
         {"plan.qv", "x", "nope"},
         WRONG,
         1,
         {"plan.qv"},
         {},
         Place::read_only},
        {"on a read-only mount", "list", plan, listed, 0, {"plan.qv"}, {}, Place::read_only_mount},
        {"beside a run that holds the folder",
         "test",
         plan,
         tested,
         0,
         {"plan.qv"},
         {},
         Place::locked},
        {"a temporary folder that is missing",
         "test",
         plan,
         "Error! Can't create a file in the temporary folder '$TMPDIR/missing'.\n",
         1,
         {"plan.qv"},
         {{"TMPDIR", "$TMPDIR/missing"}}},
        {"an output folder for 7-Zip",
         "test",
         plan,
         "Error! QUORVEL_UNPACK_SWITCHES holds '-orestored', which would make a folder: a test "
         "or a listing writes nothing.\n",
         1,
         {"plan.qv"},
         {{"QUORVEL_UNPACK_SWITCHES", "-aos -orestored"}}},
        {"the archive to standard output",
         "list",
         plan,
         "Error! QUORVEL_UNPACK_SWITCHES holds '-so', which would pass the archive or its files "
         "through standard input or output.\n",
         1,
         {"plan.qv"},
         {{"QUORVEL_UNPACK_SWITCHES", "-so"}}},
    };
}

TEST_F(TestAndListTest, EachInputEndsAsDocumentedAndBothFoldersStayAsTheyWere) {
    const fs::path from = inputs();
    const Bytes plan_qv = read_file(from / "plan.qv");
    const bool mounts = can_mount_read_only(fresh_folder());
    for (const auto& c : check_cases()) {
        SCOPED_TRACE("QUORVEL_MODE=" + c.mode + ", " + c.label);
        if (c.place == Place::read_only_mount && !mounts) {
            std::cout << "no read-only mount of one's own here: '" << c.label << "' left out\n";
            continue;
        }
        const auto folder = fresh_folder();
        const auto tmp = fresh_folder();
        for (const auto& name : c.files) {
            fs::copy_file(from / name, folder / (name == "k.key" ? c.args.back() : name));
        }
        std::optional<ReadOnlyFolder> read_only;
        if (c.place == Place::read_only) {
            read_only.emplace(folder);
            if (!read_only->works()) {
                std::cout << "no read-only folder here: '" << c.label << "' left out\n";
                continue;
            }
        }
        files::Descriptor lock_holder;
        if (c.place == Place::locked) {
            lock_holder =
                files::Descriptor(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            ASSERT_EQ(::flock(lock_holder.get(), LOCK_EX | LOCK_NB), 0);
        }
        auto environment = c.environment;
        for (auto& [name, value] : environment) {
            if (value.starts_with("$TMPDIR")) value.replace(0, 7, tmp.string());
        }
        auto run_options = options_for(c.mode, tmp, environment);
        if (c.piped) {
            run_options.in_child = [plan_qv] {
                take_input_from_pipe(std::string(plan_qv.begin(), plan_qv.end()));
            };
        } else if (c.place == Place::read_only_mount) {
            run_options.in_child = [folder] { mount_read_only(folder); };
        }
        const auto folder_before = record_folder(folder);
        const auto tmp_before = record_folder(tmp);
        const auto result = run_watched(c.args, folder, run_options, WatchOptions{});
        EXPECT_EQ(normalised(result.output, tmp), c.expected);
        EXPECT_EQ(result.exit_code, c.exit_code);
        EXPECT_EQ(folder_changes(folder_before, record_folder(folder)), "");
        EXPECT_EQ(folder_changes(tmp_before, record_folder(tmp)), "");
    }
}

// What 7-Zip says comes through whole, between the echoed command and the last line, and the
// switches of QUORVEL_UNPACK_SWITCHES reach it.
TEST_F(TestAndListTest, SevenZipsOwnLinesComeBetweenTheCommandAndTheLastLine) {
    const fs::path from = inputs();
    const auto loud = loud_archiver();
    const struct {
        const char* mode;
        const char* input;
        const char* switches;  // nullptr: the variable is not set
        std::string command;
        std::vector<std::string> shown;  // lines 7-Zip prints, in this order
        std::string last;
    } cases[] = {
        {"test", "docs.qv", nullptr, "t", {"Everything is Ok", "Files: 2"}, "Test OK!\n"},
        {"list",
         "docs.qv",
         nullptr,
         "l",
         {" docs/a.txt\n", " docs/sub/b.txt\n", "2 files, 2 folders"},
         "List OK!\n"},
        {"list", "plan.qv", "-slt", "l", {"Path = plan.txt\nSize = 10\n"}, "List OK!\n"},
        {"test",
         "data-damaged.qv",
         nullptr,
         "t",
         {"CRC Failed"},
         "Error! The archive in 'data-damaged.qv' failed 7-Zip's test.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + " " + c.input);
        const auto folder = fresh_folder();
        const auto tmp = fresh_folder();
        fs::copy_file(from / c.input, folder / c.input);
        std::vector<std::pair<std::string, std::string>> environment;
        if (c.switches != nullptr) environment.emplace_back("QUORVEL_UNPACK_SWITCHES", c.switches);
        auto run_options = options_for(c.mode, tmp, environment, loud);
        run_options.errors = ErrorSink::pipe;
        const auto result = run_program({c.input, "x", "pw"}, folder, run_options);
        const std::string output = normalised(result.output + result.errors, tmp);
        const std::string head =
            DECRYPT_OK + "!\n7z.exe " + c.command + " $TMPDIR/quorvel-check-N\n!\n";
        EXPECT_TRUE(output.starts_with(head)) << output;
        EXPECT_TRUE(normalised(result.output, tmp).ends_with(c.last)) << result.output;
        std::size_t at = head.size();
        for (const auto& line : c.shown) {
            at = output.find(line, at);
            EXPECT_NE(at, std::string::npos) << line << " in\n" << output;
        }
        EXPECT_TRUE(fs::is_empty(tmp));
    }
}

// While 7-Zip reads it, the decrypted archive is a file of the temporary folder that only its
// owner may read, also where the folder's default access list would let everyone read new
// files, and it holds what was encrypted.
TEST_F(TestAndListTest, TheArchiveIsPrivateAndInTheTemporaryFolderWhileSevenZipReadsIt) {
    const fs::path from = inputs();
    const std::string others_can_read =
        "setpriv --reuid=65534 --regid=65534 --clear-groups cat -- \"$input\" >/dev/null 2>&1";
    const bool acl_tools =
        std::system("command -v setfacl >/dev/null && command -v setpriv >/dev/null") == 0 &&
        can_become_nobody();
    const auto watching =
        stand_in_archiver("watching-bin",
                          "case \"$1\" in t|l) ;; *) exit 2 ;; esac\n"
                          "stat -c %a -- \"$input\" > ../seen.txt\n"
                          "dirname -- \"$input\" >> ../seen.txt\n"
                          "cat -- \"$input\" > ../archive.copy\n" +
                              (acl_tools ? others_can_read + " && echo readable >> ../seen.txt"
                                                             " || echo private >> ../seen.txt"
                                         : std::string()));
    const auto reachable = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                           fs::perms::others_read | fs::perms::others_exec;
    for (const char* mode : {"test", "list"}) {
        SCOPED_TRACE(mode);
        const auto folder = root() / (std::string("watched-") + mode);
        const auto tmp = folder / "tmp";
        fs::create_directories(tmp);
        fs::copy_file(from / "data-damaged.qv", folder / "data-damaged.qv");
        bool shared = false;
        if (acl_tools) {
            for (const auto& f : {root(), folder, tmp}) fs::permissions(f, reachable);
            shared =
                std::system(("setfacl -d -m u::rw,g::r,o::r '" + tmp.string() + "'").c_str()) == 0;
        }
        const auto result = run_program({"data-damaged.qv", "x", "pw"}, folder,
                                        options_for(mode, tmp, {}, watching));
        EXPECT_EQ(result.exit_code, 0) << result.output;
        const Bytes seen = read_file(root() / "seen.txt");
        std::string expected = "600\n" + tmp.string() + "\n";
        if (shared) expected += "private\n";
        EXPECT_EQ(std::string(seen.begin(), seen.end()), expected);
        EXPECT_EQ(read_file(root() / "archive.copy"), stored_damaged_);
        EXPECT_TRUE(fs::is_empty(tmp));
    }
}

// A stand-in 7z whose "t" and "l" write their process id to ../archiver.pid and then work on
// (sleep); its output goes nowhere, so that one left running holds no pipe of the run's.
const std::string SLOW_CHECK =
    "exec >/dev/null\n"
    "case \"$1\" in t|l) echo $$ > ../archiver.pid; exec sleep 30 ;; esac";

// True when a file in `folder` holds a mebibyte or more: the archive is being decrypted.
bool decrypting_into(const fs::path& folder) {
    for (const auto& entry : fs::directory_iterator(folder)) {
        std::error_code error;
        if (fs::file_size(entry.path(), error) >= (1u << 20) && !error) return true;
    }
    return false;
}

TEST_F(TestAndListTest, EachEndingSignalEndsTheRunByItAndLeavesBothFoldersAsTheyWere) {
    const fs::path from = inputs();
    // A signed file of 1 GiB of zeros: its cipher stage runs long, into the temporary folder.
    const auto big = root() / "big.qv";
    write_file(big, "%quorvel%");
    fs::resize_file(big, (std::uintmax_t{1} << 30) + 265);
    const auto slow = stand_in_archiver("slow-check-bin", SLOW_CHECK);
    const auto pid_file = root() / "archiver.pid";
    const struct {
        const char* stage;
        const char* mode;
        std::string input;
        std::function<bool(const fs::path& tmp)> reached;
    } stages[] = {
        {"decrypting for a test", "test", big.string(), decrypting_into},
        {"decrypting for a listing", "list", big.string(), decrypting_into},
        {"7-Zip testing", "test", (from / "plan.qv").string(),
         [&pid_file](const fs::path&) { return pid_in(pid_file) != 0; }},
        {"7-Zip listing", "list", (from / "plan.qv").string(),
         [&pid_file](const fs::path&) { return pid_in(pid_file) != 0; }},
    };
    for (const auto& stage : stages) {
        for (const auto& s : ENDING_SIGNALS) {
            SCOPED_TRACE(std::string(s.label) + " while " + stage.stage);
            const auto folder = fresh_folder();
            const auto tmp = fresh_folder();
            fs::remove(pid_file);
            const auto folder_before = record_folder(folder);
            const auto tmp_before = record_folder(tmp);
            auto run_options = options_for(stage.mode, tmp, {}, slow);
            run_options.in_child = forbid_core_files;
            RunningProgram program({stage.input, "x", "pw"}, folder, run_options);
            ASSERT_TRUE(wait_until([&] { return stage.reached(tmp); }));
            const auto sent = std::chrono::steady_clock::now();
            program.send_signal(s.signal_number);
            const auto result = finish_within(program, 5s);
            EXPECT_LT(std::chrono::steady_clock::now() - sent, 3s);
            EXPECT_EQ(result.term_signal, s.signal_number) << "exit status " << result.exit_code;
            EXPECT_EQ(folder_changes(folder_before, record_folder(folder)), "");
            EXPECT_EQ(folder_changes(tmp_before, record_folder(tmp)), "");
            if (const int archiver = pid_in(pid_file); archiver != 0) {
                const bool gone = ::kill(archiver, 0) != 0 && errno == ESRCH;
                EXPECT_TRUE(gone) << "the archiver outlived the run";
                if (!gone) ::kill(archiver, SIGKILL);
            }
        }
    }
}

}  // namespace
}  // namespace quorvel::test
