// The operating system's cryptographic random source.
#pragma once

#include <cstdint>
#include <span>

namespace quorvel {

// Fills `bytes` with random bytes. Returns false when the source is unavailable.
[[nodiscard]] bool fill_random(std::span<std::uint8_t> bytes);

}  // namespace quorvel
