#include "container/format.h"

#include <algorithm>
#include <system_error>

#include "console/console.h"

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

ProbeResult probe_input(const std::filesystem::path& path) {
    auto file = InputFile::open(path);
    std::error_code error;
    if (!file && std::filesystem::is_directory(path, error)) {
        // A folder opens on POSIX and only its reads fail, while Windows refuses to open it;
        // either way it is a plain input, which the archiver packs.
        print_text("Crypt run\n");
        return {};
    }
    if (!file) {
        print_named("Error! File '", display_name(path), "' not found.");
        return {};
    }
    ProbeResult result{false, ProbedInput(std::move(*file))};
    result.encrypted = result.input->starts_with_signature();
    if (!result.encrypted) print_text("Crypt run\n");
    return result;
}

bool is_encrypted_file(const std::filesystem::path& path) {
    return probe_input(path).encrypted;
}

}  // namespace quorvel
