// The stream pipeline on its own, with small chunks that go round the ring many times: the
// chunks it hands out are the input in order, full but for the last, which alone says that the
// input ends; what is submitted is written once, in order. A read error, a write error or a
// caller that gives up stops the other stages and loses none of the chunks before it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <numeric>
#include <system_error>
#include <thread>

#include "internal/stream_pipeline.h"
#include "support/test_support.h"

namespace quorvel {
namespace {

using test::Bytes;

constexpr std::size_t CHUNK = 1000;
constexpr std::size_t SPARE = 24;
constexpr std::size_t SLOTS = 3;

std::thread refuse_thread(std::function<void()>) {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
}

struct Way {
    const char* name;
    ThreadStarter start;
};

const Way WAYS[] = {{"own threads", start_std_thread}, {"no thread to be had", refuse_thread}};

// Hands out `bytes` in reads of at most `piece` bytes, then fails every read once `fail_at`
// bytes are out (never, by default). Counts what it hands out; may be read from any thread.
class TestSource final : public ByteSource {
public:
    TestSource(Bytes bytes, std::size_t piece, std::size_t fail_at = SIZE_MAX)
        : bytes_(std::move(bytes)), piece_(piece), fail_at_(fail_at) {}
    std::optional<std::size_t> read(std::span<std::uint8_t> buffer) override {
        const std::size_t at = handed_out;
        if (at >= fail_at_) return std::nullopt;
        const std::size_t count =
            std::min({buffer.size(), piece_, bytes_.size() - at, fail_at_ - at});
        std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(at), count, buffer.begin());
        handed_out += count;
        return count;
    }
    std::atomic<std::size_t> handed_out = 0;

private:
    Bytes bytes_;
    std::size_t piece_;
    std::size_t fail_at_;
};

// Keeps what it is given, and refuses the write numbered `fail_at` (from 0) and any after it.
class RecordingSink final : public ByteSink {
public:
    explicit RecordingSink(std::size_t fail_at = SIZE_MAX) : fail_at_(fail_at) {}
    bool write(std::span<const std::uint8_t> data) override {
        if (writes++ >= fail_at_) return false;
        bytes.insert(bytes.end(), data.begin(), data.end());
        return true;
    }
    bool write_at(std::uint64_t, std::span<const std::uint8_t>) override { return false; }
    Bytes bytes;
    std::atomic<std::size_t> writes = 0;

private:
    std::size_t fail_at_;
};

// Takes every chunk, checks its shape, submits it with each byte changed by its chunk's
// number and returns what should then have been written.
Bytes pass_every_chunk(StreamPipeline& pipeline, std::size_t length, const std::string& trace) {
    Bytes expected;
    std::size_t seen = 0;
    for (std::uint8_t number = 1;; ++number) {
        const auto chunk = pipeline.next();
        EXPECT_TRUE(chunk) << trace;
        if (!chunk) return expected;
        EXPECT_EQ(chunk->buffer.size(), CHUNK + SPARE) << trace;
        seen += chunk->size;
        // Full chunks but the last, which comes as soon as the input is known to end.
        EXPECT_EQ(chunk->size, chunk->last ? length - (seen - chunk->size) : CHUNK) << trace;
        EXPECT_EQ(chunk->last, seen == length) << trace;
        const auto bytes = chunk->buffer.first(chunk->size);
        for (auto& byte : bytes) byte ^= number;
        expected.insert(expected.end(), bytes.begin(), bytes.end());
        pipeline.submit(bytes);
        if (chunk->last) return expected;
    }
}

TEST(StreamPipeline, HandsOutTheInputInFullChunksAndWritesWhatIsSubmittedInOrder) {
    const std::size_t lengths[] = {0, 1, CHUNK - 1, CHUNK, CHUNK + 1, 2 * CHUNK, 30 * CHUNK + 7};
    const std::size_t pieces[] = {SIZE_MAX, 7, CHUNK};
    for (const Way& way : WAYS) {
        for (const std::size_t length : lengths) {
            for (const std::size_t piece : pieces) {
                const std::string trace = std::string(way.name) + ", length " +
                                          std::to_string(length) + ", pieces of " +
                                          std::to_string(piece);
                const Bytes input = test::random_bytes(length, static_cast<std::uint32_t>(length));
                TestSource source(input, piece);
                RecordingSink sink;
                StreamPipeline pipeline(source, sink, CHUNK, SPARE, SLOTS, way.start);
                const Bytes expected = pass_every_chunk(pipeline, length, trace);
                // Threads only for an input longer than one chunk, and only when they start.
                EXPECT_EQ(pipeline.threaded(), length > CHUNK && way.start == start_std_thread)
                    << trace;
                EXPECT_TRUE(pipeline.finish()) << trace;
                EXPECT_TRUE(sink.bytes == expected) << trace;
                EXPECT_EQ(source.handed_out, length) << trace;
            }
        }
    }
}

// Reads and writes that take their time, so that the stages change hands: with slow reads the
// caller writes chunks out while the helper reads, and with slow writes it reads its chunks
// itself while the helper writes. Whichever thread runs them, the chunks come in order and are
// written once, in order.
TEST(StreamPipeline, EitherThreadMayReadOrWriteAndTheOrderHolds) {
    class Slow final : public ByteSource, public ByteSink {
    public:
        Slow(Bytes input, bool slow_reads) : input_(std::move(input)), slow_reads_(slow_reads) {}
        std::optional<std::size_t> read(std::span<std::uint8_t> buffer) override {
            if (slow_reads_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (std::this_thread::get_id() == caller_) ++reads_by_caller;
            const std::size_t count = std::min(buffer.size(), input_.size() - at_);
            std::copy_n(input_.begin() + static_cast<std::ptrdiff_t>(at_), count, buffer.begin());
            at_ += count;
            return count;
        }
        bool write(std::span<const std::uint8_t> data) override {
            if (!slow_reads_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (std::this_thread::get_id() == caller_) ++writes_by_caller;
            written.insert(written.end(), data.begin(), data.end());
            return true;
        }
        bool write_at(std::uint64_t, std::span<const std::uint8_t>) override { return false; }
        Bytes written;
        int reads_by_caller = 0;
        int writes_by_caller = 0;

    private:
        const Bytes input_;
        const bool slow_reads_;
        const std::thread::id caller_ = std::this_thread::get_id();
        std::size_t at_ = 0;
    };

    constexpr std::size_t LENGTH = 40 * CHUNK + 3;
    for (const bool slow_reads : {true, false}) {
        const std::string trace = slow_reads ? "slow reads" : "slow writes";
        Slow ends(test::random_bytes(LENGTH, 6), slow_reads);
        StreamPipeline pipeline(ends, ends, CHUNK, SPARE, SLOTS);
        const Bytes expected = pass_every_chunk(pipeline, LENGTH, trace);
        EXPECT_TRUE(pipeline.finish()) << trace;
        EXPECT_TRUE(ends.written == expected) << trace;
        if (slow_reads) {
            EXPECT_GT(ends.writes_by_caller, 0) << trace;
        } else {
            // More than the first chunk's read and the look past it, before the helper starts.
            EXPECT_GT(ends.reads_by_caller, 2) << trace;
        }
    }
}

// A read that fails: the chunks before it come out whole and are written, then next() says
// so, and nothing more is read. Failures in the first chunk, at its end (where the pipeline
// reads past it to learn whether the input ends) and deep into the ring.
TEST(StreamPipeline, AReadErrorEndsTheChunksAfterThoseReadBeforeIt) {
    const Bytes input = test::random_bytes(40 * CHUNK, 3);
    for (const Way& way : WAYS) {
        for (const std::size_t fail_at :
             {std::size_t{0}, CHUNK / 2, CHUNK, 2 * CHUNK, 17 * CHUNK + 5}) {
            const std::string trace =
                std::string(way.name) + ", failing at " + std::to_string(fail_at);
            TestSource source(input, 300, fail_at);
            RecordingSink sink;
            StreamPipeline pipeline(source, sink, CHUNK, SPARE, SLOTS, way.start);
            std::size_t whole_chunks = 0;
            while (const auto chunk = pipeline.next()) {
                EXPECT_EQ(chunk->size, CHUNK) << trace;
                EXPECT_FALSE(chunk->last) << trace;
                pipeline.submit(chunk->buffer.first(chunk->size));
                ++whole_chunks;
            }
            EXPECT_EQ(whole_chunks, fail_at / CHUNK) << trace;
            EXPECT_TRUE(pipeline.finish()) << trace;
            EXPECT_TRUE(std::equal(sink.bytes.begin(), sink.bytes.end(), input.begin()) &&
                        sink.bytes.size() == whole_chunks * CHUNK)
                << trace;
            EXPECT_EQ(source.handed_out, fail_at) << trace;
        }
    }
}

// A write that fails: no write is tried after it, what went before is whole and in order,
// and the reader stops within a ring's length of chunks after the failure is seen.
TEST(StreamPipeline, AWriteErrorStopsTheWritingAndTheReading) {
    constexpr std::size_t LENGTH = 200 * CHUNK;
    const Bytes input = test::random_bytes(LENGTH, 4);
    for (const Way& way : WAYS) {
        for (const std::size_t fail_at : {0u, 1u, 5u}) {
            const std::string trace = std::string(way.name) + ", write " + std::to_string(fail_at);
            TestSource source(input, SIZE_MAX);
            RecordingSink sink(fail_at);
            StreamPipeline pipeline(source, sink, CHUNK, SPARE, SLOTS, way.start);
            std::size_t submitted = 0;
            while (!pipeline.write_failed() && submitted < 100) {
                const auto chunk = pipeline.next();
                ASSERT_TRUE(chunk) << trace;
                pipeline.submit(chunk->buffer.first(chunk->size));
                ++submitted;
            }
            EXPECT_TRUE(pipeline.write_failed()) << trace;
            const std::size_t read_when_seen = source.handed_out;
            EXPECT_FALSE(pipeline.finish()) << trace;
            EXPECT_EQ(sink.writes, fail_at + 1) << trace;
            EXPECT_TRUE(sink.bytes.size() == fail_at * CHUNK &&
                        std::equal(sink.bytes.begin(), sink.bytes.end(), input.begin()))
                << trace;
            EXPECT_LE(source.handed_out, read_when_seen + (SLOTS + 1) * CHUNK) << trace;
            EXPECT_LT(submitted, fail_at + SLOTS + 2) << trace;
        }
    }
}

// A caller that stops in the middle (a failure of its own, the last block found by length):
// the pipeline goes without finish(), its reader waiting for a free buffer and its writer
// for a chunk; both stop, and reading stops within a ring's length.
TEST(StreamPipeline, ACallerThatGivesUpStopsBothThreads) {
    const Bytes input = test::random_bytes(100 * CHUNK, 5);
    for (const bool finishing : {false, true}) {
        TestSource source(input, SIZE_MAX);
        RecordingSink sink;
        {
            StreamPipeline pipeline(source, sink, CHUNK, SPARE, SLOTS);
            for (int taken = 0; taken < 3; ++taken) {
                const auto chunk = pipeline.next();
                ASSERT_TRUE(chunk);
                pipeline.submit(chunk->buffer.first(chunk->size));
            }
            ASSERT_TRUE(pipeline.threaded());
            // What was submitted is written by finish(), and may be dropped without it.
            if (finishing) {
                EXPECT_TRUE(pipeline.finish());
                EXPECT_EQ(sink.bytes.size(), 3 * CHUNK);
            }
        }
        EXPECT_LE(sink.bytes.size(), 3 * CHUNK);
        EXPECT_TRUE(std::equal(sink.bytes.begin(), sink.bytes.end(), input.begin()));
        EXPECT_LE(source.handed_out, (3 + SLOTS + 1) * CHUNK);
    }
}

}  // namespace
}  // namespace quorvel
