#include "app/messages/progress_meter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "console/console.h"

namespace quorvel {

namespace {

constexpr double MIB = 1024.0 * 1024.0;

// "m:ss", or "h:mm:ss" from one hour on.
std::string format_duration(std::uint64_t seconds) {
    char text[32];
    const auto hours = seconds / 3600;
    const auto minutes = seconds / 60 % 60;
    const auto rest = seconds % 60;
    if (hours > 0) {
        std::snprintf(
            text, sizeof text, "%llu:%02llu:%02llu", static_cast<unsigned long long>(hours),
            static_cast<unsigned long long>(minutes), static_cast<unsigned long long>(rest));
    } else {
        std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(minutes),
                      static_cast<unsigned long long>(rest));
    }
    return text;
}

}  // namespace

std::string format_progress(std::uint64_t done, std::uint64_t total,
                            ProgressClock::duration elapsed) {
    done = std::min(done, total);
    const auto percent = total == 0 ? 100 : static_cast<unsigned>(done * 100 / total);
    const double seconds = std::chrono::duration<double>(elapsed).count();
    char text[80];
    // The first moments say little about the speed: the first read comes back at once.
    if (done == 0 || elapsed < PROGRESS_INTERVAL) {
        std::snprintf(text, sizeof text, "%3u%%  -- MiB/s  --:-- left", percent);
        return text;
    }
    const double rate = static_cast<double>(done) / seconds;
    const auto left =
        static_cast<std::uint64_t>(std::ceil(static_cast<double>(total - done) / rate));
    std::snprintf(text, sizeof text, "%3u%%  %.1f MiB/s  %s left", percent, rate / MIB,
                  format_duration(left).c_str());
    return text;
}

ProgressMeter::ProgressMeter(std::uint64_t total, ProgressClock::time_point start)
    : total_(total), start_(start) {}

std::optional<std::string> ProgressMeter::update(std::uint64_t done,
                                                 ProgressClock::time_point now) {
    if (last_drawn_ && now - *last_drawn_ < PROGRESS_INTERVAL) return std::nullopt;
    last_drawn_ = now;
    return format_progress(done, total_, now - start_);
}

ProgressSource::ProgressSource(ByteSource& input, std::uint64_t total)
    : input_(input), total_(total), meter_(total, ProgressClock::now()) {}

ProgressSource::~ProgressSource() {
    clear_status();
}

std::optional<std::size_t> ProgressSource::read(std::span<std::uint8_t> buffer) {
    const auto got = input_.read(buffer);
    if (got) done_ += *got;
    // Decryption stops reading at the last block without meeting the end of the input, so the
    // byte count says when the meter is done, not only a read that finds nothing.
    if (!got || *got == 0 || done_ >= total_) {
        clear_status();
    } else if (const auto text = meter_.update(done_, ProgressClock::now())) {
        show_status(*text);
    }
    return got;
}

bool ProgressSource::rewind() {
    done_ = 0;
    return input_.rewind();
}

std::unique_ptr<ProgressSource> progress_source_for(ByteSource& input,
                                                    std::optional<std::uint64_t> input_size) {
    if (!input_size || *input_size <= PROGRESS_THRESHOLD || !status_line_possible()) {
        return nullptr;
    }
    return std::make_unique<ProgressSource>(input, *input_size);
}

}  // namespace quorvel
