#include "container/stream.h"

#include <algorithm>
#include <array>
#include <cerrno>

#include "cipher/fast_rounds.h"
#include "cipher/mixer.h"
#include "cipher/rounds.h"
#include "container/format.h"
#include "internal/prepared_streams.h"
#include "internal/stream_pipeline.h"

namespace quorvel {

namespace {

// Chunks in the ring between the reading, the rounds and the writing (see CHUNK_SIZE).
constexpr std::size_t CHUNK_COUNT = 8;

// A chunk has room for one block more than it reads: the last block of a stream.
StreamPipeline pipeline_for(ByteSource& input, ByteSink& output) {
    return {input, output, CHUNK_SIZE, BLOCK_SIZE, CHUNK_COUNT};
}

// The file format was defined by a reader that takes one byte at a time into a block filled
// with '0' and, at the end of the input, stores 0xFF and stops. For the `tail` (fewer than
// 256 bytes) before the end, this builds the block that reader leaves and returns the count it
// reports: the number of real bytes, or 256 when there are 255 (the 0xFF then fills byte 255).
std::size_t last_block_read(Block& block, std::span<const std::uint8_t> tail) {
    fill_block(block, FILL_BYTE);
    std::copy(tail.begin(), tail.end(), block.begin());
    block[tail.size()] = END_MARKER;
    return tail.size() == BLOCK_SIZE - 1 ? BLOCK_SIZE : tail.size();
}

std::span<std::uint8_t> block_at(std::span<std::uint8_t> bytes, std::size_t offset) {
    return bytes.subspan(offset, BLOCK_SIZE);
}

// The plaintext blocks of the format in `chunk`: its whole blocks and, in the last chunk, the
// last block, which carries its count of real bytes in byte 255 and is built in place after
// them. Returns how many bytes the blocks take.
std::size_t plaintext_blocks(const InputChunk& chunk) {
    const std::size_t whole = chunk.size / BLOCK_SIZE * BLOCK_SIZE;
    if (!chunk.last) return whole;
    // A count of 255 is the 0xFF already in byte 255.
    Block last;
    const std::size_t count =
        last_block_read(last, chunk.buffer.subspan(whole, chunk.size - whole));
    if (count < BLOCK_SIZE) last[BLOCK_SIZE - 1] = static_cast<std::uint8_t>(count);
    std::copy(last.begin(), last.end(), block_at(chunk.buffer, whole).begin());
    return whole + BLOCK_SIZE;
}

// The check block of everything `input` holds, as encryption computes it; nullopt on a read
// error. Nothing is written to `output`, whose pipeline only carries the chunks.
std::optional<Block> plaintext_check_block(ByteSource& input, ByteSink& output) {
    StreamPipeline pipeline = pipeline_for(input, output);
    Block sum{};
    for (bool last = false; !last;) {
        const auto chunk = pipeline.next();
        if (!chunk) return std::nullopt;
        const std::size_t end = plaintext_blocks(*chunk);
        for (std::size_t offset = 0; offset < end; offset += BLOCK_SIZE) {
            for (std::size_t i = 0; i < BLOCK_SIZE; ++i) sum[i] ^= chunk->buffer[offset + i];
        }
        pipeline.submit({});
        last = chunk->last;
    }
    mix_block(sum, 1);
    return sum;
}

// Reads until `buffer` is full or the input ends. Returns how many bytes it holds, or nullopt
// on a read error.
std::optional<std::size_t> read_fully(ByteSource& input, std::span<std::uint8_t> buffer) {
    std::size_t filled = 0;
    while (filled < buffer.size()) {
        const auto got = input.read(buffer.subspan(filled));
        if (!got) return std::nullopt;
        if (*got == 0) break;
        filled += *got;
    }
    return filled;
}

// How many of `available` whole blocks may be deciphered before the last one: the block that
// brings `remaining` to zero is the last, and is left to the caller.
std::size_t blocks_before_last(std::int64_t remaining, std::size_t available) {
    const auto block_size = static_cast<std::int64_t>(BLOCK_SIZE);
    if (remaining <= 0 || remaining % block_size != 0) return available;
    return std::min(available, static_cast<std::size_t>(remaining / block_size - 1));
}

// Deciphers the blocks of `chunk` in place. `remaining` counts the cipher-block bytes not yet
// read, when the length is known; it is always known by the last chunk. Returns how many
// plaintext bytes the chunk gives, and sets `done` when it held the last block.
std::size_t decipher_chunk(const InputChunk& chunk, std::optional<std::int64_t>& remaining,
                           ChainState& chain, const DecryptingRounds& prepared, bool& done) {
    const std::size_t whole = chunk.size / BLOCK_SIZE;
    const std::size_t bulk = remaining ? blocks_before_last(*remaining, whole) : whole;
    std::size_t end = bulk * BLOCK_SIZE;
    decrypt_chained(chunk.buffer.first(end), chain, prepared);
    if (remaining) *remaining -= static_cast<std::int64_t>(end);
    if (bulk < whole) {
        // The last block is found by length: reading it in full does not end the input.
        const auto last = block_at(chunk.buffer, end);
        decrypt_chained(last, chain, prepared);
        *remaining -= static_cast<std::int64_t>(BLOCK_SIZE);
        done = true;
        return end + last[BLOCK_SIZE - 1];
    }
    if (chunk.last) {
        // The input ends inside a block or right after one: the byte reader reads what is
        // left as one more block and stops.
        Block last;
        const std::size_t count =
            last_block_read(last, chunk.buffer.subspan(end, chunk.size - end));
        *remaining -= static_cast<std::int64_t>(count);
        decrypt_chained(last, chain, prepared);
        const std::size_t kept = *remaining == 0 ? last[BLOCK_SIZE - 1] : count;
        std::copy_n(last.begin(), kept, chunk.buffer.begin() + static_cast<std::ptrdiff_t>(end));
        done = true;
        return end + kept;
    }
    return end;
}

}  // namespace

StreamResult encrypt_stream(ByteSource& input, ByteSink& output, const RoundKeyTable& keys,
                            int rounds) {
    return encrypt_stream(input, output, EncryptingRounds(keys, rounds));
}

StreamResult encrypt_stream(ByteSource& input, ByteSink& output, const EncryptingRounds& prepared) {
    // An output that cannot go back for the check block gets it first, from a pass of its own.
    std::optional<Block> check_first;
    if (!output.seekable()) {
        check_first = plaintext_check_block(input, output);
        if (!check_first || !input.rewind()) return StreamResult::read_error;
    }
    std::array<std::uint8_t, HEADER_SIZE> header{};
    std::copy(SIGNATURE.begin(), SIGNATURE.end(), header.begin());
    // Else the check block is known only at the end; zeros hold its place until then.
    if (check_first)
        std::copy(check_first->begin(), check_first->end(), header.begin() + SIGNATURE_SIZE);
    if (!output.write(header)) return StreamResult::write_error;

    ChainState chain;
    StreamPipeline pipeline = pipeline_for(input, output);
    for (bool last = false; !last;) {
        const auto chunk = pipeline.next();
        if (!chunk) return StreamResult::read_error;
        const auto blocks = chunk->buffer.first(plaintext_blocks(*chunk));
        encrypt_chained(blocks, chain, prepared);
        pipeline.submit(blocks);
        if (pipeline.write_failed()) return StreamResult::write_error;
        last = chunk->last;
    }
    if (!pipeline.finish()) return StreamResult::write_error;

    mix_block(chain.plain_sum, 1);
    if (check_first) {
        // The input changed between the passes: the check block sent does not fit the blocks.
        if (!blocks_equal(*check_first, chain.plain_sum)) return StreamResult::read_error;
    } else if (!output.write_at(SIGNATURE_SIZE, chain.plain_sum)) {
        return StreamResult::write_error;
    }
    return StreamResult::ok;
}

StreamResult decrypt_stream(ByteSource& input, std::optional<std::uint64_t> input_size,
                            ByteSink& output, const RoundKeyTable& keys, int rounds) {
    return decrypt_stream(input, input_size, output, DecryptingRounds(keys, rounds));
}

StreamResult decrypt_stream(ByteSource& input, std::optional<std::uint64_t> input_size,
                            ByteSink& output, const DecryptingRounds& prepared) {
    // The header first, so that the chunks after it hold whole blocks.
    std::array<std::uint8_t, HEADER_SIZE> header;
    const auto header_size = read_fully(input, header);
    if (!header_size) return StreamResult::read_error;

    // The stored check block. An input that ends inside it ends there for the byte reader too:
    // it marks the end with 0xFF and reads no cipher block at all.
    Block stored{};
    const std::size_t stored_size = *header_size - std::min(*header_size, SIGNATURE_SIZE);
    std::copy_n(header.begin() + SIGNATURE_SIZE, stored_size, stored.begin());
    ChainState chain;
    if (stored_size < BLOCK_SIZE) {
        stored[stored_size] = END_MARKER;
    } else {
        // Cipher-block bytes not yet read; negative for a file shorter than its header.
        // Without a size (a pipe) it is known at the end: what the last chunk holds.
        std::optional<std::int64_t> remaining;
        if (input_size) {
            remaining =
                static_cast<std::int64_t>(*input_size) - static_cast<std::int64_t>(HEADER_SIZE);
        }
        StreamPipeline pipeline = pipeline_for(input, output);
        for (bool done = false; !done;) {
            const auto chunk = pipeline.next();
            if (!chunk) return StreamResult::read_error;
            if (!remaining && chunk->last) remaining = static_cast<std::int64_t>(chunk->size);
            const std::size_t end = decipher_chunk(*chunk, remaining, chain, prepared, done);
            pipeline.submit(chunk->buffer.first(end));
            if (!done && pipeline.write_failed()) return StreamResult::write_error;
        }
        if (!pipeline.finish()) return StreamResult::write_error;
    }
    mix_block(chain.plain_sum, 1);
    return blocks_equal(chain.plain_sum, stored) ? StreamResult::ok : StreamResult::check_failed;
}

std::variant<FilePair, FileFault> open_file_pair(const std::filesystem::path& input_path,
                                                 const std::filesystem::path& output_path,
                                                 OutputPolicy policy) {
    auto input = InputFile::open(input_path);
    if (!input) return FileFault{FileFault::Kind::not_found, input_path, errno};
    const auto target = OutputFile::find_target(output_path, policy);
    auto output = target ? OutputFile::open(*target) : std::nullopt;
    if (!output) return FileFault{FileFault::Kind::cannot_create, output_path, target ? errno : 0};
    return FilePair(ProbedInput(std::move(*input)), input_path, std::move(*output), output_path);
}

std::optional<FileFault> close_file_pair(FilePair pair) {
    if (!pair.output().close()) {
        return FileFault{FileFault::Kind::cannot_write, pair.output_path(), pair.output().error()};
    }
    return std::nullopt;
}

StreamResult run_cipher(FilePair& pair, CipherMode mode, const RoundKeyTable& keys,
                        std::uint64_t password_length) {
    return run_cipher(pair, pair.input(), mode, keys, password_length);
}

StreamResult run_cipher(FilePair& pair, ByteSource& reader, CipherMode mode,
                        const RoundKeyTable& keys, std::uint64_t password_length) {
    const int rounds = select_round_count(password_length);
    if (mode == CipherMode::encrypt) return encrypt_stream(reader, pair.output(), keys, rounds);
    return decrypt_stream(reader, pair.input().size(), pair.output(), keys, rounds);
}

std::optional<FileFault> stream_fault(const FilePair& pair, StreamResult result) {
    if (result == StreamResult::read_error) {
        return FileFault{FileFault::Kind::cannot_read, pair.input_path(), pair.input().error()};
    }
    if (result == StreamResult::write_error) {
        return FileFault{FileFault::Kind::cannot_write, pair.output_path(), pair.output().error()};
    }
    return std::nullopt;
}

}  // namespace quorvel
