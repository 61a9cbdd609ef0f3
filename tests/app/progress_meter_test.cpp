#include "app/messages/progress_meter.h"

#include <gtest/gtest.h>

#include "support/memory_streams.h"
#include "support/test_support.h"

namespace quorvel {
namespace {

using namespace std::chrono_literals;

constexpr std::uint64_t MIB = 1 << 20;

TEST(ProgressMeter, TextShowsShareSpeedAndTimeLeft) {
    const struct {
        std::uint64_t done;
        std::uint64_t total;
        ProgressClock::duration elapsed;
        const char* text;
    } cases[] = {
        {0, 100 * MIB, 0s, "  0%  -- MiB/s  --:-- left"},
        {0, 100 * MIB, 2s, "  0%  -- MiB/s  --:-- left"},
        {10 * MIB, 100 * MIB, 0s, " 10%  -- MiB/s  --:-- left"},
        {10 * MIB, 100 * MIB, 99ms, " 10%  -- MiB/s  --:-- left"},
        {10 * MIB, 100 * MIB, 100ms, " 10%  100.0 MiB/s  0:01 left"},
        {25 * MIB, 100 * MIB, 500ms, " 25%  50.0 MiB/s  0:02 left"},
        {1, 3, 1s, " 33%  0.0 MiB/s  0:02 left"},
        {99 * MIB, 100 * MIB, 99s, " 99%  1.0 MiB/s  0:01 left"},
        {100 * MIB, 100 * MIB, 4s, "100%  25.0 MiB/s  0:00 left"},
        {120 * MIB, 100 * MIB, 4s, "100%  25.0 MiB/s  0:00 left"},  // the file grew meanwhile
        {1 * MIB, 3601 * MIB, 1s, "  0%  1.0 MiB/s  1:00:00 left"},
        {3 * MIB, 4000 * MIB, 2s, "  0%  1.5 MiB/s  44:25 left"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(format_progress(c.done, c.total, c.elapsed), c.text)
            << c.done << " of " << c.total;
    }
}

TEST(ProgressMeter, DrawsAtOnceThenAtMostTenTimesASecond) {
    const ProgressClock::time_point start{};
    ProgressMeter meter(100 * MIB, start);
    int drawn = 0;
    // An update every millisecond for three seconds: the first is drawn, then one each 100 ms.
    for (int ms = 0; ms < 3000; ++ms) {
        const auto text = meter.update(static_cast<std::uint64_t>(ms) * 1000,
                                       start + std::chrono::milliseconds(ms));
        if (text) ++drawn;
        if (ms == 0 || ms == 100 || ms == 2900) {
            EXPECT_TRUE(text) << ms;
        }
        if (ms == 1 || ms == 99 || ms == 2999) {
            EXPECT_FALSE(text) << ms;
        }
    }
    EXPECT_EQ(drawn, 30);
}

// A source that fails on its second read.
class FailingSource final : public ByteSource {
public:
    std::optional<std::size_t> read(std::span<std::uint8_t> buffer) override {
        if (reads_++ > 0) return std::nullopt;
        buffer[0] = 7;
        return 1;
    }

private:
    int reads_ = 0;
};

TEST(ProgressSource, PassesEveryByteAndEveryErrorThrough) {
    const auto bytes = test::random_bytes(100000, 5);
    test::MemorySource inner(bytes, 777);
    ProgressSource source(inner, bytes.size());
    test::Bytes copy;
    std::vector<std::uint8_t> buffer(4096);
    while (const auto got = source.read(buffer)) {
        if (*got == 0) break;
        copy.insert(copy.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(*got));
    }
    EXPECT_EQ(copy, bytes);

    FailingSource failing;
    ProgressSource failing_source(failing, 10);
    EXPECT_EQ(failing_source.read(buffer), std::optional<std::size_t>(1));
    EXPECT_EQ(buffer[0], 7);
    EXPECT_EQ(failing_source.read(buffer), std::nullopt);
}

TEST(ProgressSource, NoMeterForSmallOrUnknownSizes) {
    test::MemorySource inner({});
    EXPECT_EQ(progress_source_for(inner, std::nullopt), nullptr);
    EXPECT_EQ(progress_source_for(inner, 0), nullptr);
    EXPECT_EQ(progress_source_for(inner, PROGRESS_THRESHOLD), nullptr);
}

}  // namespace
}  // namespace quorvel
