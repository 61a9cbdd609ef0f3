// The last line of defence around a run: one that ends by an exception still removes its
// temporary files and tells the user, instead of aborting with a plaintext copy left behind.
#pragma once

#include <functional>

#include "app/messages/outcome.h"

namespace quorvel {

// Returns run(). If it throws, removes the files registered for removal on interrupt
// (interrupt_cleanup.h), prints "Error! Unexpected failure: " and the exception's
// description, and returns that failure.
[[nodiscard]] RunOutcome run_with_last_resort(const std::function<RunOutcome()>& run);

}  // namespace quorvel
