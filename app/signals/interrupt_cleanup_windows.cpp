#include <windows.h>

#include <mutex>

#include "app/signals/interrupt_cleanup.h"
#include "app/signals/signals_windows.h"
#include "console/console.h"
#include "internal/registered_files.h"

namespace quorvel {

namespace {

// Held by InterruptsDeferred, which may nest, and by the handler, which never lets go.
std::recursive_mutex guard;

HANDLE running_job = nullptr;
HANDLE running_child = nullptr;
// Set once the run's work is in place: an event then ends the process and nothing else.
volatile LONG work_in_place = 0;

// The archiver is ended with everything it started, and waited for, so that it cannot write
// the archive again after the removal: a Ctrl+C sent to this program alone (or a console
// that lets the archiver ignore it) must not leave it working.
void end_child() {
    if (running_job != nullptr) TerminateJobObject(running_job, 1);
    if (running_child == nullptr) return;
    if (running_job == nullptr) TerminateProcess(running_child, 1);
    WaitForSingleObject(running_child, 10000);
}

// Runs on a thread of its own, as Windows calls console handlers. The guard waits for a
// deferred section to end and is then kept, so the run makes nothing more meanwhile.
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
    if (work_in_place != 0) {
        // Nothing is left to undo: Ctrl+C and Ctrl+Break are let pass, and the run ends as
        // done; closing the console ends it all the same.
        return TRUE;
    }
    guard.lock();
    end_child();
    clear_status_at_interrupt();
    remove_registered_files_now();
    ExitProcess(1);
}

}  // namespace

void install_interrupt_cleanup() {
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

InterruptsDeferred::InterruptsDeferred() {
    guard.lock();
}

InterruptsDeferred::~InterruptsDeferred() {
    guard.unlock();
}

void finish_without_interrupts() {
    InterlockedExchange(&work_in_place, 1);
}

void set_interrupted_child(HANDLE job, HANDLE process) {
    running_job = job;
    running_child = process;
}

}  // namespace quorvel
