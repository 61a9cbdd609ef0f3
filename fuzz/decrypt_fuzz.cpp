// Fuzz target for the decrypt path: the input is the raw bytes of a would-be encrypted file.
// Checked for every input, besides the sanitizers' findings:
// - the signature probe says "encrypted" exactly when the bytes begin with the signature;
// - decryption from memory gives the same result and output however the source splits the
//   bytes, and the same again from a real file through the program's own file pair;
// - the output stays within the input's size plus one block;
// - the same bytes taken as a plaintext encrypt to the expected size and decrypt back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "cipher/key_schedule.h"
#include "cipher/rounds.h"
#include "container/format.h"
#include "container/stream.h"
#include "fuzz/fuzz_support.h"

namespace quorvel::fuzz {

namespace {

// The password of one of the known-answer files in the seed corpus, so that a seed reaches
// the "Decrypt OK" end; 5 bytes give the cheapest round count.
constexpr std::string_view PASSWORD = "Ry4pt";

// A source chunk that is not a divisor of the block size.
constexpr std::size_t ODD_CHUNK = 7;

struct Keys {
    RoundKeyTable encrypt{};
    RoundKeyTable decrypt{};
    int rounds = 0;
};

const Keys& fixed_keys() {
    static const Keys keys = [] {
        Keys made;
        const auto password =
            std::span(reinterpret_cast<const std::uint8_t*>(PASSWORD.data()), PASSWORD.size());
        build_round_keys(made.encrypt, password, CipherMode::encrypt, KeySource::password);
        build_round_keys(made.decrypt, password, CipherMode::decrypt, KeySource::password);
        made.rounds = select_round_count(PASSWORD.size());
        return made;
    }();
    return keys;
}

struct Decrypted {
    StreamResult result;
    Bytes plain;
};

Decrypted decrypt_in_memory(std::span<const std::uint8_t> data, std::size_t max_chunk) {
    MemorySource source(Bytes(data.begin(), data.end()), max_chunk);
    MemorySink sink;
    const auto result =
        decrypt_stream(source, data.size(), sink, fixed_keys().decrypt, fixed_keys().rounds);
    return {result, std::move(sink.bytes)};
}

void check_probe(const std::filesystem::path& input, std::span<const std::uint8_t> data) {
    const bool signed_bytes = data.size() >= SIGNATURE_SIZE &&
                              std::equal(SIGNATURE.begin(), SIGNATURE.end(), data.begin(),
                                         [](char expected, std::uint8_t got) {
                                             return static_cast<std::uint8_t>(expected) == got;
                                         });
    require(is_encrypted_file(input) == signed_bytes, "signature probe disagrees with the bytes");
}

// The program's own road: the file pair, run_cipher with the length-selected round count.
void check_file_decryption(const std::filesystem::path& input, const Decrypted& expected) {
    const auto output = scratch_path("output");
    FilePair pair;
    require(open_file_pair(pair, input, output, OutputPolicy::private_file),
            "file pair does not open");
    const auto result =
        run_cipher(pair, CipherMode::decrypt, fixed_keys().decrypt, PASSWORD.size());
    require(close_file_pair(pair), "output file does not close");
    require(result == expected.result, "file decryption result differs from memory");
    require(read_file(output) == expected.plain, "file decryption output differs from memory");
}

void check_round_trip(std::span<const std::uint8_t> plain) {
    MemorySource source(Bytes(plain.begin(), plain.end()));
    MemorySink encrypted;
    require(encrypt_stream(source, encrypted, fixed_keys().encrypt, fixed_keys().rounds) ==
                StreamResult::ok,
            "encryption from memory fails");
    require(encrypted.bytes.size() == encrypted_size(plain.size()),
            "encrypted size is not the format's");
    const auto back = decrypt_in_memory(encrypted.bytes, ODD_CHUNK);
    require(back.result == StreamResult::ok, "own encryption does not verify");
    require(std::equal(back.plain.begin(), back.plain.end(), plain.begin(), plain.end()),
            "own encryption does not decrypt back");
}

}  // namespace

}  // namespace quorvel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quorvel;
    using namespace quorvel::fuzz;
    silence_console();
    const std::span<const std::uint8_t> bytes(data, size);
    const auto input = scratch_path("input.qv");
    write_file(input, bytes);

    check_probe(input, bytes);
    const auto whole = decrypt_in_memory(bytes, SIZE_MAX);
    require(whole.result == StreamResult::ok || whole.result == StreamResult::check_failed,
            "memory decryption reports an I/O error");
    require(whole.plain.size() <= size + BLOCK_SIZE, "decryption writes more than it read");
    const auto pieces = decrypt_in_memory(bytes, ODD_CHUNK);
    require(pieces.result == whole.result && pieces.plain == whole.plain,
            "decryption depends on how the source splits its bytes");
    check_file_decryption(input, whole);
    check_round_trip(bytes);
    return 0;
}
