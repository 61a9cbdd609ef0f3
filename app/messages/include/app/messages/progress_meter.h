// A progress meter for long cipher runs: one line on standard error with the share done, the
// speed and the time left, while standard output stays exactly as without it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "container/byte_stream.h"

namespace quorvel {

// Inputs up to this size finish too fast for a meter to help.
inline constexpr std::uint64_t PROGRESS_THRESHOLD = std::uint64_t{64} << 20;

// The meter is redrawn at most this often.
inline constexpr std::chrono::milliseconds PROGRESS_INTERVAL{100};

using ProgressClock = std::chrono::steady_clock;

// The meter's text for `done` of `total` bytes after `elapsed`, for example
// " 42%  123.4 MiB/s  0:12 left"; speed and time left read "--" during the first
// PROGRESS_INTERVAL, too short to tell the speed.
std::string format_progress(std::uint64_t done, std::uint64_t total,
                            ProgressClock::duration elapsed);

// Decides when the meter is redrawn: at the first update, then once PROGRESS_INTERVAL has
// passed since the last drawing.
class ProgressMeter {
public:
    ProgressMeter(std::uint64_t total, ProgressClock::time_point start);

    // The text to draw now that `done` bytes are through, or nullopt when the last drawing
    // is too recent.
    std::optional<std::string> update(std::uint64_t done, ProgressClock::time_point now);

private:
    std::uint64_t total_;
    ProgressClock::time_point start_;
    std::optional<ProgressClock::time_point> last_drawn_;
};

// Reads through `input` and shows the meter on the console's status line (console/console.h)
// as the bytes go by. The line is erased once `total` bytes are read, at the end of the input,
// on a read error and when the wrapper is destroyed: so before the cipher stage prints its
// closing message.
class ProgressSource final : public ByteSource {
public:
    ProgressSource(ByteSource& input, std::uint64_t total);
    ~ProgressSource() override;
    ProgressSource(const ProgressSource&) = delete;
    ProgressSource& operator=(const ProgressSource&) = delete;

    std::optional<std::size_t> read(std::span<std::uint8_t> buffer) override;
    // Rewinds the input, and the meter starts again from 0 with it.
    bool rewind() override;

private:
    ByteSource& input_;
    std::uint64_t total_;
    std::uint64_t done_ = 0;
    ProgressMeter meter_;
};

// A ProgressSource around `input` when the console can show one (standard error is a terminal)
// and `input_size` exceeds PROGRESS_THRESHOLD; otherwise nullptr, and the input is read as is.
std::unique_ptr<ProgressSource> progress_source_for(ByteSource& input,
                                                    std::optional<std::uint64_t> input_size);

}  // namespace quorvel
