#include "app/run/last_resort.h"

#include <exception>
#include <string_view>

#include "app/messages/messages.h"
#include "app/signals/interrupt_cleanup.h"

namespace quorvel {

namespace {

// Allocates nothing (the files go by the paths registered before, and the message and the
// status line it erases are written from fixed storage): the exception may well be a failed
// allocation.
Reported fail_with(std::string_view description) {
    remove_registered_files();
    return say::unexpected_failure(description);
}

}  // namespace

RunOutcome run_with_last_resort(const std::function<RunOutcome()>& run) {
    try {
        return run();
    } catch (const std::exception& error) {
        return fail_with(error.what());
    } catch (...) {
        return fail_with("unknown exception");
    }
}

}  // namespace quorvel
