// The one maker of Reported (outcome.h), for the messages room's own sources: a failure is
// reported only by the function that tells the user of it.
#pragma once

#include "app/messages/outcome.h"

namespace quorvel::say {

class Reporter {
public:
    // The proof that the failure just printed was told.
    static Reported told() { return Reported(); }
};

}  // namespace quorvel::say
