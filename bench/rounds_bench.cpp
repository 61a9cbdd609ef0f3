// Per-block cost of the round sequence: the reference byte loops against every path of the
// fast engine this CPU supports, both directions, 12 and 48 rounds. The fast engine is timed
// the way the stream uses it, chained over a buffer of blocks that stays in the L1/L2 cache.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "cipher/fast_rounds.h"
#include "cipher/rounds.h"

namespace {

using namespace quorvel;

constexpr std::size_t BUFFER_BLOCKS = 256;  // 64 KiB
constexpr int ROUND_COUNTS[] = {12, 48};

// A password whose length selects `rounds` rounds: 5 bytes for 12, 17 for 48.
RoundKeyTable keys_for(int rounds, CipherMode mode) {
    const std::vector<std::uint8_t> password(rounds == 12 ? 5 : 17, 'k');
    RoundKeyTable keys{};
    build_round_keys(keys, password, mode, KeySource::password);
    return keys;
}

std::vector<std::uint8_t> random_bytes(std::size_t count) {
    std::mt19937 generator(2024);
    std::vector<std::uint8_t> bytes(count);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(generator());
    return bytes;
}

// Reports time per block as well as bytes per second.
void count_blocks(benchmark::State& state, std::size_t blocks_per_iteration) {
    const auto blocks = static_cast<double>(blocks_per_iteration);
    state.counters["per_block"] = benchmark::Counter(
        blocks, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(blocks_per_iteration * BLOCK_SIZE));
}

void reference_rounds(benchmark::State& state, CipherMode mode, int rounds) {
    const RoundKeyTable keys = keys_for(rounds, mode);
    const auto bytes = random_bytes(BLOCK_SIZE);
    Block block;
    std::copy(bytes.begin(), bytes.end(), block.begin());
    for (auto _ : state) {
        if (mode == CipherMode::encrypt) {
            encrypt_rounds(block, keys, rounds);
        } else {
            decrypt_rounds(block, keys, rounds);
        }
        benchmark::DoNotOptimize(block);
    }
    count_blocks(state, 1);
}

void fast_rounds(benchmark::State& state, CipherMode mode, int rounds, RoundsPath path) {
    const EncryptingRounds encrypting(keys_for(rounds, CipherMode::encrypt), rounds, path);
    const DecryptingRounds decrypting(keys_for(rounds, CipherMode::decrypt), rounds, path);
    auto buffer = random_bytes(BUFFER_BLOCKS * BLOCK_SIZE);
    ChainState chain;
    for (auto _ : state) {
        if (mode == CipherMode::encrypt) {
            encrypt_chained(buffer, chain, encrypting);
        } else {
            decrypt_chained(buffer, chain, decrypting);
        }
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    count_blocks(state, BUFFER_BLOCKS);
}

// One block through the fast engine by itself, with the call's fixed cost included.
void fast_single_block(benchmark::State& state, CipherMode mode, int rounds) {
    const EncryptingRounds encrypting(keys_for(rounds, CipherMode::encrypt), rounds);
    const DecryptingRounds decrypting(keys_for(rounds, CipherMode::decrypt), rounds);
    const auto bytes = random_bytes(BLOCK_SIZE);
    Block block;
    std::copy(bytes.begin(), bytes.end(), block.begin());
    for (auto _ : state) {
        ChainState chain;
        if (mode == CipherMode::encrypt) {
            encrypt_chained(block, chain, encrypting);
        } else {
            decrypt_chained(block, chain, decrypting);
        }
        benchmark::DoNotOptimize(block);
    }
    count_blocks(state, 1);
}

const char* direction_name(CipherMode mode) {
    return mode == CipherMode::encrypt ? "encrypt" : "decrypt";
}

void register_all() {
    for (const CipherMode mode : {CipherMode::encrypt, CipherMode::decrypt}) {
        for (const int rounds : ROUND_COUNTS) {
            const std::string suffix =
                std::string(direction_name(mode)) + "/" + std::to_string(rounds);
            benchmark::RegisterBenchmark(("reference/" + suffix).c_str(), reference_rounds, mode,
                                         rounds);
            for (const RoundsPath path : supported_rounds_paths()) {
                const std::string name =
                    std::string("fast_") + rounds_path_name(path) + "/" + suffix;
                benchmark::RegisterBenchmark(name.c_str(), fast_rounds, mode, rounds, path);
            }
            benchmark::RegisterBenchmark(("fast_single_block/" + suffix).c_str(), fast_single_block,
                                         mode, rounds);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    register_all();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
