#include "app/signals/interrupt_cleanup.h"

#include <array>
#include <chrono>
#include <climits>
#include <csignal>
#include <system_error>
#include <thread>
#include <utility>

#include "internal/registered_files.h"

namespace quorvel {

namespace {

// One file to remove. The handlers read only entries marked in use; an entry is changed only
// inside InterruptsDeferred, where no handler runs.
struct Entry {
    std::filesystem::path path;
    files::Identity identity;
    volatile std::sig_atomic_t identified = 0;
    volatile std::sig_atomic_t in_use = 0;
    int registered = 0;  // the order of registration: higher is newer

    std::optional<files::Identity> known_identity() const {
        if (identified == 0) return std::nullopt;
        return identity;
    }
};

std::array<Entry, MAX_REGISTERED_FILES> entries;
int registrations = 0;

// The absolute form, so that the handler finds the file whatever the current folder; the
// path as given when that cannot be made (the current folder is gone).
std::filesystem::path absolute_form(const std::filesystem::path& path) {
    std::error_code error;
    auto absolute = std::filesystem::absolute(path, error);
    return error ? path : absolute;
}

Entry* entry_at(int number) {
    if (number < 0 || number >= MAX_REGISTERED_FILES) return nullptr;
    return &entries[static_cast<std::size_t>(number)];
}

void remove_entry(const Entry& entry) {
#ifdef _WIN32
    // A program ended a moment ago may not have let go of the file yet.
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (files::remove_if_ours(entry.path, entry.known_identity())) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
#else
    // Nothing more can be done from a signal handler for a file that stays.
    static_cast<void>(files::remove_if_ours(entry.path, entry.known_identity()));
#endif
}

}  // namespace

int remove_on_interrupt(const std::filesystem::path& path,
                        const std::optional<files::Identity>& identity) {
    std::filesystem::path absolute = absolute_form(path);
    const InterruptsDeferred deferred;
    for (int number = 0; number < MAX_REGISTERED_FILES; ++number) {
        Entry& entry = *entry_at(number);
        if (entry.in_use != 0) continue;
        entry.path = std::move(absolute);
        entry.identity = identity.value_or(files::Identity{});
        entry.identified = identity ? 1 : 0;
        entry.registered = ++registrations;
        entry.in_use = 1;
        return number;
    }
    return -1;
}

void identify_on_interrupt(int number, const files::Identity& identity) {
    Entry* entry = entry_at(number);
    if (entry == nullptr) return;
    const InterruptsDeferred deferred;
    entry->identity = identity;
    entry->identified = 1;
}

void forget_on_interrupt(int number) {
    Entry* entry = entry_at(number);
    if (entry == nullptr) return;
    const InterruptsDeferred deferred;
    entry->in_use = 0;
}

void remove_registered_files() {
    const InterruptsDeferred deferred;
    for (Entry& entry : entries) {
        if (entry.in_use != 0) remove_entry(entry);
        entry.in_use = 0;
    }
}

void remove_registered_files_now() {
    // The newest first: an output on its way goes before the archive it is made from, which
    // on Windows may take a while to go while the run still reads it. (A handful of entries:
    // one pass each for the newest left.)
    for (int newer_than = INT_MAX;;) {
        const Entry* newest = nullptr;
        for (const Entry& entry : entries) {
            if (entry.in_use != 0 && entry.registered < newer_than &&
                (newest == nullptr || entry.registered > newest->registered)) {
                newest = &entry;
            }
        }
        if (newest == nullptr) return;
        remove_entry(*newest);
        newer_than = newest->registered;
    }
}

}  // namespace quorvel
