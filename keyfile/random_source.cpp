#include "internal/random_source.h"

#ifdef _WIN32
#include <windows.h>
#include <bcrypt.h>
#else
#include <sys/random.h>
#include <cerrno>
#endif

namespace quorvel {

bool fill_random(std::span<std::uint8_t> bytes) {
#ifdef _WIN32
    return BCryptGenRandom(nullptr, bytes.data(), static_cast<ULONG>(bytes.size()),
                           BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
#else
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t got = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        filled += static_cast<std::size_t>(got);
    }
    return true;
#endif
}

}  // namespace quorvel
