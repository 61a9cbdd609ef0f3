// The stream's chunk writer in its three ways of working: on a thread of its own, on the
// caller's thread when asked, and on the caller's thread when no thread can be started. Each
// writes every chunk once, in order, and stops at the first failed write.
#include <gtest/gtest.h>

#include <system_error>

#include "internal/background_writer.h"
#include "support/test_support.h"

namespace quorvel {
namespace {

using test::Bytes;

std::thread refuse_thread(std::function<void()>) {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
}

struct Way {
    const char* name;
    WriteThread where;
    ThreadStarter start;
    bool threaded;
};

const Way WAYS[] = {
    {"own thread", WriteThread::own, start_std_thread, true},
    {"caller's thread", WriteThread::caller, start_std_thread, false},
    {"no thread to be had", WriteThread::own, refuse_thread, false},
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
    std::size_t writes = 0;

private:
    std::size_t fail_at_;
};

constexpr std::size_t CHUNK_COUNT = 3;
constexpr std::size_t CHUNK_BYTES = 1000;
constexpr std::size_t SUBMITTED = 20;  // several times round the pool

// Submits SUBMITTED chunks of different lengths and contents; returns all their bytes.
Bytes submit_chunks(BackgroundWriter& writer) {
    Bytes all;
    for (std::size_t i = 0; i < SUBMITTED; ++i) {
        const auto chunk = writer.acquire();
        EXPECT_EQ(chunk.size(), CHUNK_BYTES);
        const auto part = chunk.first(CHUNK_BYTES - i * 7);
        const Bytes content = test::random_bytes(part.size(), static_cast<std::uint32_t>(i));
        std::copy(content.begin(), content.end(), part.begin());
        all.insert(all.end(), content.begin(), content.end());
        writer.submit(part);
    }
    return all;
}

TEST(StreamWriter, WritesEveryChunkInOrderEveryWay) {
    for (const Way& way : WAYS) {
        RecordingSink sink;
        BackgroundWriter writer(sink, CHUNK_COUNT, CHUNK_BYTES, way.where, way.start);
        EXPECT_EQ(writer.threaded(), way.threaded) << way.name;
        const Bytes expected = submit_chunks(writer);
        EXPECT_TRUE(writer.finish()) << way.name;
        EXPECT_FALSE(writer.failed()) << way.name;
        EXPECT_EQ(sink.writes, SUBMITTED) << way.name;
        EXPECT_TRUE(sink.bytes == expected) << way.name;
    }
}

TEST(StreamWriter, StopsAtTheFirstFailedWriteEveryWay) {
    constexpr std::size_t FAIL_AT = 4;
    for (const Way& way : WAYS) {
        RecordingSink sink(FAIL_AT);
        BackgroundWriter writer(sink, CHUNK_COUNT, CHUNK_BYTES, way.where, way.start);
        const Bytes submitted = submit_chunks(writer);
        EXPECT_FALSE(writer.finish()) << way.name;
        EXPECT_TRUE(writer.failed()) << way.name;
        // Nothing is tried after the failure, and what went before is whole and in order.
        EXPECT_EQ(sink.writes, FAIL_AT + 1) << way.name;
        ASSERT_LE(sink.bytes.size(), submitted.size());
        EXPECT_TRUE(std::equal(sink.bytes.begin(), sink.bytes.end(), submitted.begin()))
            << way.name;
    }
}

}  // namespace
}  // namespace quorvel
