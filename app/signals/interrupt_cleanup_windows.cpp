#include <windows.h>

#include <array>
#include <mutex>
#include <string>
#include <system_error>

#include "app/signals/interrupt_cleanup.h"

namespace quorvel {

namespace {

constexpr std::size_t MAX_ENTRIES = 8;

struct Entry {
    std::filesystem::path path;
    std::optional<files::Identity> identity;
    bool in_use = false;
};

// Held by the handler while it removes, and by InterruptsDeferred, which may nest.
std::recursive_mutex guard;
std::array<Entry, MAX_ENTRIES> entries;

bool remove_now(const Entry& entry) {
    if (entry.identity) return files::remove_if_same(entry.path, *entry.identity);
    return DeleteFileW(entry.path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
}

// The console delivers the event to the archiver as well, which then stops and lets go of
// the archive; a file it still holds cannot be deleted yet, so each is tried for a few
// seconds. The run's own files are open with sharing that allows deletion.
void remove_soon(const Entry& entry) {
    for (int attempt = 0; attempt < 30; ++attempt) {
        if (remove_now(entry)) return;
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
    for (const Entry& entry : entries) {
        if (entry.in_use) remove_soon(entry);
    }
    ExitProcess(1);
}

}  // namespace

void install_interrupt_cleanup() {
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

int remove_on_interrupt(const std::filesystem::path& path,
                        const std::optional<files::Identity>& identity) {
    std::error_code error;
    auto absolute = std::filesystem::absolute(path, error);
    if (error) absolute = path;
    std::lock_guard lock(guard);
    for (std::size_t i = 0; i < MAX_ENTRIES; ++i) {
        if (entries[i].in_use) continue;
        entries[i] = Entry{std::move(absolute), identity, true};
        return static_cast<int>(i);
    }
    return -1;
}

void identify_on_interrupt(int entry, const files::Identity& identity) {
    if (entry < 0) return;
    std::lock_guard lock(guard);
    entries[static_cast<std::size_t>(entry)].identity = identity;
}

void forget_on_interrupt(int entry) {
    if (entry < 0) return;
    std::lock_guard lock(guard);
    entries[static_cast<std::size_t>(entry)].in_use = false;
}

InterruptsDeferred::InterruptsDeferred() {
    guard.lock();
}

InterruptsDeferred::~InterruptsDeferred() {
    guard.unlock();
}

void remove_registered_files() {
    std::lock_guard lock(guard);
    for (Entry& entry : entries) {
        if (entry.in_use) remove_now(entry);
        entry.in_use = false;
    }
}

}  // namespace quorvel
