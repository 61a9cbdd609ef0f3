// The optional key file: 3072 raw bytes, 12 blocks of 256, no header. Block d is XORed into
// round-key slot d before the key schedule mixes it; the blocks that land in permutation
// slots (0, 3, 6, 9) have no effect on the keys.
#pragma once

#include <cstddef>
#include <filesystem>

#include "cipher/key_schedule.h"

namespace quorvel {

inline constexpr std::size_t KEY_FILE_SIZE = ROUND_KEY_COUNT * BLOCK_SIZE;

// Returns true, and prints "Key file found." (no line break), when `path` opens for reading.
// Prints nothing otherwise.
bool key_file_exists(const std::filesystem::path& path);

// Creates a new key file at `path` (never replacing an existing one) from the operating
// system's random source, each byte followed by a mixing of the working block. Prints
// "Key file is successfully created!" and returns true; on failure prints
// "Error! Can't create key-file '...'.", leaves no file behind and returns false.
bool create_key_file(const std::filesystem::path& path);

// XORs the key file's 12 blocks into `table`. A shorter file reads as if padded with 0xFF,
// bytes past the 3072nd are ignored. On failure prints "Error! File '...' not found." (cannot
// open) or "Error! Can't read key-file '...'." (opens but cannot be read, a folder for one),
// and returns false.
bool read_key_file(const std::filesystem::path& path, RoundKeyTable& table);

}  // namespace quorvel
