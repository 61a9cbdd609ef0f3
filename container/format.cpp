#include "container/format.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace quorvel {

bool ProbedInput::starts_with_signature() {
    if (!probed_) {
        probed_ = true;
        // A short read, a read error (a folder, for one) and a mismatch all mean "not ours".
        while (head_size_ < head_.size()) {
            const auto got = file_.read(std::span(head_).subspan(head_size_));
            if (!got || *got == 0) break;
            head_size_ += *got;
        }
    }
    return head_size_ == SIGNATURE_SIZE &&
           std::equal(head_.begin(), head_.end(), SIGNATURE.begin());
}

std::optional<std::size_t> ProbedInput::read(std::span<std::uint8_t> buffer) {
    if (head_handed_ == head_size_ || buffer.empty()) return file_.read(buffer);
    const std::size_t count = std::min(buffer.size(), head_size_ - head_handed_);
    std::copy_n(head_.begin() + static_cast<std::ptrdiff_t>(head_handed_), count, buffer.begin());
    head_handed_ += count;
    return count;
}

bool ProbedInput::rewind() {
    // The file gives its first bytes again itself.
    head_handed_ = head_size_;
    return file_.rewind();
}

ProbeResult probe_signature(const std::filesystem::path& path) {
    auto file = InputFile::open(path);
    const int open_error = errno;
    std::error_code error;
    if (!file && std::filesystem::is_directory(path, error)) {
        // A folder opens on POSIX and only its reads fail, while Windows refuses to open it;
        // either way it is a plain input, which the archiver packs.
        return {InputKind::plain, std::nullopt};
    }
    if (!file) return {InputKind::unopenable, std::nullopt, open_error};
    ProbeResult result{InputKind::plain, ProbedInput(std::move(*file))};
    if (result.input->starts_with_signature()) result.kind = InputKind::encrypted;
    return result;
}

}  // namespace quorvel
