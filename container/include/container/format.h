// Layout of an encrypted file:
//   offset 0    9 bytes        the signature "%quorvel%"
//   offset 9    256 bytes      the check block, stored as computed
//   offset 265  256 * N bytes  the chained cipher blocks, N >= 1
// The last plaintext block carries the count c (0 .. 255) of its real bytes in byte 255;
// after the real bytes comes 0xFF, then '0' fill. A plaintext of length L therefore always
// gives N = L / 256 + 1 blocks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

#include "cipher/block_ops.h"
#include "container/byte_stream.h"
#include "container/file_stream.h"

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

// An input file opened once for both the signature probe and the cipher stage: the bytes the
// probe takes are handed out again by read() before the rest, so an input that can be read
// only once (a pipe, standard input) loses none of them.
class ProbedInput final : public ByteSource {
public:
    explicit ProbedInput(InputFile file) : file_(std::move(file)) {}

    // True when the input begins with the signature. The first call reads up to
    // SIGNATURE_SIZE bytes; a read error counts as a mismatch.
    [[nodiscard]] bool starts_with_signature();

    // The input from its first byte, the probed ones included.
    [[nodiscard]] std::optional<std::size_t> read(std::span<std::uint8_t> buffer) override;
    [[nodiscard]] bool rewind() override;

    // The file's length, as InputFile::size().
    std::optional<std::uint64_t> size() const { return file_.size(); }

    // The system's error number of the read that failed, as InputFile::error().
    int error() const { return file_.error(); }

private:
    InputFile file_;
    std::array<std::uint8_t, SIGNATURE_SIZE> head_{};
    std::size_t head_size_ = 0;    // bytes of head_ taken from the file by the probe
    std::size_t head_handed_ = 0;  // of those, bytes already handed out by read()
    bool probed_ = false;
};

// What the signature probe found at an input path.
enum class InputKind {
    encrypted,   // it begins with the signature
    plain,       // it does not, or it is a folder (which the archiver packs)
    unopenable,  // it does not open: missing, or refused
};

// The probe's finding and the input it opened.
struct ProbeResult {
    InputKind kind = InputKind::unopenable;
    std::optional<ProbedInput> input;  // the open input; nullopt unless it opened as a file
    int error = 0;  // why an unopenable input did not open (errno), 0 when not known

    bool encrypted() const { return kind == InputKind::encrypted; }
};

// Opens `path` and looks for the signature at its start. Prints nothing; only an encrypted
// input is decrypted, so the caller goes on in encrypt mode for the other two kinds.
ProbeResult probe_signature(const std::filesystem::path& path);

}  // namespace quorvel
