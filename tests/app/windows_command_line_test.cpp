#include "app/process/windows_command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/windows_command_lines.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>

#include "console/wtf8.h"
#endif

namespace quorvel {
namespace {

using test::Arguments;
using test::split_by_7zip_rules;
using test::split_by_c_runtime_rules;

struct QuoteCase {
    const char* argument;
    const char* quoted;
};

const QuoteCase QUOTES[] = {
    {"plan.txt", "plan.txt"},
    {"", R"("")"},
    {"my plan.txt", R"("my plan.txt")"},
    {"a&b|c<d>e^f", "a&b|c<d>e^f"},  // no command interpreter reads it
    {R"(C:\dir\file)", R"(C:\dir\file)"},
    {R"(folder\)", R"(folder\)"},
    {R"(my folder\)", R"("my folder"\)"},
    {R"(my folder\\)", R"("my folder"\\)"},
    {"tab\there", "\"tab\there\""},
    {"line\nfeed", "\"line\nfeed\""},
    {"\"", R"("\"")"},
    {R"(say "hi")", R"("say \"hi\"")"},
    {R"(a\"b)", R"("a\\\"b")"},
    {R"(a\\"b c\)", R"("a\\\\\"b c"\)"},
    {"caf\xc3\xa9 \xe8\xae\xa1", "\"caf\xc3\xa9 \xe8\xae\xa1\""},
};

TEST(WindowsCommandLine, ArgumentsAreQuotedOnlyAsNeeded) {
    for (const auto& q : QUOTES) {
        std::string line;
        append_quoted_argument(line, q.argument);
        EXPECT_EQ(line, q.quoted) << "argument: " << q.argument;
    }
}

TEST(WindowsCommandLine, ProgramPathIsQuotedAndEachArgumentReadsBackAlone) {
    Arguments all;
    for (const auto& q : QUOTES) all.emplace_back(q.argument);
    const std::string line = windows_command_line(R"(C:\Program Files\7-Zip\7z.exe)", all);
    EXPECT_EQ(line.rfind(R"("C:\Program Files\7-Zip\7z.exe" plan.txt "" )", 0), 0u) << line;
    EXPECT_EQ(split_by_c_runtime_rules(line), all);
}

TEST(WindowsCommandLine, SevenZipReadsEveryNameWithoutDoubleQuotesTheSame) {
    Arguments names;
    for (const auto& q : QUOTES) {
        if (std::string_view(q.argument).find('"') == std::string_view::npos) {
            names.emplace_back(q.argument);
        }
    }
    const std::string line = windows_command_line(R"(C:\7z.exe)", names);
    EXPECT_EQ(split_by_7zip_rules(line), names);
}

#ifdef _WIN32
// Windows' own parser is the one that counts: every argument must come back from it intact.
TEST(WindowsCommandLine, CommandLineToArgvWReadsEveryArgumentBack) {
    Arguments all;
    for (const auto& q : QUOTES) all.emplace_back(q.argument);
    const std::string line = windows_command_line(R"(C:\Program Files\x.exe)", all);
    const auto units = utf16_from_wtf8(line);
    ASSERT_TRUE(units);
    const std::wstring wide(units->begin(), units->end());
    int count = 0;
    LPWSTR* words = CommandLineToArgvW(wide.c_str(), &count);
    ASSERT_NE(words, nullptr);
    Arguments read_back;
    for (int i = 1; i < count; ++i) {
        const std::wstring word = words[i];
        read_back.push_back(wtf8_from_utf16(std::u16string(word.begin(), word.end())));
    }
    const std::wstring program = words[0];
    LocalFree(words);
    EXPECT_EQ(program, L"C:\\Program Files\\x.exe");
    EXPECT_EQ(read_back, all);
}
#endif

}  // namespace
}  // namespace quorvel
