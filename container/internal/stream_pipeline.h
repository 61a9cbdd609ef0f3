// The three stages of a stream, overlapping on two threads: reading the input into a small
// ring of chunk buffers, the caller's rounds over each chunk in place, and writing it out.
// Each stage takes the chunks one at a time and in order, but either thread may run the
// reading or the writing: a helper thread writes and reads ahead, and the caller, rather than
// wait for a chunk, reads it (or writes one out) itself. Two threads for three stages keep
// both cores busy without a third thread taking turns with them: when the rounds are slow
// (encryption) the helper does all the input and output beside them; when they are fast
// (decryption) the caller reads too and the helper writes. The buffers cycle through the
// stages, so memory use does not grow with the file.
//
// A stream that fits in one chunk runs on the caller's thread alone: there is nothing to
// overlap, and starting a thread would cost more than the stream itself (tests and fuzz
// targets run thousands of short ones). The helper starts once the first chunk turns out not
// to be the last; when it cannot be started, the caller runs every stage, with the same
// results.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "container/byte_stream.h"

namespace quorvel {

// Starts a thread that runs `body`; throws std::system_error when it cannot, as std::thread.
using ThreadStarter = std::thread (*)(std::function<void()> body);

// The ThreadStarter of the program: a std::thread.
std::thread start_std_thread(std::function<void()> body);

// A chunk of the input, in the caller's hands from next() until submit().
struct InputChunk {
    // The whole buffer: the bytes read, from its start, then room for at least one block
    // more, where the stream builds its last block.
    std::span<std::uint8_t> buffer;
    // Bytes read into it: the pipeline's chunk size, except in the last chunk.
    std::size_t size = 0;
    // True when the input ends after these bytes: no chunk follows.
    bool last = false;
};

class StreamPipeline {
public:
    // Streams `input` to `output` in chunks of `chunk_size` bytes, through `chunk_count`
    // (at least 3) buffers of chunk_size + `spare` bytes. Nothing else may use `input` or
    // `output` until the pipeline is finished or gone.
    StreamPipeline(ByteSource& input, ByteSink& output, std::size_t chunk_size, std::size_t spare,
                   std::size_t chunk_count, ThreadStarter start = start_std_thread);

    // Stops reading and writing at once and waits for the helper: what was submitted and not
    // yet written is dropped. A helper blocked in a read or a write returns first.
    ~StreamPipeline();

    StreamPipeline(const StreamPipeline&) = delete;
    StreamPipeline& operator=(const StreamPipeline&) = delete;

    // The next chunk of the input, in order; reads it, or waits for the helper reading it.
    // nullopt on a read error,
    // once the chunks read before it have been handed out. Call it only after the previous
    // chunk was submitted, and never after the last one.
    std::optional<InputChunk> next();

    // Queues `bytes`, which lie within the buffer of the chunk last returned by next(), to be
    // written after everything submitted before; the buffer goes back to the reading once
    // written. Empty bytes hand the buffer back and write nothing.
    void submit(std::span<const std::uint8_t> bytes);

    // True once a write has failed. Writing stops at the first failure, so the caller may as
    // well stop producing chunks.
    bool write_failed() const { return write_failed_.load(std::memory_order_relaxed); }

    // Writes out everything submitted, stops reading and waits for the helper. Returns false
    // when any write failed.
    bool finish();

    // True while the helper runs: the stream is longer than one chunk.
    bool threaded() const { return helper_.joinable(); }

private:
    struct Slot {
        // Left uninitialised: every byte handed on was read or put there first.
        std::unique_ptr<std::uint8_t[]> buffer;
        std::size_t size = 0;
        bool last = false;
        std::span<const std::uint8_t> pending;  // what submit() queued for writing
    };

    Slot& slot_at(std::uint64_t position) { return slots_[position % slots_.size()]; }
    // Whether a thread holding the lock may take up the next read or the next write now.
    bool may_read() const;
    bool may_write() const;
    // Run one read or one write, the lock released meanwhile; `lock` holds mutex_.
    void read_next_chunk(std::unique_lock<std::mutex>& lock);
    void write_next_chunk(std::unique_lock<std::mutex>& lock);
    bool read_into(Slot& slot, Slot& after);
    void run_helper();
    void start_helper();

    ByteSource& input_;
    ByteSink& output_;
    const std::size_t chunk_size_;
    const std::size_t buffer_size_;
    const ThreadStarter start_;
    std::vector<Slot> slots_;

    // Positions count the chunks of the stream from 0; chunk p lives in slot p % slot count.
    std::mutex mutex_;
    std::condition_variable changed_;  // a stage moved on, or the pipeline is stopping
    std::uint64_t read_ = 0;           // chunks read
    std::uint64_t taken_ = 0;          // chunks next() handed out
    std::uint64_t submitted_ = 0;      // chunks submit() queued
    std::uint64_t written_ = 0;        // chunks written (or dropped)
    bool reading_ = false;             // a thread is reading chunk read_
    bool writing_ = false;             // a thread is writing chunk written_
    bool input_ended_ = false;         // the last chunk is read, or a read failed
    bool read_failed_ = false;         // the read after chunk read_ - 1 failed
    bool no_more_chunks_ = false;      // the helper ends once all are written
    bool drop_unwritten_ = false;      // the helper ends at once
    // Set under the mutex; read without it between the reads of a chunk, so that a long read
    // of many pieces ends early.
    std::atomic<bool> stop_reading_ = false;
    std::atomic<bool> write_failed_ = false;

    // The reading's own, handed from one reading thread to the next under the mutex: bytes of
    // chunk read_ already read while looking past the chunk before for the end of the input,
    // or a failure of that read.
    std::size_t read_ahead_ = 0;
    bool read_ahead_failed_ = false;

    std::thread helper_;
};

}  // namespace quorvel
