// Mistakes a user makes with nothing but the README to go by: the input named again as the
// output, a FIFO nobody writes to, standard output named as the output, a missing input, a
// symbolic link to nothing, the answer to --help going nowhere. Each run is refused before
// anything is touched: the exit status, the whole output and the folder before and after.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>

#include "cli/cli_fixture.h"
#include "cli/file_checks.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string PLAN = "some plans";

class MisuseTest : public CliTest {
protected:
    fs::path fresh_folder() {
        const auto folder = root() / ("case-" + std::to_string(++folders_made_));
        fs::create_directories(folder);
        return folder;
    }

    // The files every case starts from: plan.txt, and plan.qv (PLAN encrypted with "pw").
    void put_common_files(const fs::path& folder) {
        if (plan_qv_.empty()) {
            const auto made_in = fresh_folder();
            write_file(made_in / "plan.txt", PLAN);
            if (run({"plan.txt", "plan.qv", "pw"}, made_in).exit_code != 0) {
                throw std::runtime_error("cannot make plan.qv");
            }
            plan_qv_ = made_in / "plan.qv";
        }
        write_file(folder / "plan.txt", PLAN);
        fs::copy_file(plan_qv_, folder / "plan.qv");
    }

private:
    int folders_made_ = 0;
    fs::path plan_qv_;
};

struct MisuseCase {
    std::string label;
    std::vector<std::string> args;
    std::string expected;  // the whole of standard output
    std::function<void(const fs::path&)> setup = {};
    std::vector<std::pair<std::string, std::string>> environment = {};
};

std::function<void(const fs::path&)> symlink_to(const std::string& target,
                                                const std::string& name) {
    return [target, name](const fs::path& folder) { fs::create_symlink(target, folder / name); };
}

std::function<void(const fs::path&)> hard_link_to(const std::string& target,
                                                  const std::string& name) {
    return [target, name](const fs::path& folder) {
        fs::create_hard_link(folder / target, folder / name);
    };
}

// A FIFO that no one opens for writing.
std::function<void(const fs::path&)> fifo(const std::string& name) {
    return [name](const fs::path& folder) {
        if (::mkfifo((folder / name).c_str(), 0644) != 0) throw std::runtime_error("mkfifo");
    };
}

std::string output_is_input(const std::string& name) {
    return "Crypt run\nError! Output file '" + name + "' is the input file.\n";
}

std::string output_is_console(const std::string& name) {
    return "Crypt run\nError! Output file '" + name +
           "' is standard output, which carries the messages.\n";
}

std::string not_found(const std::string& name) {
    return "Error! File '" + name + "' not found.\n";
}

const std::pair<std::string, std::string> FORCED_ENCRYPT{"QUORVEL_MODE", "encrypt"};
const std::pair<std::string, std::string> FORCED_DECRYPT{"QUORVEL_MODE", "decrypt"};

