#include "console/console.h"

#include <cstdio>

namespace quorvel {

void print_text(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

void print_line(std::string_view text) {
    print_text(text);
    std::fputc('\n', stdout);
}

void print_named(std::string_view prefix, std::string_view name, std::string_view suffix) {
    print_text(prefix);
    print_text(name);
    print_line(suffix);
}

std::string display_name(const std::filesystem::path& path) {
    const auto utf8 = path.u8string();
    return {utf8.begin(), utf8.end()};
}

void flush_output() { std::fflush(stdout); }

}  // namespace quorvel
