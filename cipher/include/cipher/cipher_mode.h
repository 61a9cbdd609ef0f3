// The direction of a run. The key schedule and the rotation amounts take it here, at the
// bottom of the program, and the layers above pass it down: the signature probe chooses it,
// the cipher stage streams by it.
#pragma once

#include <cstdint>

namespace quorvel {

// Which direction a run goes; the values are the ones the key schedule stores keys for.
enum class CipherMode : std::uint8_t { encrypt = 0, decrypt = 1 };

}  // namespace quorvel
