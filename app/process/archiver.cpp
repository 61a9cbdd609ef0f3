#include "app/process/archiver.h"

#include <array>
#include <system_error>
#include <vector>

#include "app/process/command_line.h"
#include "app/process/process.h"

namespace quorvel {

std::span<const std::string_view> archiver_names() {
#ifdef _WIN32
    static constexpr std::array<std::string_view, 1> names{"7z.exe"};
#else
    // p7zip installs 7z and 7za, the 7zip package 7zz; any of them understands a and x.
    static constexpr std::array<std::string_view, 3> names{"7z", "7zz", "7za"};
#endif
    return names;
}

std::optional<std::filesystem::path> find_archiver() {
    return find_program(archiver_names());
}

namespace {

// Runs the archiver. The archiver writes its report to standard output: if that goes while it
// runs, it may be stopped by the broken pipe before its work is done, so the work is done once
// more, after `before_retry`, with the report going nowhere.
ProcessResult run_archiver(const std::filesystem::path& archiver,
                           std::span<const std::string> arguments, NewFiles new_files,
                           const std::function<bool()>& before_retry) {
    const ProcessResult result = run_process(archiver, arguments, new_files);
    if (result.succeeded() || !result.lost_output) return result;
    if (!before_retry()) return result;
    return run_process(archiver, arguments, new_files);
}

}  // namespace

ArchiverEnding ending_of(const ProcessResult& result) {
    switch (result.outcome) {
        case ProcessResult::Outcome::exited:
            return {ArchiverEnding::Kind::exited, result.code};
        case ProcessResult::Outcome::killed:
            return {ArchiverEnding::Kind::killed, result.code};
        case ProcessResult::Outcome::not_started:
            break;
    }
    return {ArchiverEnding::Kind::not_started, result.code};
}

ProcessResult pack_into(const std::filesystem::path& archiver, const std::filesystem::path& archive,
                        std::string_view input, std::span<const std::string> switches,
                        const std::function<bool()>& clear_archive) {
    // With -spd a name that does not exist but holds a wildcard character packs nothing and
    // still succeeds: the run would encrypt an empty archive. A missing input stops here.
    std::error_code error;
    if (!std::filesystem::exists(argument_path(input), error)) return {};
    // -spd: "*" and "?" are characters of the name, not wildcards that would pack other
    // files. The user's switches come after the fixed ones; "--" ends the switches, so an
    // input named "-x" or "@list" is still a file name.
    // -xr!: the folder the archive is made in stays out of it, when the input holds the
    // current folder ("." or a folder above); its name is the run's own and random.
    std::vector<std::string> arguments{"a", archive.string(), "-spd",
                                       "-xr!" + archive.parent_path().filename().string()};
    arguments.insert(arguments.end(), switches.begin(), switches.end());
    arguments.insert(arguments.end(), {"--", std::string(input)});
    // The archive is a plaintext copy of the input: nobody else may read it.
    return run_archiver(archiver, arguments, NewFiles::owner_only, clear_archive);
}

ProcessResult unpack(const std::filesystem::path& archiver, const std::filesystem::path& archive,
                     std::span<const std::string> switches) {
    // Extracting again overwrites what a stopped run extracted, as -y answers every question.
    std::vector<std::string> arguments{"x", archive.string(), "-y", "-spd"};
    arguments.insert(arguments.end(), switches.begin(), switches.end());
    return run_archiver(archiver, arguments, NewFiles::as_usual, [] { return true; });
}

ProcessResult check_archive(const std::filesystem::path& archiver,
                            const std::filesystem::path& archive, ArchiveCheck check,
                            std::span<const std::string> switches) {
    // "--" before the archive: a temporary folder named "-x" or "@list" stays a name, and with
    // -spd "*" and "?" in it are characters of the name, not a pattern for other archives.
    std::vector<std::string> arguments{check == ArchiveCheck::test ? "t" : "l", "-spd"};
    arguments.insert(arguments.end(), switches.begin(), switches.end());
    arguments.insert(arguments.end(), {"--", path_argument(archive)});
    return run_archiver(archiver, arguments, NewFiles::as_usual, [] { return true; });
}

}  // namespace quorvel
