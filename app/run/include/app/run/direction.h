// Which way a run goes. By default the input decides: one that begins with the signature is
// decrypted, anything else encrypted. QUORVEL_MODE forces the direction instead, for a file
// whose signature was damaged (decrypt) or a file of one's own that happens to begin with the
// signature (encrypt), or asks only whether an encrypted file still opens and what it holds
// (test, list), without extracting anything.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

#include "app/messages/outcome.h"
#include "cipher/cipher_mode.h"
#include "container/format.h"

namespace quorvel {

inline constexpr std::string_view MODE_VARIABLE = "QUORVEL_MODE";

enum class Direction {
    by_input,  // QUORVEL_MODE unset: the signature probe decides
    encrypt,   // QUORVEL_MODE=encrypt
    decrypt,   // QUORVEL_MODE=decrypt
    test,      // QUORVEL_MODE=test
    list,      // QUORVEL_MODE=list
};

// What a run does with its input.
enum class RunMode {
    encrypt,  // packs it and encrypts the archive into the output
    decrypt,  // decrypts it and extracts the archive into the current folder
    test,     // decrypts it and has the archiver test the archive, writing nothing of its own
    list,     // decrypts it and has the archiver list the archive, writing nothing of its own
};

// The way the cipher stage of a run in `mode` goes.
[[nodiscard]] CipherMode cipher_mode(RunMode mode);

// True when a run going `direction` only tests or lists: it writes nothing into the current
// folder (its archive goes to the temporary folder), so it needs no lock on that folder.
[[nodiscard]] bool only_checks(Direction direction);

// The direction QUORVEL_MODE asks for. Any value but "encrypt", "decrypt", "test" and "list"
// (an empty one included) fails after printing "Error! QUORVEL_MODE holds '...'; ...": the run
// must then stop before anything is touched.
[[nodiscard]] OrReported<Direction> requested_direction();

// The mode of a run going `direction` whose input probed as `probed`, after printing what the
// run says about its input: the probe's own message when the input decides, "Crypt run" for
// any readable input that is forced to encryption, nothing for one forced to decryption, a
// test or a listing. Fails after printing why when the run cannot go that way: the input does
// not open ("Error! File '...' not found.", `open_error` its cause) or, forced to anything
// but encryption, it has no signature.
[[nodiscard]] OrReported<RunMode> mode_for_input(Direction direction, InputKind probed,
                                                 int open_error,
                                                 const std::filesystem::path& input);

}  // namespace quorvel
