#include <windows.h>
#include <shellapi.h>

#include <memory>

#include "app/messages/messages.h"
#include "app/process/command_line.h"
#include "console/wtf8.h"

namespace quorvel {

namespace {

// The position of the password among the arguments after the program name.
constexpr std::size_t PASSWORD_INDEX = 2;

struct LocalFreer {
    void operator()(LPWSTR* list) const { LocalFree(list); }
};

std::u16string_view units_of(const wchar_t* text) {
    static_assert(sizeof(wchar_t) == sizeof(char16_t));
    return reinterpret_cast<const char16_t*>(text);
}

}  // namespace

OrReported<std::vector<std::string>> program_arguments(int argc, char** argv) {
    int wide_count = 0;
    const std::unique_ptr<LPWSTR, LocalFreer> wide(
        CommandLineToArgvW(GetCommandLineW(), &wide_count));
    if (!wide || wide_count != argc) {
        return say::command_line_differs();
    }
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        const auto index = static_cast<std::size_t>(i - 1);
        arguments.push_back(index == PASSWORD_INDEX ? std::string(argv[i])
                                                    : wtf8_from_utf16(units_of(wide.get()[i])));
    }
    return arguments;
}

std::filesystem::path argument_path(std::string_view argument) {
    const auto units = utf16_from_wtf8(argument);
    if (!units) return std::filesystem::path();  // not made by program_arguments: names nothing
    return std::filesystem::path(std::wstring(units->begin(), units->end()));
}

std::string path_argument(const std::filesystem::path& path) {
    return wtf8_from_utf16(units_of(path.c_str()));
}

}  // namespace quorvel
