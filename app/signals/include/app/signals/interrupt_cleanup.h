// Removal of the run's temporary files when the process is interrupted (Ctrl+C, SIGTERM,
// SIGHUP, SIGQUIT and every other signal that would end it, or the console closing): a
// plaintext copy or a half-written output must not outlive an interrupted run. The process
// then ends with a failure status (on POSIX: by the same signal). Files are registered by
// their owner (app/temporary_file.h), not by hand.
#pragma once

#include <filesystem>
#include <optional>

#include "files/files.h"

namespace quorvel {

// Installs the interrupt handlers. Call once, before any temporary file exists.
void install_interrupt_cleanup();

// Adds `path` to the files removed on interrupt: removed only while the name still refers to
// the file `identity` names, or, without an identity, whatever is at the name (a name the run
// holds free for a program it starts). Returns the entry's number for the calls below, or -1
// when the list (eight entries) is full.
int remove_on_interrupt(const std::filesystem::path& path,
                        const std::optional<files::Identity>& identity);

// Records the identity of the file now at entry `entry`'s name.
void identify_on_interrupt(int entry, const files::Identity& identity);

// Takes entry `entry` off the list (its file was removed, put in place or is to be kept).
void forget_on_interrupt(int entry);

// Holds the cleanup off while it exists, so that a file created and registered meanwhile is
// never seen half done. May be nested.
class InterruptsDeferred {
public:
    InterruptsDeferred();
    ~InterruptsDeferred();
    InterruptsDeferred(const InterruptsDeferred&) = delete;
    InterruptsDeferred& operator=(const InterruptsDeferred&) = delete;
};

// Removes every file on that list now and empties it: the last step of a run that ends by an
// unexpected error rather than by a signal.
void remove_registered_files();

}  // namespace quorvel
