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
    // The reading fills one chunk while it looks into the next; a third lets the writing work.
    assert(chunk_count >= 3);
    for (Slot& slot : slots_) slot.buffer = take_chunk_buffer(buffer_size_);
}

StreamPipeline::~StreamPipeline() {
    {
        const std::lock_guard lock(mutex_);
        stop_reading_ = true;
        drop_unwritten_ = true;
    }
    changed_.notify_all();
    if (helper_.joinable()) helper_.join();
    for (Slot& slot : slots_) give_back_chunk_buffer(std::move(slot.buffer), buffer_size_);
}

void StreamPipeline::start_helper() {
    try {
        helper_ = start_([this] { run_helper(); });
    } catch (const std::system_error&) {
        // No thread to be had: the caller runs every stage instead.
    }
}

std::optional<InputChunk> StreamPipeline::next() {
    std::unique_lock lock(mutex_);
    // Rather than wait for the chunk, read it; rather than wait for the helper reading it,
    // write out a chunk that is due.
    while (read_ == taken_ && !read_failed_) {
        if (may_read()) {
            read_next_chunk(lock);
        } else if (may_write()) {
            write_next_chunk(lock);
        } else {
            changed_.wait(lock);
        }
    }
    if (read_ == taken_) return std::nullopt;
    Slot& slot = slot_at(taken_++);
    const InputChunk chunk{{slot.buffer.get(), buffer_size_}, slot.size, slot.last};
    lock.unlock();
    // Only a stream longer than one chunk has stages to overlap.
    if (taken_ == 1 && !chunk.last) start_helper();
    return chunk;
}

void StreamPipeline::submit(std::span<const std::uint8_t> bytes) {
    slot_at(submitted_).pending = bytes;
    {
        std::unique_lock lock(mutex_);
        ++submitted_;
        // Alone, the caller writes at once, so that a failed write shows in write_failed().
        if (!helper_.joinable() && may_write()) write_next_chunk(lock);
    }
    changed_.notify_all();
}

bool StreamPipeline::finish() {
    {
        std::unique_lock lock(mutex_);
        stop_reading_ = true;
        no_more_chunks_ = true;
        changed_.notify_all();
        while (written_ < submitted_) {
            if (may_write()) {
                write_next_chunk(lock);
            } else {
                changed_.wait(lock);
            }
        }
    }
    changed_.notify_all();
    if (helper_.joinable()) helper_.join();
    return !write_failed();
}

bool StreamPipeline::may_read() const {
    // The chunk's slot and the one after it, which the look past its end reads into, must
    // both be written out.
    return !reading_ && !input_ended_ && !stop_reading_ && read_ + 1 < written_ + slots_.size();
}

bool StreamPipeline::may_write() const {
    return !writing_ && written_ < submitted_ && !drop_unwritten_;
}

void StreamPipeline::read_next_chunk(std::unique_lock<std::mutex>& lock) {
    reading_ = true;
    Slot& slot = slot_at(read_);
    Slot& after = slot_at(read_ + 1);
    lock.unlock();
    const bool read = read_into(slot, after);
    lock.lock();
    reading_ = false;
    if (read) {
        ++read_;
        input_ended_ = slot.last;
    } else if (!stop_reading_) {
        read_failed_ = true;
        input_ended_ = true;
    }
    changed_.notify_all();
}

// Reads a chunk into `slot`, and then looks past it into `after`: a read that finds nothing
// there makes it the last chunk, so that the caller knows which block ends the input as soon
// as it has it. False on a read error, or when stopped before the chunk was complete.
bool StreamPipeline::read_into(Slot& slot, Slot& after) {
    slot.size = std::exchange(read_ahead_, 0);
    slot.last = false;
    if (read_ahead_failed_) return false;
    while (!slot.last && slot.size < chunk_size_) {
        if (stop_reading_) return false;
        const auto got = input_.read(std::span(slot.buffer.get(), chunk_size_).subspan(slot.size));
        if (!got) return false;
        slot.size += *got;
        slot.last = *got == 0;
    }
    if (!slot.last) {
        const auto got = input_.read(std::span(after.buffer.get(), chunk_size_));
        read_ahead_failed_ = !got;
        read_ahead_ = got.value_or(0);
        slot.last = got == std::size_t{0};
    }
    return true;
}

void StreamPipeline::write_next_chunk(std::unique_lock<std::mutex>& lock) {
    writing_ = true;
    Slot& slot = slot_at(written_);
    lock.unlock();
    if (!write_failed() && !slot.pending.empty() && !output_.write(slot.pending)) {
        write_failed_ = true;
    }
    slot.pending = {};
    lock.lock();
    writing_ = false;
    ++written_;
    changed_.notify_all();
}

// The helper: writes what is due first, so that buffers come back to the reading soon, and
// reads ahead when nothing is.
void StreamPipeline::run_helper() {
    std::unique_lock lock(mutex_);
    while (!drop_unwritten_) {
        if (may_write()) {
            write_next_chunk(lock);
        } else if (may_read()) {
            read_next_chunk(lock);
        } else if (no_more_chunks_ && written_ == submitted_) {
            return;
        } else {
            changed_.wait(lock);
        }
    }
}

}  // namespace quorvel
