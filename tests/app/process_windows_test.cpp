// find_program and run_process on Windows, with this test program as the child: started with
// QUORVEL_ECHO_TO set, it splits its command line as 7-Zip does, writes the arguments to that
// file and exits with the status QUORVEL_ECHO_STATUS names, before any test runs.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/process/process.h"
#include "console/wtf8.h"
#include "support/test_support.h"
#include "support/windows_command_lines.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

std::string wtf8(const std::wstring& text) {
    return wtf8_from_utf16(std::u16string(text.begin(), text.end()));
}

const bool ECHO_CHILD = [] {
    const wchar_t* target = _wgetenv(L"QUORVEL_ECHO_TO");
    if (target == nullptr) return false;
    std::ofstream out(fs::path(target), std::ios::binary);
    for (const auto& word : test::split_by_7zip_rules(wtf8(GetCommandLineW()))) {
        out << word << '\n';
    }
    out.close();
    const wchar_t* status = _wgetenv(L"QUORVEL_ECHO_STATUS");
    ExitProcess(status != nullptr ? static_cast<UINT>(_wtoi(status)) : 0);
}();

fs::path this_program() {
    std::wstring path(MAX_PATH, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path;
}

std::vector<std::string> read_lines(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(WindowsProcess, ChildGetsEveryArgumentIntactAndItsStatusComesBack) {
    test::ScratchDir dir;
    const fs::path echo = dir / "echo.txt";
    _wputenv_s(L"QUORVEL_ECHO_TO", echo.c_str());
    _wputenv_s(L"QUORVEL_ECHO_STATUS", L"7");
    // A program path with spaces and an ampersand, as a current folder may well have.
    const fs::path folder = dir / "my tools & more";
    fs::create_directories(folder);
    const fs::path child = folder / "echo child.exe";
    fs::copy_file(this_program(), child);

    const std::vector<std::string> arguments{"a",
                                             "quorvelxxxfilo.7z",
                                             "--",
                                             "name with spaces & more.txt",
                                             "",
                                             "folder with spaces\\",
                                             "a -sdel b.txt",
                                             "@list",
                                             "caf\xc3\xa9 \xe8\xae\xa1\xe5\x88\x92",
                                             "%PATH%"};
    const ProcessResult result = run_process(child, arguments);
    _wputenv_s(L"QUORVEL_ECHO_TO", L"");
    EXPECT_EQ(result.outcome, ProcessResult::Outcome::exited);
    EXPECT_EQ(result.code, 7);
    EXPECT_FALSE(result.succeeded());
    EXPECT_EQ(read_lines(echo), arguments);
}

// 7-Zip would read the words after a double quote at other boundaries: the child never runs.
TEST(WindowsProcess, ArgumentWithADoubleQuoteDoesNotStart) {
    test::ScratchDir dir;
    const fs::path echo = dir / "echo.txt";
    _wputenv_s(L"QUORVEL_ECHO_TO", echo.c_str());
    const fs::path child = dir / "echo child.exe";
    fs::copy_file(this_program(), child);
    const std::vector<std::string> arguments{"a", "-x!\"*.bak", "--", "My Documents"};
    const ProcessResult result = run_process(child, arguments);
    _wputenv_s(L"QUORVEL_ECHO_TO", L"");
    EXPECT_EQ(result.outcome, ProcessResult::Outcome::not_started);
    EXPECT_FALSE(fs::exists(echo));
}

TEST(WindowsProcess, MissingProgramDoesNotStart) {
    test::ScratchDir dir;
    const ProcessResult result = run_process(dir / "none.exe", std::vector<std::string>{});
    EXPECT_EQ(result.outcome, ProcessResult::Outcome::not_started);
}

// The folder of this program first, then PATH (relative entries skipped), then the current
// folder last: a program of that name extracted there does not win over an installed one.
TEST(WindowsProcess, ProgramIsFoundBesideThisProgramThenOnPathThenInTheCurrentFolder) {
    test::ScratchDir dir;
    for (const char* folder : {"here", "here/rel", "first on path", "second"}) {
        fs::create_directories(dir / folder);
    }
    for (const char* folder : {"here", "first on path", "second"}) {
        test::write_file(dir / folder / "tool-x.exe", "x");
    }
    test::write_file(dir / "here" / "only-here.exe", "x");
    test::write_file(dir / "here" / "rel" / "only-rel.exe", "x");
    test::write_file(dir / "second" / "only-second.exe", "x");
    const fs::path beside_this = this_program().parent_path() / "quorvel-test-own-tool.exe";
    test::write_file(beside_this, "x");
    test::write_file(dir / "first on path" / "quorvel-test-own-tool.exe", "x");
    const fs::path old_folder = fs::current_path();
    const std::wstring old_path = _wgetenv(L"PATH") != nullptr ? _wgetenv(L"PATH") : L"";
    const std::wstring path =
        L";rel;\"" + (dir / "first on path").native() + L"\";" + (dir / "second").native() + L";";
    _wputenv_s(L"PATH", path.c_str());
    fs::current_path(dir / "here");

    const auto find = [](std::string_view name) {
        return find_program(std::vector<std::string_view>{name});
    };
    const auto from_path = find("tool-x.exe");
    const auto in_current = find("only-here.exe");
    const auto on_path = find("only-second.exe");
    const auto own = find("quorvel-test-own-tool.exe");
    const auto relative = find("only-rel.exe");
    const auto missing = find("absent.exe");

    fs::current_path(old_folder);
    _wputenv_s(L"PATH", old_path.c_str());
    fs::remove(beside_this);
    ASSERT_TRUE(from_path && in_current && on_path && own);
    EXPECT_TRUE(fs::equivalent(*from_path, dir / "first on path" / "tool-x.exe"));
    EXPECT_TRUE(fs::equivalent(*in_current, dir / "here" / "only-here.exe"));
    EXPECT_TRUE(fs::equivalent(*on_path, dir / "second" / "only-second.exe"));
    EXPECT_EQ(*own, beside_this);
    EXPECT_EQ(relative, std::nullopt);
    EXPECT_EQ(missing, std::nullopt);
}

}  // namespace
}  // namespace quorvel
