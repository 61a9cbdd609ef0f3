#include "app/messages/outcome.h"

namespace quorvel {

int exit_status(RunOutcome outcome) {
    switch (outcome.ending_) {
        case RunOutcome::Ending::done:
            return 0;
        case RunOutcome::Ending::failed:
            return 1;
        case RunOutcome::Ending::usage:
            return 2;
    }
    return 1;  // not reached: every ending is handled above
}

}  // namespace quorvel
