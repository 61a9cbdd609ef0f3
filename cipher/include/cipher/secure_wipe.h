// Wiping key material (password copies, round-key tables, key-file bytes) so that it does not
// outlive its use in memory that is later reused, swapped out or dumped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quorvel {

// Sets every byte of `bytes` to zero with stores the compiler may not remove, even when the
// memory is never read again (the case where a plain memset is dropped as dead). Any object
// can be passed as std::as_writable_bytes(std::span(object)); an empty span does nothing.
void secure_wipe(std::span<std::byte> bytes);

// The same for the byte buffers the cipher works on (Block, key-file bytes).
void secure_wipe(std::span<std::uint8_t> bytes);

}  // namespace quorvel
