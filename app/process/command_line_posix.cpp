#include "app/process/command_line.h"

namespace quorvel {

OrReported<std::vector<std::string>> program_arguments(int argc, char** argv) {
    if (argc < 1) return std::vector<std::string>{};
    return std::vector<std::string>(argv + 1, argv + argc);
}

std::filesystem::path argument_path(std::string_view argument) {
    return std::filesystem::path(std::string(argument));
}

std::string path_argument(const std::filesystem::path& path) {
    return path.string();
}

}  // namespace quorvel
