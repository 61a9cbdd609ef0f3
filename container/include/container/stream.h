// The cipher stage: a whole input streamed through the chained block cipher into the
// encrypted file format, and back with the check block verified.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <utility>
#include <variant>

#include "cipher/key_schedule.h"
#include "container/byte_stream.h"
#include "container/file_stream.h"
#include "container/format.h"

namespace quorvel {

// The input is read and the output written in chunks of this size, a multiple of the block
// size. Chosen by timing whole runs on a 512 MiB file: with eight in the ring, 256 KiB was as
// fast as 1 MiB with four (or faster) in all four modes, 64 KiB was slower, and the ring
// keeps the program's memory well under 16 MiB.
inline constexpr std::size_t CHUNK_SIZE = std::size_t{1} << 18;

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
// A stream longer than a chunk is read, ciphered and written at once, on two threads. `keys`
// must hold the encrypt form.
[[nodiscard]] StreamResult encrypt_stream(ByteSource& input, ByteSink& output,
                                          const RoundKeyTable& keys, int rounds);

// Decrypts an encrypted file whose contents `input` yields from offset 0 and writes the
// plaintext to `output`. Prints nothing; the check block decides between ok and
// check_failed. The last block is found by counting bytes against
// `input_size` when it is given, else at the end of the input (a pipe), with the same
// results for the same bytes. `keys` must hold the decrypt form.
[[nodiscard]] StreamResult decrypt_stream(ByteSource& input,
                                          std::optional<std::uint64_t> input_size, ByteSink& output,
                                          const RoundKeyTable& keys, int rounds);

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
    int error = 0;  // the system's error number (errno), 0 when not known

    bool operator==(const FileFault&) const = default;
};

// The two files of the cipher stage and their paths as the user gave them. Both files are
// open from construction until close_file_pair() takes the pair.
class FilePair {
public:
    // A pair of files already open: the run opens its input through the signature probe and
    // its output as a file it answers for; open_file_pair() opens both itself.
    FilePair(ProbedInput input, std::filesystem::path input_path, OutputFile output,
             std::filesystem::path output_path)
        : input_(std::move(input)),
          output_(std::move(output)),
          input_path_(std::move(input_path)),
          output_path_(std::move(output_path)) {}

    ProbedInput& input() { return input_; }
    const ProbedInput& input() const { return input_; }
    OutputFile& output() { return output_; }
    const OutputFile& output() const { return output_; }
    const std::filesystem::path& input_path() const { return input_path_; }
    const std::filesystem::path& output_path() const { return output_path_; }

private:
    ProbedInput input_;
    OutputFile output_;
    std::filesystem::path input_path_;
    std::filesystem::path output_path_;
};

// Opens `input_path` for reading and the output for `output_path` as `policy` says. Returns
// the open pair, or the fault: not_found on the input or cannot_create on the output; nothing
// is created when the input fails. Prints nothing.
[[nodiscard]] std::variant<FilePair, FileFault> open_file_pair(
    const std::filesystem::path& input_path, const std::filesystem::path& output_path,
    OutputPolicy policy);

// Closes both files of `pair` and puts the output in place. Returns nullopt, or cannot_write
// on the output when it could not be finished. Prints nothing.
[[nodiscard]] std::optional<FileFault> close_file_pair(FilePair pair);

// Streams the pair's input into its output in `mode`, with the round count the password's
// length selects. Prints nothing: stream_fault() names the file of a read or write error.
[[nodiscard]] StreamResult run_cipher(FilePair& pair, CipherMode mode, const RoundKeyTable& keys,
                                      std::uint64_t password_length);

// The same, reading through `reader`, a wrapper that reads the pair's input (a progress meter,
// say); the pair's input still gives the size, or none for a pipe.
[[nodiscard]] StreamResult run_cipher(FilePair& pair, ByteSource& reader, CipherMode mode,
                                      const RoundKeyTable& keys, std::uint64_t password_length);

// The fault behind `result` of a stream over `pair`: cannot_read on the input for a
// read_error, cannot_write on the output for a write_error, nullopt for ok and check_failed.
[[nodiscard]] std::optional<FileFault> stream_fault(const FilePair& pair, StreamResult result);

}  // namespace quorvel
