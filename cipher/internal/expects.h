// Preconditions that stay checked in every build. Each guards memory: a length or an index
// the code after it relies on to stay inside the caller's buffers. One comparison per call
// costs nothing next to the rounds, and a release build is where a caller's fault would
// otherwise turn into a read or write out of bounds.
#pragma once

#include <cstdlib>

namespace quorvel::detail {

// Stops the program at once when `holds` is false: the caller broke the function's contract,
// and nothing the function could return would be safe to use.
inline void expects(bool holds) {
    if (!holds) [[unlikely]] {
        std::abort();
    }
}

}  // namespace quorvel::detail
