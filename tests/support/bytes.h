// The byte string every test helper reads and writes.
#pragma once

#include <cstdint>
#include <vector>

namespace quorvel::test {

using Bytes = std::vector<std::uint8_t>;

}  // namespace quorvel::test
