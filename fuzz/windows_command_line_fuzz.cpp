// Fuzz target for the command line the Windows build hands to the archiver: the input is split
// at each NUL byte into the program's path (its double quotes dropped, as no Windows path holds
// one) and the arguments, which can hold any other byte. Checked for every input, besides the
// sanitizers' findings:
// - the line starts with the program's path in double quotes, then a space or its end;
// - the C runtime's rules read the arguments back exactly, each one alone;
// - 7-Zip's rules read back every argument when none holds a double quote;
// - an argument that is neither empty nor holds a blank or a double quote goes in unchanged.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/process/windows_command_line.h"
#include "fuzz_support.h"
#include "support/windows_command_lines.h"

namespace quorvel::fuzz {

namespace {

std::vector<std::string> split_at_nul(std::string_view text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t nul; (nul = text.find('\0', start)) != std::string_view::npos;
         start = nul + 1) {
        parts.emplace_back(text.substr(start, nul - start));
    }
    parts.emplace_back(text.substr(start));
    return parts;
}

bool needs_quotes(std::string_view argument) {
    return argument.empty() || argument.find_first_of(" \t\n\v\"") != std::string_view::npos;
}

void check_each_alone(const std::vector<std::string>& arguments) {
    for (const auto& argument : arguments) {
        std::string line;
        append_quoted_argument(line, argument);
        if (!needs_quotes(argument)) require(line == argument, "a plain argument was changed");
    }
}

}  // namespace

}  // namespace quorvel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quorvel;
    using namespace quorvel::fuzz;
    auto parts = split_at_nul({reinterpret_cast<const char*>(data), size});
    std::string program;
    for (const char c : parts.front()) {
        if (c != '"') program += c;
    }
    const std::vector<std::string> arguments(parts.begin() + 1, parts.end());

    const std::string line = windows_command_line(program, arguments);
    require(line.starts_with('"' + program + '"'), "the program's path is not quoted first");
    const std::size_t after_program = program.size() + 2;
    require(line.size() == after_program || line[after_program] == ' ',
            "no space after the program's path");
    require(test::split_by_c_runtime_rules(line) == arguments,
            "the C runtime reads other arguments back");

    bool any_double_quote = false;
    for (const auto& argument : arguments) {
        any_double_quote = any_double_quote || argument.find('"') != std::string::npos;
    }
    if (!any_double_quote) {
        require(test::split_by_7zip_rules(line) == arguments, "7-Zip reads other arguments back");
    }
    check_each_alone(arguments);
    return 0;
}
