#include "container/stream.h"

#include <algorithm>
#include <vector>

#include "cipher/mixer.h"
#include "cipher/rounds.h"
#include "console/console.h"
#include "container/format.h"

namespace quorvel {

namespace {

// Files are moved in chunks of this size; a multiple of the block size.
constexpr std::size_t CHUNK_SIZE = std::size_t{1} << 20;

// Hands out the input one block at a time, with the semantics the file format was defined
// by: a byte-at-a-time reader whose end-of-input flag is set only by a read that finds no
// data. So reading the last full block leaves the flag clear, and a short block gets 0xFF
// right after its real bytes.
class BlockReader {
public:
    explicit BlockReader(ByteSource& source) : source_(source), buffer_(CHUNK_SIZE) {}

    // True once a read has found no more data.
    bool at_end() const { return at_end_; }

    // Reads up to 256 bytes into `block`, leaving the bytes after them as they were, except
    // for 0xFF right after the last real byte when the input ends inside the block. Returns
    // the number of real bytes, or 256 when exactly 255 were left (the 0xFF lands in byte
    // 255); nullopt on a read error.
    std::optional<int> read_block(Block& block) {
        if (!at_end_ && available() >= BLOCK_SIZE) {
            std::copy_n(buffer_.begin() + static_cast<std::ptrdiff_t>(position_), BLOCK_SIZE,
                        block.begin());
            position_ += BLOCK_SIZE;
            return static_cast<int>(BLOCK_SIZE);
        }
        for (std::size_t i = 0; i < BLOCK_SIZE; ++i) {
            if (at_end_) return static_cast<int>(i) - 1;
            const auto byte = next_byte();
            if (!byte) return std::nullopt;
            block[i] = *byte < 0 ? END_MARKER : static_cast<std::uint8_t>(*byte);
        }
        return static_cast<int>(BLOCK_SIZE);
    }

    // Passes over up to `count` bytes without touching the end flag, as a seek would.
    bool skip(std::size_t count) {
        while (count > 0) {
            if (available() == 0) {
                const auto got = source_.read(buffer_);
                if (!got) return false;
                if (*got == 0) return true;
                position_ = 0;
                filled_ = *got;
            }
            const std::size_t step = std::min(count, available());
            position_ += step;
            count -= step;
        }
        return true;
    }

private:
    std::size_t available() const { return filled_ - position_; }

    // The next byte, -1 at the end of the input (which sets the flag), nullopt on error.
    std::optional<int> next_byte() {
        if (available() == 0) {
            const auto got = source_.read(buffer_);
            if (!got) return std::nullopt;
            position_ = 0;
            filled_ = *got;
            if (filled_ == 0) {
                at_end_ = true;
                return -1;
            }
        }
        return buffer_[position_++];
    }

    ByteSource& source_;
    std::vector<std::uint8_t> buffer_;
    std::size_t position_ = 0;
    std::size_t filled_ = 0;
    bool at_end_ = false;
};

// Collects output into large chunks before handing it to the sink.
class ChunkWriter {
public:
    explicit ChunkWriter(ByteSink& sink) : sink_(sink) { buffer_.reserve(CHUNK_SIZE); }

    bool put(std::span<const std::uint8_t> bytes) {
        if (buffer_.size() + bytes.size() > CHUNK_SIZE && !flush()) return false;
        buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
        return true;
    }

