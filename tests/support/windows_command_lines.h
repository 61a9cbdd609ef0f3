// How 7-Zip reads its Windows command line back into words, written apart from the code that
// builds the line, step for step as 7-Zip's own splitter does it. Used by the unit tests, the
// Windows process test's child and the command-line fuzz target.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::test {

using Arguments = std::vector<std::string>;

// Takes one word from the front of `text`: the characters up to the first space or tab outside
// double quotes, each double quote toggling quoting and dropped, every other character kept.
// `rest` becomes what follows that blank, or nothing. Returns whether the word counts, which it
// does when any character, a quote included, came before the blank: a blank at the front gives
// no word.
inline bool take_7zip_word(std::string_view text, std::string& word, std::string_view& rest) {
    word.clear();
    rest = {};
    bool quoted = false;
    std::size_t at = 0;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        if ((c == ' ' || c == '\t') && !quoted) {
            rest = text.substr(at + 1);
            return at != 0;
        }
        if (c == '"')
            quoted = !quoted;
        else
            word += c;
    }
    return at != 0;
}

// Every word of `line`, the program's first: spaces, tabs and line feeds are trimmed off both
// ends of the line once, then words are taken (take_7zip_word) until nothing is left.
inline Arguments split_line_by_7zip_rules(std::string_view line) {
    constexpr std::string_view TRIMMED = " \t\n";
    const std::size_t first = line.find_first_not_of(TRIMMED);
    if (first == std::string_view::npos) return {};
    std::string_view text = line.substr(first, line.find_last_not_of(TRIMMED) + 1 - first);
    Arguments words;
    for (;;) {
        std::string word;
        std::string_view rest;
        if (take_7zip_word(text, word, rest)) words.push_back(word);
        if (rest.empty()) return words;
        text = rest;
    }
}

// The words after the program's, as 7-Zip sees its arguments.
inline Arguments split_by_7zip_rules(std::string_view line) {
    Arguments words = split_line_by_7zip_rules(line);
    if (!words.empty()) words.erase(words.begin());
    return words;
}

}  // namespace quorvel::test
