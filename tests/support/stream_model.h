// The encrypted file format as its algorithm was first written: one byte at a time into a
// block, with an end flag set by the first read that finds no data, the reference rounds and
// the last block found by counting bytes against a length. Slow and plain on purpose: the
// chunked stream is checked against it by the tests and by the decrypt fuzz target.
#pragma once

#include <cstdint>
#include <span>

#include "cipher/key_schedule.h"
#include "support/memory_streams.h"

namespace quorvel::test {

// The encrypted file of `plain` under `keys` (encrypt form) and `rounds`.
Bytes model_encrypt(std::span<const std::uint8_t> plain, const RoundKeyTable& keys, int rounds);

struct ModelDecrypted {
    Bytes plain;    // every byte the decryption wrote
    bool verified;  // the check block matched
};

// Decrypts `encrypted` under `keys` (decrypt form) and `rounds`, finding the last block by
// counting against `claimed_size`, which may differ from encrypted.size() (a file that grew
// or shrank after its length was taken) but must not be negative.
ModelDecrypted model_decrypt(std::span<const std::uint8_t> encrypted, std::int64_t claimed_size,
                             const RoundKeyTable& keys, int rounds);

}  // namespace quorvel::test
