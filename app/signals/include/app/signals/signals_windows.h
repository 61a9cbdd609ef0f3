// What the Windows child process shares with the console-event handler
// (interrupt_cleanup.h).
#pragma once

#include <windows.h>

namespace quorvel {

// Records the child process now running and the job object it runs in (nullptr for none):
// on a console event the job is ended and the process waited for before the files are
// removed. Call inside InterruptsDeferred; the handles stay the caller's.
void set_interrupted_child(HANDLE job, HANDLE process);

}  // namespace quorvel
