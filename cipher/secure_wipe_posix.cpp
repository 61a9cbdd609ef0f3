#include <string.h>  // explicit_bzero, where the C library has it

#include <cstddef>

#include "internal/secure_wipe_platform.h"

namespace quorvel::detail {

void wipe_bytes(void* data, std::size_t size) {
#if defined(__GLIBC__) || defined(__OpenBSD__) || defined(__FreeBSD__)
    explicit_bzero(data, size);
#else
    // Stores through a volatile pointer must each be performed; the barrier tells the
    // compiler that the memory may be read afterwards, so the stores stay even if inlined.
    volatile auto* cursor = static_cast<std::byte*>(data);
    for (std::size_t i = 0; i < size; ++i) cursor[i] = std::byte{0};
    __asm__ __volatile__("" : : "r"(data) : "memory");
#endif
}

}  // namespace quorvel::detail
