#include <windows.h>  // the build defines WIN32_LEAN_AND_MEAN and NOMINMAX for every target

#include "internal/secure_wipe_platform.h"

namespace quorvel::detail {

void wipe_bytes(void* data, std::size_t size) {
    SecureZeroMemory(data, size);
}

}  // namespace quorvel::detail