    bool flush() {
        const bool written = buffer_.empty() || sink_.write(buffer_);
        buffer_.clear();
        return written;
    }

private:
    ByteSink& sink_;
    std::vector<std::uint8_t> buffer_;
};

std::span<const std::uint8_t> first_bytes(const Block& block, std::size_t count) {
    return std::span(block).first(std::min(count, BLOCK_SIZE));
}

}  // namespace

StreamResult encrypt_stream(ByteSource& input, ByteSink& output, const RoundKeyTable& keys,
                            int rounds) {
    print_text("Crypt process start!\n");
    BlockReader reader(input);
    ChunkWriter writer(output);

    // The check block is known only at the end; zeros hold its place until then.
    Block check{};
    const auto signature = std::span(reinterpret_cast<const std::uint8_t*>(SIGNATURE.data()),
                                     SIGNATURE_SIZE);
    if (!writer.put(signature) || !writer.put(check)) return StreamResult::write_error;

    Block previous{};
    while (!reader.at_end()) {
        Block block;
        fill_block(block, FILL_BYTE);
        const auto count = reader.read_block(block);
        if (!count) return StreamResult::read_error;
        if (*count < static_cast<int>(BLOCK_SIZE)) block[BLOCK_SIZE - 1] = static_cast<std::uint8_t>(*count);
        xor_block(check, block);
        xor_block(block, previous);
        encrypt_rounds(block, keys, rounds);
        if (!writer.put(block)) return StreamResult::write_error;
        previous = block;
    }
    if (!writer.flush()) return StreamResult::write_error;

    mix_block(check, 1);
    if (!output.write_at(SIGNATURE_SIZE, check)) return StreamResult::write_error;
    print_text("Cript complite\n");
    return StreamResult::ok;
}

StreamResult decrypt_stream(ByteSource& input, std::uint64_t input_size, ByteSink& output,
                            const RoundKeyTable& keys, int rounds) {
    print_text("Decrypt process start!\n");
    BlockReader reader(input);
    ChunkWriter writer(output);

    // Cipher-block bytes not yet read; negative for a file shorter than its header.
    std::int64_t remaining = static_cast<std::int64_t>(input_size) -
                             static_cast<std::int64_t>(HEADER_SIZE);
    Block stored{};
    if (!reader.skip(SIGNATURE_SIZE) || !reader.read_block(stored)) {
        return StreamResult::read_error;
    }

    Block check{};
    Block previous{};
    while (!reader.at_end()) {
        Block block;
        fill_block(block, FILL_BYTE);
        const auto count = reader.read_block(block);
        if (!count) return StreamResult::read_error;
        remaining -= *count;
        const Block ciphertext = block;
        decrypt_rounds(block, keys, rounds);
        xor_block(block, previous);
        xor_block(check, block);
        // The last block is found by length: reading it in full does not end the input yet.
        if (remaining == 0) {
            if (!writer.put(first_bytes(block, block[BLOCK_SIZE - 1]))) {
                return StreamResult::write_error;
            }
            break;
        }
        if (!writer.put(first_bytes(block, static_cast<std::size_t>(*count)))) {
            return StreamResult::write_error;
        }
        previous = ciphertext;
    }
    if (!writer.flush()) return StreamResult::write_error;

    mix_block(check, 1);
    if (!blocks_equal(check, stored)) {
        print_text("Decrypt WRONG!\n");
        return StreamResult::check_failed;
    }
    print_text("Decrypt OK!\n");
    return StreamResult::ok;
}

bool open_file_pair(FilePair& pair, const std::filesystem::path& input_path,
                    const std::filesystem::path& output_path, OutputPolicy policy) {
    pair.input_name = display_name(input_path);
    pair.output_name = display_name(output_path);
    pair.input = InputFile::open(input_path);
    if (!pair.input) {
        print_named("Error! File '", pair.input_name, "' not found.");
        return false;
    }
    pair.output = OutputFile::create(output_path, policy);
    if (!pair.output) {
        print_named("Error! Can't create file '", pair.output_name, "'.");
        return false;
    }
    return true;
}

bool close_file_pair(FilePair& pair) {
    pair.input.reset();
    const bool closed = pair.output && pair.output->close();
    pair.output.reset();
    if (!closed) print_named("Error! Can't write file '", pair.output_name, "'.");
    return closed;
}

StreamResult run_cipher(FilePair& pair, CipherMode mode, const RoundKeyTable& keys,
                        std::uint64_t password_length, ByteSource* source) {
    ByteSource& input = source != nullptr ? *source : *pair.input;
    const int rounds = select_round_count(password_length);
    StreamResult result = StreamResult::read_error;
    if (mode == CipherMode::encrypt) {
        result = encrypt_stream(input, *pair.output, keys, rounds);
    } else if (const auto size = pair.input->size()) {
        result = decrypt_stream(input, *size, *pair.output, keys, rounds);
    }
    if (result == StreamResult::read_error) {
        print_named("Error! Can't read file '", pair.input_name, "'.");
    } else if (result == StreamResult::write_error) {
        print_named("Error! Can't write file '", pair.output_name, "'.");
    }
    return result;
}

}  // namespace quorvel
