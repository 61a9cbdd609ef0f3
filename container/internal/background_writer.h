// Output written on a thread of its own, so that writing one chunk overlaps with reading and
// ciphering the next. The chunks are a fixed set of buffers that cycle between the caller and
// the writing thread, so memory use does not grow with the file. For an output in memory the
// same writer works without a thread: submit() writes at once. A writer's buffers are kept for
// the next one on the same thread, so that many short streams do not allocate each time.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "container/byte_stream.h"

namespace quorvel {

// Where a BackgroundWriter writes its chunks.
enum class WriteThread {
    own,     // on a thread of its own, when one can be started
    caller,  // in submit(), on the caller's thread
};

// Starts a thread that runs `body`; throws std::system_error when it cannot, as std::thread.
using ThreadStarter = std::thread (*)(std::function<void()> body);

// The ThreadStarter of the program: a std::thread.
std::thread start_std_thread(std::function<void()> body);

class BackgroundWriter {
public:
    // Starts writing to `sink` with `chunk_count` (at least 1) buffers of `chunk_size` bytes
    // each, on the thread `where` says, started by `start`. Nothing else may use `sink` until
    // finish() has returned. When no thread can be started, every chunk is written by
    // submit() itself, with the same results.
    BackgroundWriter(ByteSink& sink, std::size_t chunk_count, std::size_t chunk_size,
                     WriteThread where = WriteThread::own, ThreadStarter start = start_std_thread);

    // Waits for the thread; what was submitted and not yet written is dropped.
    ~BackgroundWriter();

    BackgroundWriter(const BackgroundWriter&) = delete;
    BackgroundWriter& operator=(const BackgroundWriter&) = delete;

    // A buffer of chunk_size bytes that the caller owns until it passes it to submit(); waits
    // while all buffers are queued for writing.
    std::span<std::uint8_t> acquire();

    // Queues `bytes`, which must lie within the buffer last returned by acquire(), for
    // writing after everything submitted before; the buffer goes back to the pool once written.
    void submit(std::span<const std::uint8_t> bytes);

    // True while a thread of its own does the writing.
    bool threaded() const { return thread_.joinable(); }

    // True once a write has failed; writing stops at the first failure, so the caller may
    // as well stop producing chunks.
    bool failed() const { return failed_.load(std::memory_order_relaxed); }

    // Writes out everything submitted and stops the thread. Returns false when any write
    // failed.
    bool finish();

private:
    struct Chunk {
        // Left uninitialised: every byte written out was put there by the caller first.
        std::unique_ptr<std::uint8_t[]> buffer;
        std::span<const std::uint8_t> pending;
    };

    void write_chunk(Chunk& chunk);
    void run();

    ByteSink& sink_;
    std::vector<Chunk> chunks_;
    std::size_t chunk_size_;
    std::size_t acquired_ = 0;        // index of the chunk the caller holds
    std::vector<std::size_t> free_;   // chunks ready to be acquired
    std::deque<std::size_t> queued_;  // chunks waiting to be written, in order
    std::atomic<bool> failed_ = false;
    bool stopping_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread thread_;
};

}  // namespace quorvel
