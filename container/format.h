// Layout of an encrypted file:
//   offset 0    9 bytes        the signature "%quorvel%"
//   offset 9    256 bytes      the check block, stored as computed
//   offset 265  256 * N bytes  the chained cipher blocks, N >= 1
// The last plaintext block carries the count c (0 .. 255) of its real bytes in byte 255;
// after the real bytes comes 0xFF, then '0' fill. A plaintext of length L therefore always
// gives N = L / 256 + 1 blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string_view>

#include "cipher/block_ops.h"

namespace quorvel {

inline constexpr std::string_view SIGNATURE = "%quorvel%";
inline constexpr std::size_t SIGNATURE_SIZE = 9;
inline constexpr std::size_t HEADER_SIZE = SIGNATURE_SIZE + BLOCK_SIZE;

// The byte that fills a block after the end-of-data marker.
inline constexpr std::uint8_t FILL_BYTE = '0';
// The byte written right after the last real byte of the plaintext.
inline constexpr std::uint8_t END_MARKER = 0xFF;

// Size of the encrypted file for a plaintext of `plaintext_size` bytes.
constexpr std::uint64_t encrypted_size(std::uint64_t plaintext_size) {
    return HEADER_SIZE + (plaintext_size / BLOCK_SIZE + 1) * BLOCK_SIZE;
}

// Returns true when the file at `path` begins with the signature. Prints "Crypt run" for a
// file without it and "Error! File '...' not found." for one that cannot be opened; both
// return false, so the caller goes on in encrypt mode.
bool is_encrypted_file(const std::filesystem::path& path);

}  // namespace quorvel
