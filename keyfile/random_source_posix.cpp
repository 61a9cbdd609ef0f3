#include <sys/random.h>

#include <cerrno>

#include "internal/random_source.h"

namespace quorvel {

// getrandom blocks only until the kernel's pool is first seeded, and may return fewer bytes
// than asked or be interrupted by a signal: it is called until the span is full.
bool fill_random(std::span<std::uint8_t> bytes) {
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t got = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        filled += static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace quorvel
