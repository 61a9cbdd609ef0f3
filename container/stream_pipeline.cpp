#include "internal/stream_pipeline.h"

#include <cassert>
#include <system_error>
#include <utility>

#include "internal/chunk_buffers.h"

namespace quorvel {

std::thread start_std_thread(std::function<void()> body) {
    return std::thread(std::move(body));
}

StreamPipeline::StreamPipeline(ByteSource& input, ByteSink& output, std::size_t chunk_size,
                               std::size_t spare, std::size_t chunk_count, ThreadStarter start)
    : input_(input),
      output_(output),
      chunk_size_(chunk_size),
      buffer_size_(chunk_size + spare),
      start_(start),
      slots_(chunk_count) {
    // The reader fills one chunk while it looks into the next; a third lets the writer work.
    assert(chunk_count >= 3);
    for (Slot& slot : slots_) slot.buffer = take_chunk_buffer(buffer_size_);
}

StreamPipeline::~StreamPipeline() {
    {
        const std::lock_guard lock(mutex_);
        stop_reading_ = true;
        drop_unwritten_ = true;
    }
    chunk_written_.notify_all();
    chunk_submitted_.notify_all();
    if (writer_.joinable()) writer_.join();
    if (reader_.joinable()) reader_.join();
    for (Slot& slot : slots_) give_back_chunk_buffer(std::move(slot.buffer), buffer_size_);
}

void StreamPipeline::start_threads() {
    try {
        writer_ = start_([this] { run_writer(); });
        reader_ = start_([this] {
            while (read_next_chunk()) {
            }
        });
    } catch (const std::system_error&) {
        // No thread to be had: the stage runs on the caller's thread instead.
    }
}

std::optional<InputChunk> StreamPipeline::next() {
    if (!reader_.joinable()) read_next_chunk();
    std::unique_lock lock(mutex_);
    chunk_read_.wait(lock, [this] { return read_ > taken_ || read_failed_; });
    if (read_ == taken_) return std::nullopt;
    Slot& slot = slot_at(taken_++);
    const InputChunk chunk{{slot.buffer.get(), buffer_size_}, slot.size, slot.last};
    lock.unlock();
    // Only a stream longer than one chunk has stages to overlap.
    if (taken_ == 1 && !chunk.last) start_threads();
    return chunk;
}

void StreamPipeline::submit(std::span<const std::uint8_t> bytes) {
    Slot& slot = slot_at(submitted_);
    slot.pending = bytes;
    if (!writer_.joinable()) write_out(slot);
    {
        const std::lock_guard lock(mutex_);
        ++submitted_;
        if (!writer_.joinable()) ++written_;
    }
    chunk_submitted_.notify_one();
    chunk_written_.notify_one();
}

bool StreamPipeline::finish() {
    {
        const std::lock_guard lock(mutex_);
        stop_reading_ = true;
        no_more_chunks_ = true;
    }
    chunk_written_.notify_all();
    chunk_submitted_.notify_all();
    if (writer_.joinable()) writer_.join();
    if (reader_.joinable()) reader_.join();
    return !write_failed();
}

// Reads chunk read_, and then looks past it: a read that finds nothing there makes it the
// last chunk, so that the caller knows which block ends the input as soon as it has it.
// Returns false when there is nothing more to read. Runs on the reading thread, or in next()
// while there is none.
bool StreamPipeline::read_next_chunk() {
    {
        std::unique_lock lock(mutex_);
        // The chunk's slot and the one after it, which the look past its end reads into.
        chunk_written_.wait(
            lock, [this] { return read_ + 1 < written_ + slots_.size() || stop_reading_; });
        if (stop_reading_) return false;
    }
    Slot& slot = slot_at(read_);
    slot.size = std::exchange(read_ahead_, 0);
    slot.last = false;
    bool failed = read_ahead_failed_;
    while (!failed && !slot.last && slot.size < chunk_size_) {
        if (stop_reading_) return false;
        const auto got = input_.read(std::span(slot.buffer.get(), chunk_size_).subspan(slot.size));
        if (!got) {
            failed = true;
        } else {
            slot.size += *got;
            slot.last = *got == 0;
        }
    }
    if (!failed && !slot.last) {
        const auto got = input_.read(std::span(slot_at(read_ + 1).buffer.get(), chunk_size_));
        read_ahead_failed_ = !got;
        read_ahead_ = got.value_or(0);
        slot.last = got == std::size_t{0};
    }
    {
        const std::lock_guard lock(mutex_);
        if (failed) {
            read_failed_ = true;
        } else {
            ++read_;
        }
    }
    chunk_read_.notify_one();
    return !failed && !slot.last;
}

void StreamPipeline::write_out(Slot& slot) {
    if (!write_failed() && !slot.pending.empty() && !output_.write(slot.pending)) {
        write_failed_ = true;
    }
    slot.pending = {};
}

void StreamPipeline::run_writer() {
    while (true) {
        Slot* slot = nullptr;
        {
            std::unique_lock lock(mutex_);
            chunk_submitted_.wait(lock, [this] {
                return submitted_ > written_ || no_more_chunks_ || drop_unwritten_;
            });
            if (drop_unwritten_ || submitted_ == written_) return;
            slot = &slot_at(written_);
        }
        write_out(*slot);
        {
            const std::lock_guard lock(mutex_);
            ++written_;
        }
        chunk_written_.notify_one();
    }
}

}  // namespace quorvel
