#include "cipher/secure_wipe.h"

#include "internal/secure_wipe_platform.h"

namespace quorvel {

void secure_wipe(std::span<std::byte> bytes) {
    // The system calls are declared to take a non-null pointer, which an empty span need not
    // have.
    if (bytes.empty()) return;
    detail::wipe_bytes(bytes.data(), bytes.size());
}

void secure_wipe(std::span<std::uint8_t> bytes) {
    secure_wipe(std::as_writable_bytes(bytes));
}

}  // namespace quorvel
