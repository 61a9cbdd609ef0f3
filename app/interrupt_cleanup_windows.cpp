#include <windows.h>

#include <array>
#include <mutex>
#include <string>
#include <system_error>

#include "app/interrupt_cleanup.h"

namespace quorvel {

namespace {

constexpr std::size_t MAX_PATHS = 4;

std::mutex guard;
std::array<std::wstring, MAX_PATHS> paths;
std::array<bool, MAX_PATHS> in_use{};

// The console delivers the event to the archiver as well, which then stops and lets go of
// the archive; a file still open cannot be deleted yet, so each is tried for a few seconds.
void delete_soon(const std::wstring& path) {
    for (int attempt = 0; attempt < 30; ++attempt) {
        if (DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND) return;
        Sleep(100);
    }
}

// Runs on a thread of its own, as Windows calls console handlers.
BOOL WINAPI on_console_event(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            break;
        default:
            return FALSE;
    }
    std::lock_guard lock(guard);
    for (std::size_t i = 0; i < MAX_PATHS; ++i) {
        if (in_use[i]) delete_soon(paths[i]);
    }
    ExitProcess(1);
}

// The path made absolute, so that the removal does not depend on the current folder; as given
// when the current folder cannot be found, and nothing can be removed through it anyway.
std::wstring absolute_text(const std::filesystem::path& path) {
    std::error_code error;
    const auto absolute = std::filesystem::absolute(path, error);
    return error ? path.wstring() : absolute.wstring();
}

}  // namespace

void install_interrupt_cleanup() {
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void remove_on_interrupt(const std::filesystem::path& path) {
    std::lock_guard lock(guard);
    for (std::size_t i = 0; i < MAX_PATHS; ++i) {
        if (!in_use[i]) {
            paths[i] = absolute_text(path);
            in_use[i] = true;
            return;
        }
    }
}

void forget_on_interrupt(const std::filesystem::path& path) {
    std::lock_guard lock(guard);
    const std::wstring absolute = absolute_text(path);
    for (std::size_t i = 0; i < MAX_PATHS; ++i) {
        if (in_use[i] && paths[i] == absolute) in_use[i] = false;
    }
}

void remove_registered_files() {
    std::lock_guard lock(guard);
    for (std::size_t i = 0; i < MAX_PATHS; ++i) {
        if (in_use[i]) DeleteFileW(paths[i].c_str());
        in_use[i] = false;
    }
}

}  // namespace quorvel
