// The two ways a Windows command line is read back into words, written apart from the code
// that builds it: the Microsoft C runtime's rules (which CommandLineToArgvW follows too) and
// 7-Zip's own. Both start past the program's path, which the line holds in double quotes. Used
// by the unit tests and the command-line fuzz target.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::test {

using Arguments = std::vector<std::string>;

// The words after the program's, split by the Microsoft C runtime's rules: white space ends a
// word outside double quotes; 2n backslashes before a quote give n and the quote toggles
// quoting, 2n+1 give n and a literal quote; other backslashes are literal.
inline Arguments split_by_c_runtime_rules(std::string_view line) {
    std::size_t at = line.find('"', 1) + 1;  // past the quoted program path
    Arguments words;
    while (true) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
        if (at == line.size()) return words;
        std::string word;
        bool quoted = false;
        while (at < line.size() && (quoted || (line[at] != ' ' && line[at] != '\t'))) {
            std::size_t backslashes = 0;
            while (at < line.size() && line[at] == '\\') ++backslashes, ++at;
            if (at < line.size() && line[at] == '"') {
                word.append(backslashes / 2, '\\');
                if (backslashes % 2 == 1)
                    word += '"';
                else
                    quoted = !quoted;
                ++at;
            } else {
                word.append(backslashes, '\\');
                if (at < line.size() && (quoted || (line[at] != ' ' && line[at] != '\t'))) {
                    word += line[at++];
                }
            }
        }
        words.push_back(word);
    }
}

// The words after the program's, split the way 7-Zip reads its own command line: a double
// quote toggles quoting and is dropped, white space outside quotes ends a word, nothing else is
// special.
inline Arguments split_by_7zip_rules(std::string_view line) {
    std::size_t at = line.find('"', 1) + 1;
    Arguments words;
    while (true) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
        if (at == line.size()) return words;
        std::string word;
        bool quoted = false;
        for (; at < line.size() && (quoted || (line[at] != ' ' && line[at] != '\t')); ++at) {
            if (line[at] == '"')
                quoted = !quoted;
            else
                word += line[at];
        }
        words.push_back(word);
    }
}

}  // namespace quorvel::test
