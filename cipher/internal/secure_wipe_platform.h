// The system's own wiping call, one file per platform (secure_wipe_posix.cpp,
// secure_wipe_windows.cpp).
#pragma once

#include <cstddef>

namespace quorvel::detail {

// Zeroes `size` bytes at `data`, which is not null, with stores the compiler keeps.
void wipe_bytes(void* data, std::size_t size);

}  // namespace quorvel::detail
