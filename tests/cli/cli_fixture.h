// A scratch folder with an "enc" and a "dec" folder, and the built program run in them with
// the real archiver made quiet, so standard output can be compared byte for byte; the
// stand-in archivers the tests put in its place, and the texts every run prints.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/file_modes.h"
#include "support/program_runs.h"

namespace quorvel::test {

inline constexpr const char* TEMP_ARCHIVE = "quorvelxxxfilo.7z";

// The archive an encryption's archiver writes in `folder`: inside the run's private packing
// folder. Empty when there is no such folder.
inline std::filesystem::path packing_archive(const std::filesystem::path& folder) {
    std::error_code error;
    for (std::filesystem::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error)) {
        if (entry->path().filename().string().starts_with(".quorvel-pack-")) {
            return entry->path() / TEMP_ARCHIVE;
        }
    }
    return {};
}

inline std::string encrypt_output(const std::string& in_fname,
                                  const std::string& before_pack = "") {
    return "Crypt run\n" + before_pack + "!\n7z.exe a quorvelxxxfilo.7z " + in_fname +
           "\n!Crypt process start!\nCript complite\n";
}

inline const std::string DECRYPT_OK = "Decrypt process start!\nDecrypt OK!\n";

// What a run with too few arguments shows.
inline const std::string USAGE =
    "quorvel.exe /in_fname/ /out_fname/ /password/\n"
    "If you want to use key file, add 4 parametr - /key_file_name/. If program not found this "
    "file, it's create it, absolutely random!\n"
    "When decrypt /out_fname/  must be random(program don't use it), but not empty!\n";

// Bodies of stand-in "7z" scripts for CliTest::stand_in_archiver, where "$1" is the command,
// "$2" the archive and "$input" the last argument (the input when packing).

// "a" copies the input as the archive and "x" copies the archive out as extracted.bin: the
// cipher stage then sees the input's own bytes, and the sizes are known.
inline const std::string COPYING_ARCHIVER =
    "case \"$1\" in a) cp -- \"$input\" \"$2\" ;; x) cp -- \"$2\" extracted.bin ;; esac";

// "a" hard-links the input as the archive, at once, and "x" extracts nothing: for large inputs
// whose extraction would only cost time.
inline const std::string LINKING_ARCHIVER =
    "case \"$1\" in a) ln -- \"$input\" \"$2\" ;; x) ;; esac";

// Fails, making nothing, whatever it is asked.
inline const std::string FAILING_ARCHIVER = "exit 2";

// As COPYING_ARCHIVER, but held until the file `gate` exists (five seconds at most): "a"
// after making the archive, "x" before extracting. A second run can then meet the first one
// at work.
inline std::string gated_copying_archiver(const std::filesystem::path& gate) {
    return "wait_for_gate() {\n  i=0\n  while [ ! -e '" + gate.string() +
           "' ] && [ $i -lt 100 ]; do sleep 0.05; i=$((i+1)); done\n}\n"
           "case \"$1\" in a) cp -- \"$input\" \"$2\"; wait_for_gate ;; "
           "x) wait_for_gate; cp -- \"$2\" extracted.bin ;; esac";
}

// The stand-in's first line: "$input" becomes the last argument, whatever switches come
// before it.
inline std::string stand_in_script(const std::string& body) {
    return "for input; do :; done\n" + body;
}

class CliTest : public testing::Test {
protected:
    CliTest() {
        std::filesystem::create_directories(enc());
        std::filesystem::create_directories(dec());
        quiet_path_ = quiet_archiver_path(dir_ / "quiet-bin");
    }

    std::filesystem::path enc() const { return dir_ / "enc"; }
    std::filesystem::path dec() const { return dir_ / "dec"; }
    const std::filesystem::path& root() const { return dir_.path(); }

    // A new empty folder under the scratch folder, for one case of a table.
    std::filesystem::path fresh_folder() {
        auto folder = dir_ / ("case-" + std::to_string(++folders_made_));
        std::filesystem::create_directories(folder);
        return folder;
    }

    // Runs the program in `folder` with the quiet real archiver, or with `path_env` as PATH.
    ProgramRun run(const std::vector<std::string>& args, const std::filesystem::path& folder,
                   const std::optional<std::string>& path_env = std::nullopt) const {
        return run_program(args, folder, options(path_env));
    }

    RunOptions options(const std::optional<std::string>& path_env = std::nullopt) const {
        RunOptions options;
        options.path_env = path_env.value_or(quiet_path_);
        return options;
    }

    // Folder holding a stand-in "7z" made of `body` (see stand_in_script), as a PATH value.
    std::string stand_in_archiver(const std::string& name, const std::string& body) const {
        write_script(dir_ / name, "7z", stand_in_script(body));
        return (dir_ / name).string();
    }

    // The stand-in of COPYING_ARCHIVER, as a PATH value.
    std::string copying_archiver() const { return stand_in_archiver("copy-bin", COPYING_ARCHIVER); }

    // The real archiver (7zz, 7z or 7za) with its own lines shown, as a PATH value: for runs
    // whose standard output must carry them, or break under them.
    std::string loud_archiver() const {
        return stand_in_archiver(
            "loud-bin", "for a in 7zz 7z 7za; do command -v $a >/dev/null && exec $a \"$@\"; done");
    }

    static bool exists(const std::filesystem::path& path) {
        std::error_code ignored;
        return std::filesystem::exists(std::filesystem::symlink_status(path, ignored));
    }

private:
    ScratchDir dir_;
    std::string quiet_path_;
    int folders_made_ = 0;
};

}  // namespace quorvel::test
