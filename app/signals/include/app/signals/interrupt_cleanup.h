// Removal of the run's temporary files when the run is ended from outside: on POSIX by any
// ending signal (signals_posix.h: Ctrl+C, SIGTERM, SIGHUP, SIGQUIT, SIGSEGV or SIGABRT sent by
// another process, and the others), on Windows by any console event (Ctrl+C, Ctrl+Break, the
// console closing). A plaintext copy or a half-written output must not outlive such a run. An
// archiver still running is ended and waited for first (on POSIX: killed when it has not ended
// within CHILD_GRACE_PERIOD of the signal, and the terminal it may have silenced given back).
// The process then ends with a failure status (on POSIX: by the same signal). Files are
// registered by their owner (temporary_file.h), not by hand.
#pragma once

#include <filesystem>
#include <optional>

#include "files/files.h"

namespace quorvel {

// Installs the handlers. Call once, before any temporary file exists.
void install_interrupt_cleanup();

// Adds `path` to the files removed on interrupt: removed only while the name still refers to
// the file `identity` names, or, without an identity, whatever is at the name (a name the run
// holds free for a program it starts). Returns the entry's number for the calls below, or -1
// when the list (MAX_REGISTERED_FILES entries) is full; the file then has only its owner.
[[nodiscard]] int remove_on_interrupt(const std::filesystem::path& path,
                                      const std::optional<files::Identity>& identity);

// Records the identity of the file now at entry `entry`'s name.
void identify_on_interrupt(int entry, const files::Identity& identity);

// Takes entry `entry` off the list (its file was removed, put in place or is to be kept).
void forget_on_interrupt(int entry);

// Far more than a run makes at once: a key file, an output, the archive.
inline constexpr int MAX_REGISTERED_FILES = 8;

// Holds the cleanup off while it exists, so that a file created and registered meanwhile is
// never seen half done. May be nested. Only quick work that cannot wait belongs inside: no
// opening of a FIFO (files::wait_for_reader comes before), no reading of a password, no
// waiting for a child; an interrupt that arrives meanwhile takes effect when the outermost
// one ends.
class InterruptsDeferred {
public:
    InterruptsDeferred();
    ~InterruptsDeferred();
    InterruptsDeferred(const InterruptsDeferred&) = delete;
    InterruptsDeferred& operator=(const InterruptsDeferred&) = delete;
};

// The run's work is done and in place (an encryption's output has taken its name): from here
// to its end the run is not interrupted, so that it never ends as interrupted with its result
// already in place. On POSIX the ending signals but the fault signals are ignored, one that
// arrived meanwhile and is held by a deferred section included; on Windows a console event
// ends the process without touching its files. Call inside InterruptsDeferred.
void finish_without_interrupts();

// Removes every file on that list now and empties it: the last step of a run that ends by an
// unexpected error rather than by a signal.
void remove_registered_files();

}  // namespace quorvel
