// encrypt_stream and decrypt_stream (container/stream.h) with the keys already prepared for
// their direction. Preparing them costs more than a short stream: the decrypt fuzz target runs
// thousands of short streams with one key, and prepares it once. The program runs one stream a
// run and calls the forms in stream.h.
#pragma once

#include <cstdint>
#include <optional>

#include "cipher/fast_rounds.h"
#include "container/byte_stream.h"
#include "container/stream.h"

namespace quorvel {

// encrypt_stream() with `prepared` in place of the keys and the round count.
[[nodiscard]] StreamResult encrypt_stream(ByteSource& input, ByteSink& output,
                                          const EncryptingRounds& prepared);

// decrypt_stream() with `prepared` in place of the keys and the round count.
[[nodiscard]] StreamResult decrypt_stream(ByteSource& input,
                                          std::optional<std::uint64_t> input_size, ByteSink& output,
                                          const DecryptingRounds& prepared);

}  // namespace quorvel
