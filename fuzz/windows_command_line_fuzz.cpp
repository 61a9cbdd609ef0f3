// Fuzz target for the command line the Windows build hands to the archiver: the input is split
// at each NUL byte into the program's path and the arguments, which can hold any other byte.
// Checked for every input, besides the sanitizers' findings:
// - a line is made exactly when no word, the path included, holds a double quote;
// - 7-Zip's splitting rule (tests/support/windows_command_lines.h) reads that line back as the
//   path and then exactly the arguments, each one alone and in order.
#include <algorithm>
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

}  // namespace

}  // namespace quorvel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quorvel;
    using namespace quorvel::fuzz;
    const auto words = split_at_nul({reinterpret_cast<const char*>(data), size});
    const std::string& program = words.front();
    const std::vector<std::string> arguments(words.begin() + 1, words.end());

    const auto line = seven_zip_command_line(program, arguments);
    const bool any_double_quote = std::ranges::any_of(
        words, [](const std::string& word) { return word.find('"') != std::string::npos; });
    require(line.has_value() != any_double_quote,
            "a line is made although a word holds a double quote, or refused without one");
    if (line) {
        require(test::split_line_by_7zip_rules(*line) == words,
                "7-Zip reads other words back than the path and the arguments");
    }
    return 0;
}
