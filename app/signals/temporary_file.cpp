#include "app/signals/temporary_file.h"

#include <utility>

#include "app/signals/interrupt_cleanup.h"

namespace quorvel {

TemporaryFile::TemporaryFile(std::filesystem::path path, std::optional<files::Identity> identity)
    : path_(std::move(path)), identity_(identity), entry_(remove_on_interrupt(path_, identity_)) {
    pin();
}

void TemporaryFile::pin() {
    if (identity_) pin_ = files::hold_identity(path_, *identity_);
}

TemporaryFile TemporaryFile::adopt(std::filesystem::path path, const files::Identity& identity) {
    return TemporaryFile(std::move(path), identity);
}

TemporaryFile TemporaryFile::claim(std::filesystem::path path) {
    return TemporaryFile(std::move(path), std::nullopt);
}

TemporaryFile::TemporaryFile(TemporaryFile&& other) noexcept
    : path_(std::move(other.path_)),
      identity_(other.identity_),
      pin_(std::move(other.pin_)),
      entry_(std::exchange(other.entry_, -1)),
      owned_(std::exchange(other.owned_, false)) {}

TemporaryFile::~TemporaryFile() {
    // An owner that must know whether the file went calls remove() itself.
    static_cast<void>(remove());
}

void TemporaryFile::identify(const files::Identity& identity) {
    identity_ = identity;
    if (owned_) identify_on_interrupt(entry_, identity);
    pin();
}

void TemporaryFile::commit() {
    if (!owned_) return;
    forget_on_interrupt(entry_);
    owned_ = false;
    pin_ = files::Descriptor();
}

bool TemporaryFile::remove() {
    if (!owned_) return true;
    const bool removed = files::remove_if_ours(path_, identity_);
    commit();
    return removed;
}

RemovedOnInterrupt::RemovedOnInterrupt(const std::filesystem::path& path,
                                       const files::Identity& identity)
    : entry_(remove_on_interrupt(path, identity)) {}

RemovedOnInterrupt::RemovedOnInterrupt(RemovedOnInterrupt&& other) noexcept
    : entry_(std::exchange(other.entry_, -1)) {}

RemovedOnInterrupt::~RemovedOnInterrupt() {
    forget_on_interrupt(entry_);
}

}  // namespace quorvel
