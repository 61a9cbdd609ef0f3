#include "container/stream.h"

#include <algorithm>

#include "cipher/fast_rounds.h"
#include "cipher/mixer.h"
#include "cipher/rounds.h"
#include "container/format.h"
#include "internal/background_writer.h"

namespace quorvel {

namespace {

// Chunks in flight between the cipher and the background writer.
constexpr std::size_t CHUNK_COUNT = 4;
// A chunk has room for one block more than it reads: the last block of a stream.
constexpr std::size_t CHUNK_CAPACITY = CHUNK_SIZE + BLOCK_SIZE;

// Reads the input into the caller's chunks, and remembers when it has seen the end.
class ChunkReader {
public:
    explicit ChunkReader(ByteSource& source) : source_(source) {}

    // True once a read has found no more data.
    bool exhausted() const { return exhausted_; }

    // Bytes read so far.
    std::uint64_t total() const { return total_; }

    // Appends input to buffer[filled ..] until the buffer is full or the input ends. Returns
    // the new fill level, or nullopt on a read error.
    std::optional<std::size_t> fill(std::span<std::uint8_t> buffer, std::size_t filled) {
        while (filled < buffer.size() && !exhausted_) {
            const auto got = source_.read(buffer.subspan(filled));
            if (!got) return std::nullopt;
            if (*got == 0) exhausted_ = true;
            filled += *got;
            total_ += *got;
        }
        return filled;
    }

private:
    ByteSource& source_;
    bool exhausted_ = false;
    std::uint64_t total_ = 0;
};

// The output's chunks: written on a thread of their own for a file, at once for memory.
BackgroundWriter writer_for(ByteSink& output) {
    if (output.slow_writes()) return {output, CHUNK_COUNT, CHUNK_CAPACITY, WriteThread::own};
    return {output, 1, CHUNK_CAPACITY, WriteThread::caller};
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

// The input cut into the plaintext blocks of the format, a chunk at a time: whole blocks of
// input, and at its end the last block, which carries its count of real bytes in byte 255.
class PlaintextBlocks {
public:
    explicit PlaintextBlocks(ByteSource& input) : reader_(input) {}

    // True once the last block has been handed out.
    bool done() const { return done_; }

    // Puts the next blocks at the front of `chunk`, which reads a block less than it holds,
    // at least one block. Returns how many bytes they take, or nullopt on a read error.
    std::optional<std::size_t> next(std::span<std::uint8_t> chunk) {
        std::copy_n(partial_.begin(), partial_size_, chunk.begin());
        const auto filled = reader_.fill(chunk.first(chunk.size() - BLOCK_SIZE), partial_size_);
        if (!filled) return std::nullopt;
        std::size_t end = *filled / BLOCK_SIZE * BLOCK_SIZE;
        partial_size_ = *filled - end;
        const auto after_blocks = chunk.begin() + static_cast<std::ptrdiff_t>(end);
        if (!reader_.exhausted()) {
            std::copy_n(after_blocks, partial_size_, partial_.begin());
            return end;
        }
        // A count of 255 is the 0xFF already in byte 255.
        Block last;
        const std::size_t count = last_block_read(last, chunk.subspan(end, partial_size_));
        if (count < BLOCK_SIZE) last[BLOCK_SIZE - 1] = static_cast<std::uint8_t>(count);
        std::copy(last.begin(), last.end(), after_blocks);
        done_ = true;
        return end + BLOCK_SIZE;
    }

private:
    ChunkReader reader_;
    Block partial_;  // the bytes after the last whole block of a chunk
    std::size_t partial_size_ = 0;
    bool done_ = false;
};

// The check block of everything `input` holds, as encryption computes it, read through
// `chunk`; nullopt on a read error.
std::optional<Block> plaintext_check_block(ByteSource& input, std::span<std::uint8_t> chunk) {
    PlaintextBlocks blocks(input);
    Block sum{};
    while (!blocks.done()) {
        const auto end = blocks.next(chunk);
        if (!end) return std::nullopt;
        for (std::size_t offset = 0; offset < *end; offset += BLOCK_SIZE) {
            for (std::size_t i = 0; i < BLOCK_SIZE; ++i) sum[i] ^= chunk[offset + i];
        }
    }
    mix_block(sum, 1);
    return sum;
}

// How many of `available` whole blocks may be deciphered before the last one: the block that
// brings `remaining` to zero is the last, and is left to the caller.
std::size_t blocks_before_last(std::int64_t remaining, std::size_t available) {
    const auto block_size = static_cast<std::int64_t>(BLOCK_SIZE);
    if (remaining <= 0 || remaining % block_size != 0) return available;
    return std::min(available, static_cast<std::size_t>(remaining / block_size - 1));
}

}  // namespace

StreamResult encrypt_stream(ByteSource& input, ByteSink& output, const RoundKeyTable& keys,
                            int rounds) {
    return encrypt_stream(input, output, EncryptingRounds(keys, rounds));
}

StreamResult encrypt_stream(ByteSource& input, ByteSink& output, const EncryptingRounds& prepared) {
    BackgroundWriter writer = writer_for(output);
    const auto first_chunk = writer.acquire();

    // An output that cannot go back for the check block gets it first, from a pass of its own.
    std::optional<Block> check_first;
    if (!output.seekable()) {
        check_first = plaintext_check_block(input, first_chunk);
        if (!check_first || !input.rewind()) return StreamResult::read_error;
    }
    const auto header = first_chunk.first(HEADER_SIZE);
    std::copy(SIGNATURE.begin(), SIGNATURE.end(), header.begin());
    // Else the check block is known only at the end; zeros hold its place until then.
    if (check_first) {
        std::copy(check_first->begin(), check_first->end(), header.begin() + SIGNATURE_SIZE);
    } else {
        std::fill(header.begin() + SIGNATURE_SIZE, header.end(), 0);
    }
    writer.submit(header);

    ChainState chain;
    PlaintextBlocks blocks(input);
    while (!blocks.done()) {
        const auto chunk = writer.acquire();
        const auto end = blocks.next(chunk);
        if (!end) return StreamResult::read_error;
        encrypt_chained(chunk.first(*end), chain, prepared);
        writer.submit(chunk.first(*end));
        if (writer.failed()) return StreamResult::write_error;
    }
    if (!writer.finish()) return StreamResult::write_error;

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
    ChunkReader reader(input);
    BackgroundWriter writer = writer_for(output);

    // Cipher-block bytes not yet read; negative for a file shorter than its header. Without a
    // size the count starts from a length of 0, and the real length is added at the end.
    std::int64_t remaining =
        static_cast<std::int64_t>(input_size.value_or(0)) - static_cast<std::int64_t>(HEADER_SIZE);
    bool length_known = input_size.has_value();
    const auto learn_length_at_end = [&] {
        if (length_known || !reader.exhausted()) return;
        remaining += static_cast<std::int64_t>(reader.total());
        length_known = true;
    };
    auto chunk = writer.acquire();
    auto filled = reader.fill(chunk.first(CHUNK_SIZE), 0);
    if (!filled) return StreamResult::read_error;

    // The stored check block. An input that ends inside it ends there for the byte reader too:
    // it marks the end with 0xFF and reads no cipher block at all.
    Block stored{};
    std::size_t start = std::min(*filled, SIGNATURE_SIZE);
    const std::size_t stored_size = std::min(*filled - start, BLOCK_SIZE);
    std::copy_n(chunk.begin() + static_cast<std::ptrdiff_t>(start), stored_size, stored.begin());
    start += stored_size;
    bool done = stored_size < BLOCK_SIZE;
    if (done) stored[stored_size] = END_MARKER;

    ChainState chain;
    while (!done) {
        learn_length_at_end();
        const std::size_t whole = (*filled - start) / BLOCK_SIZE;
        std::size_t bulk = whole;
        if (length_known) {
            bulk = blocks_before_last(remaining, whole);
        } else if (whole > 0 && (*filled - start) % BLOCK_SIZE == 0) {
            // More input may or may not follow the final whole block, which is the last block
            // when none does: it waits for the next chunk, which tells.
            bulk = whole - 1;
        }
        std::size_t end = start + bulk * BLOCK_SIZE;
        decrypt_chained(chunk.subspan(start, end - start), chain, prepared);
        remaining -= static_cast<std::int64_t>(bulk * BLOCK_SIZE);
        if (length_known && bulk < whole) {
            // The last block is found by length: reading it in full does not end the input.
            const auto last = block_at(chunk, end);
            decrypt_chained(last, chain, prepared);
            remaining -= static_cast<std::int64_t>(BLOCK_SIZE);
            end += last[BLOCK_SIZE - 1];
            done = true;
        } else if (reader.exhausted()) {
            // The input ends inside a block or right after one: the byte reader reads what is
            // left as one more block and stops.
            Block last;
            const std::size_t count = last_block_read(last, chunk.subspan(end, *filled - end));
            remaining -= static_cast<std::int64_t>(count);
            decrypt_chained(last, chain, prepared);
            const std::size_t kept = remaining == 0 ? last[BLOCK_SIZE - 1] : count;
            std::copy_n(last.begin(), kept, chunk.begin() + static_cast<std::ptrdiff_t>(end));
            end += kept;
            done = true;
        }
        writer.submit(chunk.subspan(start, end - start));
        if (done) break;
        if (writer.failed()) return StreamResult::write_error;

        // The input goes on: carry the bytes after the deciphered blocks into the next chunk.
        Block partial;
        const std::size_t partial_size = *filled - end;
        std::copy_n(chunk.begin() + static_cast<std::ptrdiff_t>(end), partial_size,
                    partial.begin());
        chunk = writer.acquire();
        std::copy_n(partial.begin(), partial_size, chunk.begin());
        filled = reader.fill(chunk.first(CHUNK_SIZE), partial_size);
        if (!filled) return StreamResult::read_error;
        start = 0;
    }
    if (!writer.finish()) return StreamResult::write_error;

    mix_block(chain.plain_sum, 1);
    return blocks_equal(chain.plain_sum, stored) ? StreamResult::ok : StreamResult::check_failed;
}

std::optional<FileFault> open_file_pair(FilePair& pair, const std::filesystem::path& input_path,
                                        const std::filesystem::path& output_path,
                                        OutputPolicy policy) {
    auto input = InputFile::open(input_path);
    if (!input) return FileFault{FileFault::Kind::not_found, input_path};
    return open_file_pair(pair, ProbedInput(std::move(*input)), input_path, output_path, policy);
}

std::optional<FileFault> open_file_pair(FilePair& pair, ProbedInput input,
                                        const std::filesystem::path& input_path,
                                        const std::filesystem::path& output_path,
                                        OutputPolicy policy) {
    pair.input_path = input_path;
    pair.output_path = output_path;
    pair.input = std::move(input);
    pair.output = OutputFile::create(output_path, policy);
    if (!pair.output) return FileFault{FileFault::Kind::cannot_create, output_path};
    return std::nullopt;
}

std::optional<FileFault> close_file_pair(FilePair& pair) {
    pair.input.reset();
    const bool closed = pair.output && pair.output->close();
    pair.output.reset();
    if (!closed) return FileFault{FileFault::Kind::cannot_write, pair.output_path};
    return std::nullopt;
}

StreamResult run_cipher(FilePair& pair, CipherMode mode, const RoundKeyTable& keys,
                        std::uint64_t password_length, ByteSource* source) {
    ByteSource& input = source != nullptr ? *source : *pair.input;
    const int rounds = select_round_count(password_length);
    if (mode == CipherMode::encrypt) return encrypt_stream(input, *pair.output, keys, rounds);
    return decrypt_stream(input, pair.input->size(), *pair.output, keys, rounds);
}

std::optional<FileFault> stream_fault(const FilePair& pair, StreamResult result) {
    if (result == StreamResult::read_error) {
        return FileFault{FileFault::Kind::cannot_read, pair.input_path};
    }
    if (result == StreamResult::write_error) {
        return FileFault{FileFault::Kind::cannot_write, pair.output_path};
    }
    return std::nullopt;
}

}  // namespace quorvel
