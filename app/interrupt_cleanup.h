// Removal of the run's temporary files when the process is interrupted (Ctrl+C, SIGTERM,
// SIGHUP, or the console closing): a plaintext copy or a half-written output must not
// outlive an interrupted run. The process then ends with a failure status.
#pragma once

#include <filesystem>

namespace quorvel {

// Installs the interrupt handlers. Call once, before any temporary file exists.
void install_interrupt_cleanup();

// Adds `path` to the files removed on interrupt; at most four at a time.
void remove_on_interrupt(const std::filesystem::path& path);

// Takes `path` off that list again (it was finished, renamed or is to be kept).
void forget_on_interrupt(const std::filesystem::path& path);

}  // namespace quorvel
