// The fixture of the tests that hold a run to what it may do to files: the files a case starts
// from, a decryption back in a folder of its own, runs as the unprivileged user, and a table of
// runs that must be refused with the folder left exactly as it was.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/cli_fixture.h"
#include "cli/file_checks.h"

namespace quorvel::test {

// What "plan.txt" holds in every case that starts from the common files.
inline const std::string PLAN = "some plans";

// Bytes that are neither an encrypted file nor anything else of the program's.
inline const std::string NOT_OURS = "not a quorvel file\n";

inline constexpr const char* NO_NOBODY = "cannot become the unprivileged user 65534 (nobody) here";

// A run that must stop before it touches anything: the exit status 1, its output, and the
// folder's record before and after.
struct RefusalCase {
    std::string label;
    std::vector<std::string> args;
    std::string expected;  // the whole of standard output, or a part of it when `exact` is false
    bool exact = true;
    std::function<void(const std::filesystem::path&)> setup = {};  // more files in the folder
    const char* fed_fifo = nullptr;  // a FIFO made in the folder and fed NOT_OURS during the run
    std::function<void()> in_child = {};                                // last step before the run
    std::vector<std::pair<std::string, std::string>> environment = {};  // variables set
};

using FolderSetup = std::function<void(const std::filesystem::path&)>;

FolderSetup key_file(const std::string& name, std::size_t size);  // `size` random bytes
FolderSetup symlink_to(const std::string& target, const std::string& name);
FolderSetup hard_link_to(const std::string& target, const std::string& name);
FolderSetup unfed_fifo(const std::string& name);  // a FIFO no one opens for writing
FolderSetup then(FolderSetup first, FolderSetup second);

// The program's messages, as the refusals print them.
std::string missing_input(const std::string& name);
std::string neither_file_nor_folder(const std::string& name);
std::string output_is_input(const std::string& name);
std::string cannot_create(const std::string& name);
// `stream` is "output" or "error".
std::string standard_stream_output(const std::string& name, const std::string& stream);
std::string not_regular_key(const std::string& name, bool encrypting);
std::string key_file_is_temp_archive(const std::string& name = TEMP_ARCHIVE);

// QUORVEL_MODE set to force a direction.
inline const std::pair<std::string, std::string> FORCED_ENCRYPT{"QUORVEL_MODE", "encrypt"};
inline const std::pair<std::string, std::string> FORCED_DECRYPT{"QUORVEL_MODE", "decrypt"};

class FileSafetyTest : public CliTest {
protected:
    RunOptions options_with(const std::optional<std::string>& path_env,
                            std::function<void()> in_child) const;

    // "plan.txt" (PLAN) encrypted with password "pw" by the real archiver, made once.
    const std::filesystem::path& plan_qv();

    // The files most cases start from: plan.txt, big.bin (longer than a key file), plan.qv
    // and a folder docs holding a.txt.
    void put_common_files(const std::filesystem::path& folder);

    // Runs each case in a new folder holding the common files and expects it refused: status
    // 1, no signal, its output, and the folder as it was.
    void expect_refused(const std::vector<RefusalCase>& cases);

    // Decrypts `encrypted` in a new folder with `path_env` as PATH (the quiet real archiver
    // by default) and expects `name` to come out holding `bytes`, and nothing else to stay.
    void expect_decrypts_to(const std::filesystem::path& encrypted, const std::string& name,
                            const Bytes& bytes, const std::vector<std::string>& key = {},
                            const std::optional<std::string>& path_env = std::nullopt);

    // Lets the unprivileged user reach the scratch folder, the encrypted plan and the quiet
    // archiver; false (the test should skip) when no process can become that user.
    bool open_scratch_to_nobody();

private:
    std::filesystem::path plan_qv_;
};

}  // namespace quorvel::test
