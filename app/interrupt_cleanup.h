// Removal of the run's temporary files when the process is interrupted (Ctrl+C, SIGTERM,
// SIGHUP, SIGQUIT and every other signal that would end it, or the console closing): a
// plaintext copy or a half-written output must not outlive an interrupted run. The process
// then ends with a failure status (on POSIX: by the same signal).
#pragma once

#include <filesystem>

namespace quorvel {

// Installs the interrupt handlers. Call once, before any temporary file exists.
void install_interrupt_cleanup();

// Adds `path` to the files removed on interrupt; at most four at a time.
void remove_on_interrupt(const std::filesystem::path& path);

// Takes `path` off that list again (it was finished, renamed or is to be kept).
void forget_on_interrupt(const std::filesystem::path& path);

// Removes every file on that list now and empties it: the last step of a run that ends by an
// unexpected error rather than by a signal.
void remove_registered_files();

}  // namespace quorvel
