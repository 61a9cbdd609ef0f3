#include "cli/file_safety.h"

#include <sys/stat.h>

#include <chrono>
#include <stdexcept>

namespace quorvel::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

FolderSetup key_file(const std::string& name, std::size_t size) {
    return
        [name, size](const fs::path& folder) { write_file(folder / name, random_bytes(size, 82)); };
}

FolderSetup symlink_to(const std::string& target, const std::string& name) {
    return [target, name](const fs::path& folder) { fs::create_symlink(target, folder / name); };
}

FolderSetup hard_link_to(const std::string& target, const std::string& name) {
    return [target, name](const fs::path& folder) {
        fs::create_hard_link(folder / target, folder / name);
    };
}

FolderSetup unfed_fifo(const std::string& name) {
    return [name](const fs::path& folder) {
        if (::mkfifo((folder / name).c_str(), 0644) != 0) throw std::runtime_error("mkfifo");
    };
}

FolderSetup then(FolderSetup first, FolderSetup second) {
    return [first, second](const fs::path& folder) {
        first(folder);
        second(folder);
    };
}

std::string missing_input(const std::string& name) {
    return "Error! File '" + name + "' not found.\n";
}

std::string neither_file_nor_folder(const std::string& name) {
    return "Error! Input '" + name + "' is neither a file nor a folder.\n";
}

std::string output_is_input(const std::string& name) {
    return "Crypt run\nError! Output file '" + name + "' is the input file.\n";
}

std::string cannot_create(const std::string& name) {
    return "Crypt run\nError! Can't create file '" + name + "'.\n";
}

std::string standard_stream_output(const std::string& name, const std::string& stream) {
    return "Error! Output file '" + name + "' is standard " + stream + ", which carries the " +
           (stream == "output" ? "messages" : "warnings") + ".\n";
}

std::string not_regular_key(const std::string& name, bool encrypting) {
    return (encrypting ? "Crypt run\n" : "") + ("Error! Key file '" + name) +
           "' is not a regular file.\n";
}

std::string key_file_is_temp_archive(const std::string& name) {
    return "Error! Key file '" + name + "' is the temporary archive, which the run replaces.\n";
}

RunOptions FileSafetyTest::options_with(const std::optional<std::string>& path_env,
                                        std::function<void()> in_child) const {
    auto result = options(path_env);
    result.in_child = std::move(in_child);
    return result;
}

const fs::path& FileSafetyTest::plan_qv() {
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

void FileSafetyTest::put_common_files(const fs::path& folder) {
    write_file(folder / "plan.txt", PLAN);
    write_file(folder / "big.bin", random_bytes(4000, 81));
    fs::copy_file(plan_qv(), folder / "plan.qv");
    fs::create_directories(folder / "docs");
    write_file(folder / "docs" / "a.txt", "a document");
}

void FileSafetyTest::expect_refused(const std::vector<RefusalCase>& cases) {
    for (const auto& c : cases) {
        std::string command = "quorvel";
        for (const auto& arg : c.args) command += " '" + arg + "'";
        SCOPED_TRACE(c.label + ": " + command);
        const auto folder = fresh_folder();
        put_common_files(folder);
        if (c.setup) c.setup(folder);
        std::optional<FifoFeeder> feeder;
        if (c.fed_fifo != nullptr) feeder.emplace(folder / c.fed_fifo, NOT_OURS);
        auto with = options_with(std::nullopt, c.in_child);
        with.environment = c.environment;
        const auto before = record_folder(folder);
        const auto result = run_watched(c.args, folder, with, WatchOptions{.deadline = 20s});
        feeder.reset();
        EXPECT_EQ(result.term_signal, 0) << "still running at the deadline";
        EXPECT_EQ(result.exit_code, 1);
        if (c.exact) {
            EXPECT_EQ(result.output, c.expected);
        } else {
            EXPECT_NE(result.output.find(c.expected), std::string::npos) << result.output;
        }
        EXPECT_EQ(folder_changes(before, record_folder(folder)), "");
    }
}

void FileSafetyTest::expect_decrypts_to(const fs::path& encrypted, const std::string& name,
                                        const Bytes& bytes, const std::vector<std::string>& key,
                                        const std::optional<std::string>& path_env) {
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

bool FileSafetyTest::open_scratch_to_nobody() {
    if (!can_become_nobody()) return false;
    plan_qv();
    const auto reachable = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                           fs::perms::others_read | fs::perms::others_exec;
    for (const auto& folder : {root(), plan_qv().parent_path(), root() / "quiet-bin"}) {
        set_mode(folder, reachable);
    }
    set_mode(plan_qv(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                            fs::perms::others_read);
    return true;
}

}  // namespace quorvel::test
