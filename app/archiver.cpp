#include "app/archiver.h"

#include <array>
#include <system_error>
#include <vector>

#include "app/process.h"

namespace quorvel {

std::string pack_command_text(std::string_view in_fname) {
    std::string command = "7z.exe a ";
    command += TEMP_ARCHIVE_NAME;
    command += ' ';
    command += in_fname;
    return command;
}

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

bool pack_into_temp_archive(const std::filesystem::path& archiver, std::string_view input,
                            std::span<const std::string> switches) {
    std::vector<std::string> arguments{"a", std::string(TEMP_ARCHIVE_NAME)};
    arguments.insert(arguments.end(), switches.begin(), switches.end());
    // "--" ends the switches, so an input named "-x" or "@list" is still a file name.
    arguments.insert(arguments.end(), {"--", std::string(input)});
    // The archive is a plaintext copy of the input: nobody else may read it.
    return run_process(archiver, arguments, NewFiles::owner_only).succeeded();
}

bool unpack_temp_archive(const std::filesystem::path& archiver,
                         std::span<const std::string> switches) {
    std::vector<std::string> arguments{"x", std::string(TEMP_ARCHIVE_NAME), "-y"};
    arguments.insert(arguments.end(), switches.begin(), switches.end());
    return run_process(archiver, arguments).succeeded();
}

bool remove_temp_archive() {
    std::error_code error;
    std::filesystem::remove(TEMP_ARCHIVE_NAME, error);
    return !error;
}

}  // namespace quorvel
