#include "app/process/windows_command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/windows_command_lines.h"

namespace quorvel {
namespace {

using test::Arguments;
using test::split_by_7zip_rules;
using test::split_line_by_7zip_rules;

const char* const SEVEN_ZIP = R"(C:\Program Files\7-Zip\7z.exe)";

// The oracle first: lines whose words 7-Zip is known to read this way. The last one is what
// a C-runtime-quoted line with the switch -x!"*.bak and the input "My Documents" gives it.
TEST(SevenZipSplitting, ModelReadsKnownLinesAs7ZipDoes) {
    const struct {
        const char* line;
        Arguments words;
    } cases[] = {
        {"\"p\" a  b\tc", {"a", "b", "c"}},
        {"  \"p\" a \n", {"a"}},
        {R"("p" "a b"c a"b c"d)", {"a bc", "ab cd"}},
        {R"("p" "dir\" x)", {"dir\\", "x"}},
        {R"("p" a\"b c")", {"a\\b c"}},
        {R"("p" "" x "")", {"", "x", ""}},
        {R"("p" "-x!\"*.bak" -- "My Documents")", {"-x!\\*.bak -- My", "Documents"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(split_by_7zip_rules(c.line), c.words) << c.line;
    }
}

// Words a run hands the archiver, or that a user's file names and switches may hold.
const char* const WORDS[] = {
    "plan.txt",
    "",
    "my plan.txt",
    "  blanks at both ends  ",
    "tab\there",
    "line\nfeed\n",
    R"(C:\dir\file)",
    R"(folder\)",
    R"(my folder\)",
    R"(my folder\\)",
    R"(\\server\share\)",
    "-",
    "--",
    "a -sdel b.txt",
    "@list",
    "*.bak",
    "?[ab]!x",
    "a&b|c<d>e^f%PATH%",
    "caf\xc3\xa9 \xe8\xae\xa1\xe5\x88\x92",
    "\xed\xa0\x80 lone surrogate",  // WTF-8, as a Windows name may be
};

TEST(SevenZipCommandLine, EachWordComesBackAloneAndLast) {
    for (const char* word : WORDS) {
        const Arguments arguments{"a", word};
        const auto line = seven_zip_command_line(SEVEN_ZIP, arguments);
        ASSERT_TRUE(line) << word;
        EXPECT_EQ(split_by_7zip_rules(*line), arguments) << *line;
    }
}

TEST(SevenZipCommandLine, AllWordsTogetherComeBackInOrderAfterTheProgramsPath) {
    const Arguments arguments(std::begin(WORDS), std::end(WORDS));
    const auto line = seven_zip_command_line(SEVEN_ZIP, arguments);
    ASSERT_TRUE(line);
    Arguments expected{SEVEN_ZIP};
    expected.insert(expected.end(), arguments.begin(), arguments.end());
    EXPECT_EQ(split_line_by_7zip_rules(*line), expected) << *line;
}

// A double quote anywhere, in an argument or in the program's path, gives no line at all.
TEST(SevenZipCommandLine, AWordHoldingADoubleQuoteGivesNoLine) {
    const struct {
        const char* program;
        Arguments arguments;
    } cases[] = {
        {SEVEN_ZIP, {"a", "-x!\"*.bak", "--", "My Documents"}},
        {SEVEN_ZIP, {"a", "-x!foo\"", "--", "a -sdel b.txt"}},
        {SEVEN_ZIP, {"\"", "x"}},
        {SEVEN_ZIP, {"x", "say \"hi\""}},
        {SEVEN_ZIP, {"\"\""}},
        {R"(C:\odd"dir\7z.exe)", {"a"}},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(seven_zip_command_line(c.program, c.arguments))
            << c.program << " " << c.arguments.back();
    }
    EXPECT_FALSE(fits_seven_zip_command_line("-x!\"*.bak"));
    EXPECT_TRUE(fits_seven_zip_command_line(R"(my folder\)"));
}

}  // namespace
}  // namespace quorvel
