// The owner of one temporary file of the run: the file is removed when the owner goes, and
// when the process is interrupted, unless it was committed (put in place or kept on purpose).
// Removal touches only the file this run made: once its identity is known, a file that took
// the name since (an extracted entry of the same name, say) stays. The owner keeps the file
// open meanwhile, so that its identity cannot pass to a new file while the name is watched.
#pragma once

#include <filesystem>
#include <optional>

#include "files/files.h"

namespace quorvel {

class TemporaryFile {
public:
    // Takes charge of `path`, where the run has just made the file with `identity`. Create
    // the file and call this under one InterruptsDeferred (interrupt_cleanup.h), so that
    // an interrupt never falls between.
    static TemporaryFile adopt(std::filesystem::path path, const files::Identity& identity);

    // Takes charge of `path`, a name the run has found free and keeps free for a program it
    // starts: whatever that program puts there is the run's until identify() says which file.
    static TemporaryFile claim(std::filesystem::path path);

    // Records which file at the name is the run's.
    void identify(const files::Identity& identity);

    // Keeps the file: neither the owner nor the interrupt cleanup removes it any more.
    void commit();

    // Removes the file now if the name still refers to the run's file, and then keeps out of
    // it. Returns false when the run's file is still there.
    [[nodiscard]] bool remove();

    const std::filesystem::path& path() const { return path_; }

    TemporaryFile(TemporaryFile&& other) noexcept;
    TemporaryFile& operator=(TemporaryFile&&) = delete;
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    // Removes the file unless committed or removed before.
    ~TemporaryFile();

private:
    TemporaryFile(std::filesystem::path path, std::optional<files::Identity> identity);
    void pin();

    std::filesystem::path path_;
    std::optional<files::Identity> identity_;
    files::Descriptor pin_;  // the run's file, held open (files::hold_identity)
    int entry_ = -1;         // the interrupt cleanup's entry
    bool owned_ = true;
};

}  // namespace quorvel
