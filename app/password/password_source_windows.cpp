#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <array>
#include <cstdlib>
#include <string>
#include <string_view>

#include "cipher/secure_wipe.h"
#include "console/wtf8.h"
#include "internal/password_input.h"

namespace quorvel {

namespace {

// The C runtime ends the process on a call with a descriptor that is not open, unless its
// invalid-parameter handler returns; this one does, and the call then fails with EBADF.
void ignore_invalid_parameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned, uintptr_t) {
}

class InvalidParametersFail {
public:
    InvalidParametersFail() : previous_(_set_invalid_parameter_handler(ignore_invalid_parameter)) {}
    ~InvalidParametersFail() { _set_invalid_parameter_handler(previous_); }
    InvalidParametersFail(const InvalidParametersFail&) = delete;
    InvalidParametersFail& operator=(const InvalidParametersFail&) = delete;

private:
    _invalid_parameter_handler previous_;
};

// Enough for a line of MAX_PASSWORD_SIZE bytes in any code page, its line end, and more, so
// that a line too long is seen as such.
constexpr std::size_t LINE_UNITS = 2 * PasswordBuffer::CAPACITY;

// The console, opened and with echo off for the object's lifetime.
class SilentConsole {
public:
    SilentConsole() {
        input_ =
            CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, 0, nullptr);
        output_ =
            CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (input_ == INVALID_HANDLE_VALUE || output_ == INVALID_HANDLE_VALUE) return;
        if (!GetConsoleMode(input_, &saved_mode_)) return;
        const DWORD silent = (saved_mode_ & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) |
                             ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT;
        silenced_ = SetConsoleMode(input_, silent) != 0;
    }

    ~SilentConsole() {
        if (silenced_) SetConsoleMode(input_, saved_mode_);
        if (input_ != INVALID_HANDLE_VALUE) CloseHandle(input_);
        if (output_ != INVALID_HANDLE_VALUE) CloseHandle(output_);
    }

    SilentConsole(const SilentConsole&) = delete;
    SilentConsole& operator=(const SilentConsole&) = delete;

    bool ready() const { return silenced_; }

    void write_text(std::wstring_view text) const {
        DWORD written = 0;
        WriteConsoleW(output_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }

    // Reads one typed line, with its line end, into `line`; what does not fit is read and
    // dropped, so that none of it is left for the next program that reads the console.
    // Returns the count of units kept, or -1 on an error.
    long read_line(std::array<wchar_t, LINE_UNITS>& line) const {
        std::size_t kept = 0;
        std::array<wchar_t, LINE_UNITS> chunk{};
        bool ended = false;
        long result = 0;
        while (!ended) {
            DWORD got = 0;
            if (!ReadConsoleW(input_, chunk.data(), static_cast<DWORD>(chunk.size()), &got,
                              nullptr) ||
                got == 0) {
                result = -1;
                break;
            }
            for (DWORD i = 0; i < got; ++i) {
                if (chunk[i] == L'\n') ended = true;
                if (kept < line.size()) line[kept++] = chunk[i];
            }
        }
        secure_wipe(std::as_writable_bytes(std::span(chunk)));
        return result < 0 ? -1 : static_cast<long>(kept);
    }

private:
    HANDLE input_ = INVALID_HANDLE_VALUE;
    HANDLE output_ = INVALID_HANDLE_VALUE;
    DWORD saved_mode_ = 0;
    bool silenced_ = false;
};

// Asks `prompt` and puts the answer into `answer` in the active code page, the form a password
// given on the command line takes.
LineResult ask(const SilentConsole& console, std::wstring_view prompt, PasswordBuffer& answer) {
    console.write_text(prompt);
    std::array<wchar_t, LINE_UNITS> line{};
    const long units = console.read_line(line);
    console.write_text(L"\r\n");  // the line end that was not echoed
    std::array<char, 4 * LINE_UNITS> bytes{};
    const int size = units < 0 ? 0
                               : WideCharToMultiByte(
                                     CP_ACP, 0, line.data(), static_cast<int>(units), bytes.data(),
                                     static_cast<int>(bytes.size()), nullptr, nullptr);
    std::size_t at = 0;
    const LineResult result = units < 0
                                  ? LineResult::unreadable
                                  : read_password_line(
                                        [&] {
                                            return at < static_cast<std::size_t>(size)
                                                       ? static_cast<unsigned char>(bytes[at++])
                                                       : END_OF_INPUT;
                                        },
                                        answer);
    secure_wipe(std::as_writable_bytes(std::span(line)));
    secure_wipe(std::as_writable_bytes(std::span(bytes)));
    return result;
}

}  // namespace

std::optional<std::string> password_source_setting() {
    const std::wstring name(PASSWORD_FROM_VARIABLE.begin(), PASSWORD_FROM_VARIABLE.end());
    const wchar_t* value = _wgetenv(name.c_str());
    if (value == nullptr) return std::nullopt;
    static_assert(sizeof(wchar_t) == sizeof(char16_t));
    return wtf8_from_utf16(reinterpret_cast<const char16_t*>(value));
}

const char* environment_value(std::string_view name) {
    // The C runtime's environment is the Unicode one in the active code page, its names too.
    const auto units = utf16_from_wtf8(name);
    if (!units || units->empty()) return nullptr;
    const std::wstring wide(units->begin(), units->end());
    const int size = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return nullptr;
    std::string code_page(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, code_page.data(), size, nullptr, nullptr);
    return std::getenv(code_page.c_str());
}

int open_password_file(const std::filesystem::path& path) {
    return _wopen(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}

std::optional<unsigned> readable_by_others(int) {
    return std::nullopt;  // a file's access list, not mode bits, says who reads it
}

long read_descriptor(int fd, char* into, std::size_t size) {
    const InvalidParametersFail checked;
    _setmode(fd, _O_BINARY);  // a standard descriptor would turn CR LF into LF and stop at ^Z
    return _read(fd, into, static_cast<unsigned>(size));
}

void close_descriptor(int fd) {
    _close(fd);
}

LineResult ask_on_terminal(PasswordBuffer& password, PasswordBuffer* repeat) {
    const SilentConsole console;
    if (!console.ready()) return LineResult::no_terminal;
    return ask_questions(
        [&console](Question question, PasswordBuffer& answer) {
            // The texts are ASCII; a console line ends in CR LF.
            std::wstring prompt;
            for (const char c : question_text(question)) {
                if (c == '\n') prompt += L'\r';
                prompt += static_cast<wchar_t>(c);
            }
            return ask(console, prompt, answer);
        },
        password, repeat);
}

}  // namespace quorvel