std::vector<MisuseCase> misuse_cases() {
    return {
        // The finished output would take the input's place: "your input is only read".
        {"output the input", {"plan.txt", "plan.txt", "pw"}, output_is_input("plan.txt")},
        {"output the input by another path",
         {"plan.txt", "./plan.txt", "pw"},
         output_is_input("./plan.txt")},
        {"output a link to the input",
         {"plan.txt", "link.txt", "pw"},
         output_is_input("link.txt"),
         symlink_to("plan.txt", "link.txt")},
        {"output a hard link to the input",
         {"plan.txt", "hard.txt", "pw"},
         output_is_input("hard.txt"),
         hard_link_to("plan.txt", "hard.txt")},
        {"input a link to the output",
         {"link.txt", "plan.txt", "pw"},
         output_is_input("plan.txt"),
         symlink_to("plan.txt", "link.txt")},
        {"output the input, with a new key file",
         {"plan.txt", "plan.txt", "pw", "new.key"},
         output_is_input("plan.txt")},
        {"encrypted input forced to encrypt into itself",
         {"plan.qv", "plan.qv", "pw"},
         output_is_input("plan.qv"),
         {},
         {FORCED_ENCRYPT}},
        // Decryption never reads the temporary archive as its input, by any name.
        {"decrypting a hard link to the archive name",
         {"again.qv", "x", "pw"},
         "Error! Input file 'again.qv' is the temporary archive; rename it before decrypting.\n",
         [](const fs::path& folder) {
             fs::rename(folder / "plan.qv", folder / TEMP_ARCHIVE);
             fs::create_hard_link(folder / TEMP_ARCHIVE, folder / "again.qv");
         }},
        // A FIFO without a writer is empty: no waiting for one.
        {"input a FIFO nobody writes to",
         {"pipe", "out.qv", "pw"},
         "Crypt run\nError! Input 'pipe' is neither a file nor a folder.\n",
         fifo("pipe")},
        {"input a FIFO nobody writes to, encryption forced",
         {"pipe", "out.qv", "pw"},
         "Crypt run\nError! Input 'pipe' is neither a file nor a folder.\n",
         fifo("pipe"),
         {FORCED_ENCRYPT}},
        {"input a FIFO nobody writes to, decryption forced",
         {"pipe", "x", "pw"},
         "Error! File 'pipe' does not begin with '%quorvel%', so it cannot be decrypted.\n",
         fifo("pipe"),
         {FORCED_DECRYPT}},
        // Standard output carries the messages; the ciphertext would be mixed into them.
        {"output /dev/stdout", {"plan.txt", "/dev/stdout", "pw"}, output_is_console("/dev/stdout")},
        {"output /dev/fd/1", {"plan.txt", "/dev/fd/1", "pw"}, output_is_console("/dev/fd/1")},
        {"output /proc/self/fd/1",
         {"plan.txt", "/proc/self/fd/1", "pw"},
         output_is_console("/proc/self/fd/1")},
        {"output a link to /dev/stdout",
         {"plan.txt", "out.qv", "pw"},
         output_is_console("out.qv"),
         symlink_to("/dev/stdout", "out.qv")},
        // Nothing to pack: the archiver is not run, and no key file is made.
        {"missing input", {"nope", "out.qv", "pw"}, not_found("nope")},
        {"missing input with a new key file",
         {"nope", "out.qv", "pw", "new.key"},
         not_found("nope")},
        {"missing input, encryption forced",
         {"nope", "out.qv", "pw"},
         not_found("nope"),
         {},
         {FORCED_ENCRYPT}},
        {"input a dangling link",
         {"gone", "out.qv", "pw"},
         not_found("gone"),
         symlink_to("nowhere", "gone")},
        // A link to nothing, a mistyped one say, does not create a file where it points.
        {"output a link to a missing file",
         {"plan.txt", "out.qv", "pw"},
         "Crypt run\nError! Can't create file 'out.qv'.\n",
         symlink_to("elsewhere.qv", "out.qv")},
    };
}

TEST_F(MisuseTest, MistakesAreRefusedBeforeAnythingIsTouched) {
    for (const auto& c : misuse_cases()) {
        std::string command = "quorvel";
        for (const auto& arg : c.args) command += " '" + arg + "'";
        SCOPED_TRACE(c.label + ": " + command);
        const auto folder = fresh_folder();
        put_common_files(folder);
        if (c.setup) c.setup(folder);
        auto with = options();
        with.environment = c.environment;
        const auto before = record_folder(folder);
        const auto result = run_watched(c.args, folder, with, WatchOptions{.deadline = 10s});
        EXPECT_EQ(result.term_signal, 0) << "still running at the deadline";
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(result.output, c.expected);
        EXPECT_EQ(folder_changes(before, record_folder(folder)), "");
    }
}

// The answer to --help, -h or --version that cannot be written is a failure: a full disk, a
// closed standard output, a pipe nobody reads. Written, it is a success, also when the reader
// goes after the first line.
TEST_F(MisuseTest, UnwrittenAnswersFail) {
    const auto to_full_disk = [] {
        const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
        if (full < 0 || ::dup2(full, STDOUT_FILENO) < 0) ::_exit(126);
    };
    for (const std::string question : {"--help", "-h", "--version"}) {
        SCOPED_TRACE(question);
        auto full = options();
        full.in_child = to_full_disk;
        EXPECT_EQ(run_program({question}, enc(), full).exit_code, 1);
        for (const Output unwritable : {Output::descriptor_closed, Output::reader_closed}) {
            auto lost = options();
            lost.output = unwritable;
            const auto result = run_program({question}, enc(), lost);
            EXPECT_EQ(result.term_signal, 0);
            EXPECT_EQ(result.exit_code, 1);
        }
        const auto answered = run_program({question}, enc(), options());
        EXPECT_EQ(answered.exit_code, 0);
        EXPECT_FALSE(answered.output.empty());
        // Taken whole by a reader that stops after the first line (`quorvel --help | head -1`).
        const auto first_line =
            run_watched({question}, enc(), options(),
                        WatchOptions{.output = OutputEnd::closed_after_first_line});
        EXPECT_EQ(first_line.exit_code, 0);
    }
}

}  // namespace
}  // namespace quorvel::test
