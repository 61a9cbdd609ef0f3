// The cipher stage: a whole input streamed through the chained block cipher into the
// encrypted file format, and back with the check block verified.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "cipher/fast_rounds.h"
#include "cipher/key_schedule.h"
#include "container/byte_stream.h"
#include "container/file_stream.h"
#include "container/format.h"

namespace quorvel {

// The input is read and the output written in chunks of this size, a multiple of the block
// size. Each chunk costs the reading, ciphering and writing threads a hand-off or two: 1 MiB
// took a quarter of the context switches of 256 KiB and less of the ciphering thread's time,
// and four of them in flight keep the program's memory well under 16 MiB.
inline constexpr std::size_t CHUNK_SIZE = std::size_t{1} << 20;

enum class StreamResult {
    ok,            // everything written; on decryption the check block matched
    check_failed,  // decryption wrote everything it produced, but the check block differs
    read_error,    // the input failed before its end; the output is incomplete
    write_error,   // the output refused bytes; it is incomplete
};

// Writes the signature, the check block and the cipher blocks of everything `input` holds to
// `output`. Prints nothing; ok means the whole file is written.
// A seekable output is written in one pass, the check block put in place at the end; an
// output that is not (a pipe) gets its bytes strictly in order, after a first pass over the
// input for the check block, so the input must then be able to rewind() (else read_error).
// A stream longer than a chunk is read, ciphered and written on three threads at once. `keys`
// must hold the encrypt form.
StreamResult encrypt_stream(ByteSource& input, ByteSink& output, const RoundKeyTable& keys,
                            int rounds);

// Decrypts an encrypted file whose contents `input` yields from offset 0 and writes the
// plaintext to `output`. Prints nothing; the check block decides between ok and
// check_failed. The last block is found by counting bytes against
// `input_size` when it is given, else at the end of the input (a pipe), with the same
// results for the same bytes. `keys` must hold the decrypt form.
StreamResult decrypt_stream(ByteSource& input, std::optional<std::uint64_t> input_size,
                            ByteSink& output, const RoundKeyTable& keys, int rounds);

// The same two with the keys already prepared for their direction, for a caller that runs
// many streams with one key (preparing them costs more than a short stream).
StreamResult encrypt_stream(ByteSource& input, ByteSink& output, const EncryptingRounds& prepared);
StreamResult decrypt_stream(ByteSource& input, std::optional<std::uint64_t> input_size,
                            ByteSink& output, const DecryptingRounds& prepared);

// A file of the cipher stage that failed, and how: what the program reports, by name.
struct FileFault {
    enum class Kind {
        not_found,      // the input does not open
        cannot_create,  // the output cannot be created
        cannot_read,    // the input failed before its end
        cannot_write,   // the output refused bytes or could not be finished
    };
    Kind kind;
    std::filesystem::path path;

    bool operator==(const FileFault&) const = default;
};

// The two files of the cipher stage and their paths as the user gave them.
struct FilePair {
    std::optional<ProbedInput> input;
    std::optional<OutputFile> output;
    std::filesystem::path input_path;
    std::filesystem::path output_path;
};

// Opens `input_path` for reading and the output for `output_path` as `policy` says. Returns
// nullopt when both are open, else the fault (not_found on the input or cannot_create on the
// output); nothing is created when the input fails. Prints nothing.
std::optional<FileFault> open_file_pair(FilePair& pair, const std::filesystem::path& input_path,
                                        const std::filesystem::path& output_path,
                                        OutputPolicy policy);

// The same with an input already open at `input_path` (the one the signature probe read),
// so that it is not opened twice.
std::optional<FileFault> open_file_pair(FilePair& pair, ProbedInput input,
                                        const std::filesystem::path& input_path,
                                        const std::filesystem::path& output_path,
                                        OutputPolicy policy);

// Closes both files and puts the output in place. Returns nullopt, or cannot_write on the
// output when it could not be finished. Prints nothing.
std::optional<FileFault> close_file_pair(FilePair& pair);

// Streams the pair's input into its output in `mode`, with the round count the password's
// length selects. Prints nothing: stream_fault() names the file of a read or write error. A
// `source`, when given, is read instead of the pair's input (a wrapper around it, such as a
// progress meter); the pair's input still gives the size, or none for a pipe.
StreamResult run_cipher(FilePair& pair, CipherMode mode, const RoundKeyTable& keys,
                        std::uint64_t password_length, ByteSource* source = nullptr);

// The fault behind `result` of a stream over `pair`: cannot_read on the input for a
// read_error, cannot_write on the output for a write_error, nullopt for ok and check_failed.
std::optional<FileFault> stream_fault(const FilePair& pair, StreamResult result);

}  // namespace quorvel
