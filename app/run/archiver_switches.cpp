#include "app/run/archiver_switches.h"

#include <cstdlib>

#include "app/messages/messages.h"

namespace quorvel {

namespace {

bool is_switch(std::string_view word) {
    return word.starts_with('-') && word != "-" && word != "--";
}

}  // namespace

std::optional<std::vector<std::string>> parse_archiver_switches(std::string_view variable,
                                                                std::string_view text) {
    constexpr std::string_view BLANKS = " \t";
    std::vector<std::string> switches;
    for (std::size_t start = text.find_first_not_of(BLANKS); start != std::string_view::npos;
         start = text.find_first_not_of(BLANKS, start)) {
        const std::size_t end = std::min(text.find_first_of(BLANKS, start), text.size());
        const std::string_view word = text.substr(start, end - start);
        if (!is_switch(word)) {
            say::not_a_switch(variable, word);
            return std::nullopt;
        }
        switches.emplace_back(word);
        start = end;
    }
    return switches;
}

std::optional<std::vector<std::string>> archiver_switches(CipherMode mode) {
    const std::string_view variable =
        mode == CipherMode::encrypt ? PACK_SWITCHES_VARIABLE : UNPACK_SWITCHES_VARIABLE;
    const char* text = std::getenv(std::string(variable).c_str());
    if (text == nullptr) return std::vector<std::string>{};
    return parse_archiver_switches(variable, text);
}

}  // namespace quorvel
