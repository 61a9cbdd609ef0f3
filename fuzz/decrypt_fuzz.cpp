// Fuzz target for the decrypt path: the input is the raw bytes of a would-be encrypted file.
// Checked for every input, besides the sanitizers' findings:
// - the signature probe says "encrypted" exactly when the bytes begin with the signature, and
//   reading on after it gives every byte, the probed ones included;
// - decryption gives the verdict and the output of the byte-at-a-time model, whether the
//   length is known or found at the end of the input (a pipe), however the source splits the
//   bytes, and, for an input that verifies, from a real file through the program's own file
//   pair;
// - the same bytes taken as a plaintext encrypt to the model's bytes, to a seekable output or
//   to one that takes its bytes in order only.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <variant>

#include "cipher/fast_rounds.h"
#include "cipher/key_schedule.h"
#include "cipher/rounds.h"
#include "container/format.h"
#include "container/stream.h"
#include "fuzz_support.h"
#include "internal/prepared_streams.h"
#include "support/stream_model.h"

namespace quorvel::fuzz {

namespace {

// The password of one of the known-answer files in the seed corpus, so that a seed reaches
// the "Decrypt OK" end; 5 bytes give the cheapest round count.
constexpr std::string_view PASSWORD = "Ry4pt";

// A source chunk that is not a divisor of the block size.
constexpr std::size_t ODD_CHUNK = 7;

// The keys, and the same prepared once for the memory roads: preparing them costs more than
// a short stream (the file road prepares its own, as the program does).
struct Keys {
    RoundKeyTable encrypt{};
    RoundKeyTable decrypt{};
    int rounds = 0;
    EncryptingRounds encrypting;
    DecryptingRounds decrypting;
};

RoundKeyTable password_keys(CipherMode mode) {
    const auto password =
        std::span(reinterpret_cast<const std::uint8_t*>(PASSWORD.data()), PASSWORD.size());
    RoundKeyTable keys{};
    build_round_keys(keys, password, mode, KeySource::password);
    return keys;
}

const Keys& fixed_keys() {
    static const Keys keys = [] {
        const auto encrypt = password_keys(CipherMode::encrypt);
        const auto decrypt = password_keys(CipherMode::decrypt);
        const int rounds = select_round_count(PASSWORD.size());
        return Keys{encrypt, decrypt, rounds, EncryptingRounds(encrypt, rounds),
                    DecryptingRounds(decrypt, rounds)};
    }();
    return keys;
}

void require_model_result(StreamResult result, const Bytes& plain,
                          const test::ModelDecrypted& model, std::string_view road) {
    require(result == (model.verified ? StreamResult::ok : StreamResult::check_failed), road);
    require(plain == model.plain, road);
}

void check_probe(const FuzzInput& input) {
    const auto& bytes = input.bytes;
    const bool signed_bytes = bytes.size() >= SIGNATURE_SIZE &&
                              std::equal(SIGNATURE.begin(), SIGNATURE.end(), bytes.begin(),
                                         [](char expected, std::uint8_t got) {
                                             return static_cast<std::uint8_t>(expected) == got;
                                         });
    auto probed = probe_signature(input.file);
    require(probed.encrypted() == signed_bytes, "signature probe disagrees with the bytes");
    require(probed.input.has_value(), "signature probe does not open a readable file");
    Bytes read_back(bytes.size() + 1);
    std::size_t got = 0;
    while (const auto n = probed.input->read(std::span(read_back).subspan(got))) {
        if (*n == 0) break;
        got += *n;
    }
    require(got == bytes.size() && std::equal(bytes.begin(), bytes.end(), read_back.begin()),
            "the probed input does not read back the file's bytes");
}

void check_memory_decryption(std::span<const std::uint8_t> bytes,
                             const test::ModelDecrypted& model) {
    {
        MemorySource source(Bytes(bytes.begin(), bytes.end()));
        MemorySink sink;
        sink.bytes.reserve(bytes.size());
        const auto result = decrypt_stream(source, bytes.size(), sink, fixed_keys().decrypting);
        require_model_result(result, sink.bytes, model,
                             "decryption by length differs from the model");
    }
    {
        auto source = MemorySource::pipe(Bytes(bytes.begin(), bytes.end()), ODD_CHUNK);
        MemorySink sink;
        sink.bytes.reserve(bytes.size());
        const auto result = decrypt_stream(source, std::nullopt, sink, fixed_keys().decrypting);
        require_model_result(result, sink.bytes, model,
                             "decryption to the end of a pipe differs from the model");
    }
}

// Through real files: a file pair and run_cipher, which takes the round count from the
// password's length, as the program's run does.
void check_file_decryption(const FuzzInput& input, const test::ModelDecrypted& model) {
    const auto output = scratch_path("output");
    auto opened = open_file_pair(input.file, output, OutputPolicy::private_file);
    auto* pair = std::get_if<FilePair>(&opened);
    require(pair != nullptr, "file pair does not open");
    const auto result =
        run_cipher(*pair, CipherMode::decrypt, fixed_keys().decrypt, PASSWORD.size());
    require(!close_file_pair(std::move(*pair)), "output file does not close");
    require_model_result(result, read_file(output), model,
                         "file decryption differs from the model");
}

// Encryption looks at the plaintext's length only, so the kind of output follows the length's
// parity: both kinds are tried over a run, at the cost of one encryption an input.
void check_encryption(std::span<const std::uint8_t> bytes) {
    const auto expected = test::model_encrypt(bytes, fixed_keys().encrypt, fixed_keys().rounds);
    MemorySource source(Bytes(bytes.begin(), bytes.end()));
    MemorySink encrypted({.seekable = bytes.size() % 2 == 0});
    encrypted.bytes.reserve(expected.size());
    require(encrypt_stream(source, encrypted, fixed_keys().encrypting) == StreamResult::ok,
            "encryption from memory fails");
    require(encrypted.bytes == expected, "encryption differs from the model");
}

}  // namespace

}  // namespace quorvel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quorvel;
    using namespace quorvel::fuzz;
    const auto input = take_input(data, size, "input.qv");
    check_probe(input);
    const auto model = test::model_decrypt(input.bytes, static_cast<std::int64_t>(size),
                                           fixed_keys().decrypt, fixed_keys().rounds);
    check_memory_decryption(input.bytes, model);
    // The file road makes and removes real files, which costs more than all the rest: it is
    // taken for the inputs that decrypt correctly, which the seed corpus holds.
    if (model.verified) check_file_decryption(input, model);
    check_encryption(input.bytes);
    return 0;
}
