#include <windows.h>
#include <bcrypt.h>

#include "internal/random_source.h"

namespace quorvel {

bool fill_random(std::span<std::uint8_t> bytes) {
    return BCryptGenRandom(nullptr, bytes.data(), static_cast<ULONG>(bytes.size()),
                           BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}

}  // namespace quorvel
