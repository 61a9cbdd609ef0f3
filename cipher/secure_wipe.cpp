#include "cipher/secure_wipe.h"

#include <cstring>

#ifdef _WIN32
#include <windows.h>  // the build defines WIN32_LEAN_AND_MEAN and NOMINMAX for every target
#endif

namespace quorvel {

void secure_wipe(std::span<std::byte> bytes) {
    // The C library functions are declared to take a non-null pointer, which an empty span
    // need not have.
    if (bytes.empty()) return;
#if defined(_WIN32)
    SecureZeroMemory(bytes.data(), bytes.size());
#elif defined(__GLIBC__) || defined(__OpenBSD__) || defined(__FreeBSD__)
    explicit_bzero(bytes.data(), bytes.size());
#else
    // Stores through a volatile pointer must each be performed; the barrier tells the
    // compiler that the memory may be read afterwards, so the stores stay even if inlined.
    volatile std::byte* cursor = bytes.data();
    for (std::size_t i = 0; i < bytes.size(); ++i) cursor[i] = std::byte{0};
#if defined(__GNUC__) || defined(__clang__)
    __asm__ __volatile__("" : : "r"(bytes.data()) : "memory");
#endif
#endif
}

void secure_wipe(std::span<std::uint8_t> bytes) {
    secure_wipe(std::as_writable_bytes(bytes));
}

}  // namespace quorvel
