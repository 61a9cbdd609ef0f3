#include "internal/background_writer.h"

#include <system_error>

namespace quorvel {

namespace {

// Buffers of the writers that are gone, kept for the next writer on the same thread: tests
// and fuzz targets run thousands of short streams, where fresh buffers each time (mapped,
// faulted in and unmapped again) cost more than the stream itself.
struct SpareBuffers {
    static constexpr std::size_t KEPT = 8;
    std::size_t size = 0;
    std::vector<std::unique_ptr<std::uint8_t[]>> buffers;
};
thread_local SpareBuffers spare;

std::unique_ptr<std::uint8_t[]> take_buffer(std::size_t size) {
    if (spare.size == size && !spare.buffers.empty()) {
        auto buffer = std::move(spare.buffers.back());
        spare.buffers.pop_back();
        return buffer;
    }
    return std::make_unique_for_overwrite<std::uint8_t[]>(size);
}

void give_back(std::unique_ptr<std::uint8_t[]> buffer, std::size_t size) {
    if (spare.size != size) {
        spare.buffers.clear();
        spare.size = size;
    }
    if (spare.buffers.size() < SpareBuffers::KEPT) spare.buffers.push_back(std::move(buffer));
}

}  // namespace

std::thread start_std_thread(std::function<void()> body) {
    return std::thread(std::move(body));
}

BackgroundWriter::BackgroundWriter(ByteSink& sink, std::size_t chunk_count, std::size_t chunk_size,
                                   WriteThread where, ThreadStarter start)
    : sink_(sink), chunks_(chunk_count), chunk_size_(chunk_size) {
    for (std::size_t i = 0; i < chunks_.size(); ++i) {
        chunks_[i].buffer = take_buffer(chunk_size);
        free_.push_back(i);
    }
    if (where == WriteThread::caller) return;
    try {
        thread_ = start([this] { run(); });
    } catch (const std::system_error&) {
        // No thread to be had: submit() writes on the caller's thread instead.
    }
}

BackgroundWriter::~BackgroundWriter() {
    if (thread_.joinable()) {
        {
            const std::lock_guard lock(mutex_);
            queued_.clear();
            stopping_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    for (auto& chunk : chunks_) give_back(std::move(chunk.buffer), chunk_size_);
}

std::span<std::uint8_t> BackgroundWriter::acquire() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !free_.empty(); });
    acquired_ = free_.back();
    free_.pop_back();
    return {chunks_[acquired_].buffer.get(), chunk_size_};
}

void BackgroundWriter::submit(std::span<const std::uint8_t> bytes) {
    Chunk& chunk = chunks_[acquired_];
    chunk.pending = bytes;
    if (!thread_.joinable()) {
        write_chunk(chunk);
        free_.push_back(acquired_);
        return;
    }
    {
        const std::lock_guard lock(mutex_);
        queued_.push_back(acquired_);
    }
    changed_.notify_all();
}

bool BackgroundWriter::finish() {
    if (thread_.joinable()) {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    return !failed();
}

// Runs on the writing thread while there is one.
void BackgroundWriter::write_chunk(Chunk& chunk) {
    if (!failed() && !chunk.pending.empty() && !sink_.write(chunk.pending)) failed_ = true;
    chunk.pending = {};
}

void BackgroundWriter::run() {
    std::unique_lock lock(mutex_);
    while (true) {
        changed_.wait(lock, [this] { return !queued_.empty() || stopping_; });
        if (queued_.empty()) return;
        const std::size_t index = queued_.front();
        queued_.pop_front();
        lock.unlock();
        write_chunk(chunks_[index]);
        lock.lock();
        free_.push_back(index);
        changed_.notify_all();
    }
}

}  // namespace quorvel
