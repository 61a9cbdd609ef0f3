// Fuzz target for key-file reading: the input is the raw bytes of a key file. Checked for
// every input, besides the sanitizers' findings:
// - the probe finds the file and reading it succeeds;
// - the table holds exactly the first 3072 bytes, a short file padded with 0xFF;
// - for password lengths across every round count and mixing factor, the keys built from it
//   depend on the password's length only, keep identity permutations, and decrypt undoes
//   encrypt.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "cipher/block_ops.h"
#include "cipher/key_schedule.h"
#include "cipher/rounds.h"
#include "fuzz_support.h"
#include "keyfile/keyfile.h"

namespace quorvel::fuzz {

namespace {

// 0, 5, 9, 13 and 17 bytes give the four round counts; 128 and 200 bytes give a mixing
// factor of zero or less, where the key-file blocks are taken unmixed.
constexpr std::size_t PASSWORD_LENGTHS[] = {0, 5, 9, 13, 17, 128, 200};

std::span<const std::uint8_t> as_bytes(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

RoundKeyTable keys_from(const RoundKeyTable& file_blocks, const std::string& password,
                        CipherMode mode) {
    RoundKeyTable keys = file_blocks;
    build_round_keys(keys, as_bytes(password), mode, KeySource::key_file);
    return keys;
}

void check_table_holds_file(const RoundKeyTable& table, std::span<const std::uint8_t> data) {
    for (std::size_t i = 0; i < KEY_FILE_SIZE; ++i) {
        const std::uint8_t expected = i < data.size() ? data[i] : 0xFF;
        require(table[i / BLOCK_SIZE][i % BLOCK_SIZE] == expected,
                "key-file table differs from the file's bytes");
    }
}

void check_keys(const RoundKeyTable& file_blocks, std::span<const std::uint8_t> data) {
    Block identity;
    make_permutation(identity);
    Block sample;
    fill_block(sample, 0x5A);
    std::copy_n(data.begin(), std::min(data.size(), BLOCK_SIZE), sample.begin());

    for (const std::size_t length : PASSWORD_LENGTHS) {
        const auto encrypt_keys =
            keys_from(file_blocks, std::string(length, 'a'), CipherMode::encrypt);
        const auto decrypt_keys =
            keys_from(file_blocks, std::string(length, 'z'), CipherMode::decrypt);
        require(
            keys_from(file_blocks, std::string(length, 'b'), CipherMode::encrypt) == encrypt_keys,
            "key-file keys depend on the password's characters");
        for (std::size_t k = 0; k < ROUND_KEY_COUNT; k += 3) {
            require(encrypt_keys[k] == identity && decrypt_keys[k] == identity,
                    "a permutation key is not the identity");
        }
        const int rounds = select_round_count(length);
        Block block = sample;
        encrypt_rounds(block, encrypt_keys, rounds);
        decrypt_rounds(block, decrypt_keys, rounds);
        require(block == sample, "decrypt does not undo encrypt under key-file keys");
    }
}

}  // namespace

}  // namespace quorvel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quorvel;
    using namespace quorvel::fuzz;
    const auto input = take_input(data, size, "fuzz.key");
    require(!KeyFile::open(input.file).fault(), "key-file probe misses an existing file");
    RoundKeyTable table{};
    require(!read_key_file(input.file, table), "key-file reading fails");
    check_table_holds_file(table, input.bytes);
    check_keys(table, input.bytes);
    return 0;
}
