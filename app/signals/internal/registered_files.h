// The list of files to remove, shared by the POSIX and the Windows interrupt handlers
// (interrupt_cleanup_posix.cpp, interrupt_cleanup_windows.cpp); the list's functions of
// interrupt_cleanup.h are in interrupt_cleanup.cpp.
#pragma once

namespace quorvel {

// Removes each registered file that is still the run's (files::remove_if_ours), the newest
// first, leaving the list as it is. For the handlers: on POSIX only async-signal-safe calls, and
// the caller makes sure no deferred section is under way (the handler runs with the signals
// blocked, which a deferred section blocks too). On Windows each file is tried a few times, as a
// program that has just ended may still hold it for a moment.
void remove_registered_files_now();

}  // namespace quorvel
