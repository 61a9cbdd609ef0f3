// Files as byte streams, opened in binary mode and read and written in large chunks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>

#include "container/byte_stream.h"
#include "files/files.h"

namespace quorvel {

namespace detail {
struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;
}  // namespace detail

class InputFile final : public ByteSource {
public:
    // Opens `path` for reading, a symbolic link at the name as `final_link` says; nullopt when
    // it cannot be opened.
    [[nodiscard]] static std::optional<InputFile> open(
        const std::filesystem::path& path, files::FinalLink final_link = files::FinalLink::follow);

    [[nodiscard]] std::optional<std::size_t> read(std::span<std::uint8_t> buffer) override;

    // The file's length in bytes, taken without moving the read position; nullopt when the
    // length cannot be known (a pipe, for one).
    std::optional<std::uint64_t> size() const;

    // The identity of the open file (see files/files.h); nullopt when it cannot be told.
    std::optional<files::Identity> identity() const;

    // Goes back to the first byte of a regular file. Returns false for anything else (a pipe,
    // a terminal), which can be read only once.
    [[nodiscard]] bool rewind() override;

    // The system's error number of the read that failed, 0 while none has.
    int error() const { return error_; }

private:
    explicit InputFile(detail::FileHandle file) : file_(std::move(file)) {}
    detail::FileHandle file_;
    int error_ = 0;
};

// How an output file comes into being.
enum class OutputPolicy {
    // Written under a temporary name in the same folder and renamed over the path only by a
    // successful close(), so a failed or interrupted run leaves what was at the path as it
    // was; close() flushes the file to the disk before the rename and the folder after it, so
    // that a crash never leaves an empty or partial file at the name. A path that exists and
    // is not a regular file (a device, a pipe) is written directly: /dev/null must stay a
    // device. A symbolic link is followed, a dangling one too: the file it names is replaced.
    // When no temporary file can be made (a folder that is not writable), or a rename could
    // not replace the file (a sticky folder owned by another user), an existing writable file
    // is written in place; that is not atomic.
    replace_atomically,
    // A fresh file, readable and writable by its owner only, made under a temporary name in
    // the same folder and renamed over the path by close(): for a file that holds plaintext
    // and is removed soon, so it is not flushed to the disk. No file already there is ever
    // opened; a path holding anything but a regular file is refused.
    private_file,
};

// How an output reaches its name.
enum class OutputPlacement {
    direct,    // a device or a pipe, written as it is
    in_place,  // an existing file written over where it is
    renamed,   // a new file beside the name, renamed over it once complete
};

// Where an output goes and how, found before anything is written.
struct OutputTarget {
    std::filesystem::path path;  // the name written or replaced, symbolic links followed
    OutputPlacement placement = OutputPlacement::renamed;
    OutputPolicy policy = OutputPolicy::replace_atomically;
};

class OutputFile final : public ByteSink {
public:
    // Finds where an output for `path` goes as `policy` says, and tries all that can be tried
    // without writing anything: a folder (".", a link to one), a device's name on Windows
    // (files::names_device), a name longer than its folder takes or that no folder holds, a
    // folder where no new file can be made and no existing file written, a file that a rename
    // cannot replace (on Windows one marked read-only) and that cannot be written in place. A
    // renamed output's folder is tried by making a new file there and removing it at once
    // (call it where an interrupt cannot fall between). Nullopt when the output cannot be
    // written (an empty name included).
    [[nodiscard]] static std::optional<OutputTarget> find_target(const std::filesystem::path& path,
                                                                 OutputPolicy policy);

    // Opens an output at `target`. A renamed output's new file is made now, at
    // pending_path() with identity(), and this object answers for it: it is removed when the
    // object goes without a successful close(). (An interrupt cleanup that may remove it
    // meanwhile only needs its name and identity.)
    [[nodiscard]] static std::optional<OutputFile> open(const OutputTarget& target);

    // Writes into `fd`, a new empty file the caller made at `path` and answers for (a scratch
    // file of the run's own): written where it is, closed by close(), never renamed, flushed
    // to the disk or removed here. nullopt when no stream can be made over it.
    [[nodiscard]] static std::optional<OutputFile> adopt(files::Descriptor fd,
                                                         const std::filesystem::path& path);

    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&& other) noexcept;
    // An output never finished by close() is closed unchecked, and its temporary file removed
    // when it answers for it.
    ~OutputFile() override;

    [[nodiscard]] bool write(std::span<const std::uint8_t> bytes) override;
    [[nodiscard]] bool write_at(std::uint64_t offset, std::span<const std::uint8_t> bytes) override;

    // True for a regular file; false for a pipe, a terminal or another device, which take
    // their bytes in order only.
    bool seekable() const override;

    // Flushes and closes the file, to the disk as its policy says, without putting it in place
    // yet. Returns false when any of that failed; its temporary file is then removed.
    [[nodiscard]] bool finish();

    // Puts a file finish() closed in place: one written under a temporary name takes its name,
    // and the folder is flushed to the disk as the policy says. Quick, so that the caller can
    // make it the one moment at which the output changes. Returns false when any of that
    // failed, or finish() did; its temporary file is then removed.
    [[nodiscard]] bool put_in_place();

    // The system's error number of the write, flush or rename that failed, 0 while none has
    // (or when the failure set none).
    int error() const { return error_; }

    // finish() and put_in_place() in one.
    [[nodiscard]] bool close();

    // The temporary name the file is written under until close(); empty when written directly.
    const std::filesystem::path& pending_path() const { return pending_path_; }

    // The identity of the file being written; nullopt when it cannot be told.
    const std::optional<files::Identity>& identity() const { return identity_; }

private:
    OutputFile(detail::FileHandle file, const OutputTarget& target,
               std::filesystem::path pending_path);
    void discard();

    detail::FileHandle file_;
    OutputTarget target_;
    std::filesystem::path pending_path_;
    std::optional<files::Identity> identity_;
    bool finished_ = false;  // finish() succeeded
    int error_ = 0;
};

}  // namespace quorvel
