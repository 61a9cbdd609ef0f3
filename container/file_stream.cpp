#include "container/file_stream.h"

#include <cerrno>
#include <system_error>
#include <utility>

namespace quorvel {

namespace {

namespace fs = std::filesystem;

detail::FileHandle stream_of(files::Descriptor fd, files::Direction direction) {
    if (!fd.valid()) return nullptr;
    return detail::FileHandle(files::open_stream(std::move(fd), direction));
}

struct Opened {
    detail::FileHandle file;
    fs::path pending_path;  // empty unless written under a temporary name
};

// The prefixes of the temporary names: an output on its way, a private file on its way, and
// the empty file that tries a folder and goes at once.
constexpr std::string_view PENDING_OUTPUT_PREFIX = ".quorvel-out-";
constexpr std::string_view PENDING_PRIVATE_PREFIX = ".quorvel-new-";
constexpr std::string_view TRIAL_PREFIX = ".quorvel-try-";

// A new file beside `final_path`, with the mode the finished file is to have.
Opened create_pending(const fs::path& final_path, std::string_view prefix, bool keep_private) {
    Opened opened;
    auto [fd, pending_path] = keep_private ? files::create_private_beside(final_path, prefix)
                                           : files::create_beside(final_path, prefix);
    opened.pending_path = std::move(pending_path);
    if (!fd.valid()) return {};
    if (!keep_private && !files::take_mode_of(fd.get(), final_path)) fd = files::Descriptor();
    const auto identity = files::identity_of(fd.get());
    opened.file = stream_of(std::move(fd), files::Direction::write);
    if (!opened.file) {
        // One that stays is a private empty file: nothing is lost with it.
        static_cast<void>(files::remove_if_ours(opened.pending_path, identity));
        return {};
    }
    return opened;
}

// True when the last name of `path` is longer than its folder takes: the final rename would
// fail after all the work.
bool name_too_long(const fs::path& path) {
    const auto longest = files::longest_name_beside(path);
    return longest && path.filename().native().size() > *longest;
}

// True when a new file can be made beside `path`; the one made to find out is removed at once.
bool can_make_beside(const fs::path& path) {
    files::NewFile made = files::create_private_beside(path, TRIAL_PREFIX);
    if (!made.fd.valid()) return false;
    const auto identity = files::identity_of(made.fd.get());
    made.fd = files::Descriptor();
    // A trial file left behind takes nothing from the answer: a file could be made.
    static_cast<void>(files::remove_if_ours(made.path, identity));
    return true;
}

}  // namespace

std::optional<InputFile> InputFile::open(const fs::path& path, files::FinalLink final_link) {
    auto file = stream_of(files::open_for_reading(path, final_link), files::Direction::read);
    if (!file) return std::nullopt;
    return InputFile(std::move(file));
}

std::optional<std::size_t> InputFile::read(std::span<std::uint8_t> buffer) {
    const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), file_.get());
    if (got == 0 && std::ferror(file_.get())) {
        error_ = errno;
        return std::nullopt;
    }
    return got;
}

std::optional<std::uint64_t> InputFile::size() const {
    return files::regular_size(files::descriptor_of(file_.get()));
}

std::optional<files::Identity> InputFile::identity() const {
    return files::identity_of(files::descriptor_of(file_.get()));
}

OutputFile::OutputFile(detail::FileHandle file, const OutputTarget& target, fs::path pending_path)
    : file_(std::move(file)),
      target_(target),
      pending_path_(std::move(pending_path)),
      identity_(files::identity_of(files::descriptor_of(file_.get()))) {}

std::optional<OutputTarget> OutputFile::find_target(const fs::path& path, OutputPolicy policy) {
    // A device's name (NUL, COM1, CONOUT$ on Windows) names no file that could be written, and
    // a name no folder holds could only fail at the final rename.
    if (!path.has_filename() || files::names_device(path) || files::name_refused(path)) {
        return std::nullopt;
    }
    const bool keep_private = policy == OutputPolicy::private_file;
    if (!keep_private && files::kind_behind(path) == files::Kind::other) {
        return OutputTarget{path, OutputPlacement::direct, policy};
    }
    // Through a symbolic link the file it names is replaced, as a plain write would.
    fs::path final_path = path;
    if (!keep_private && files::kind_at(path) == files::Kind::symlink) {
        final_path = files::resolve(path);
        if (final_path.empty()) return std::nullopt;
    }
    const auto kind = files::kind_at(final_path);
    if (kind == files::Kind::folder ||
        (keep_private && kind != files::Kind::missing && kind != files::Kind::regular)) {
        return std::nullopt;
    }
    if (name_too_long(final_path)) return std::nullopt;
    const bool replaceable = kind != files::Kind::regular || files::rename_may_replace(final_path);
    if (replaceable && can_make_beside(final_path)) {
        return OutputTarget{std::move(final_path), OutputPlacement::renamed, policy};
    }
    // No new file beside it, or none that could take its name: an existing file that may be
    // written is written over, as a plain write would.
    if (keep_private || kind != files::Kind::regular ||
        !files::open_existing_for_writing(final_path).valid()) {
        return std::nullopt;
    }
    return OutputTarget{std::move(final_path), OutputPlacement::in_place, policy};
}

std::optional<OutputFile> OutputFile::open(const OutputTarget& target) {
    if (target.placement != OutputPlacement::renamed) {
        auto file =
            stream_of(files::open_existing_for_writing(target.path), files::Direction::write);
        if (!file) return std::nullopt;
        return OutputFile(std::move(file), target, {});
    }
    const bool keep_private = target.policy == OutputPolicy::private_file;
    auto opened = create_pending(
        target.path, keep_private ? PENDING_PRIVATE_PREFIX : PENDING_OUTPUT_PREFIX, keep_private);
    if (!opened.file) return std::nullopt;
    return OutputFile(std::move(opened.file), target, std::move(opened.pending_path));
}

std::optional<OutputFile> OutputFile::adopt(files::Descriptor fd, const fs::path& path) {
    auto file = stream_of(std::move(fd), files::Direction::write);
    if (!file) return std::nullopt;
    return OutputFile(std::move(file),
                      OutputTarget{path, OutputPlacement::in_place, OutputPolicy::private_file},
                      {});
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : file_(std::move(other.file_)),
      target_(std::move(other.target_)),
      pending_path_(std::exchange(other.pending_path_, {})),
      identity_(other.identity_),
      finished_(std::exchange(other.finished_, false)),
      error_(other.error_) {}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
    if (this != &other) {
        discard();
        file_ = std::move(other.file_);
        target_ = std::move(other.target_);
        pending_path_ = std::exchange(other.pending_path_, {});
        identity_ = other.identity_;
        finished_ = std::exchange(other.finished_, false);
        error_ = other.error_;
    }
    return *this;
}

OutputFile::~OutputFile() {
    discard();
}

void OutputFile::discard() {
    file_.reset();
    // A pending file that cannot be removed is left as the private file it is.
    if (!pending_path_.empty()) static_cast<void>(files::remove_if_ours(pending_path_, identity_));
    pending_path_.clear();
}

bool OutputFile::write(std::span<const std::uint8_t> bytes) {
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_.get()) == bytes.size()) return true;
    error_ = errno;
    return false;
}

bool OutputFile::write_at(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    // Back to where writing was, not to the end: a file written in place may be longer.
    const auto position = files::tell(file_.get());
    return position && files::seek(file_.get(), offset) && write(bytes) &&
           files::seek(file_.get(), *position);
}

bool OutputFile::finish() {
    std::FILE* file = file_.release();
    if (file == nullptr) return false;
    const int fd = files::descriptor_of(file);
    bool finished = std::fflush(file) == 0 && std::ferror(file) == 0;
    if (finished && target_.placement == OutputPlacement::in_place) {
        // What is left of the old file past the new end goes.
        const auto end = files::tell(file);
        finished = end && files::truncate(file, *end);
    }
    // On the disk before it takes the name: a crash must not leave an empty file there.
    const bool to_disk = target_.policy == OutputPolicy::replace_atomically;
    if (finished && to_disk && files::is_regular(fd)) finished = files::flush_to_disk(fd);
    if (!finished) error_ = errno;
    if (std::fclose(file) != 0 && finished) {
        error_ = errno;
        finished = false;
    }
    if (!finished) discard();
    finished_ = finished;
    return finished;
}

bool OutputFile::put_in_place() {
    if (!finished_) return false;
    finished_ = false;
    bool placed = true;
    if (target_.placement == OutputPlacement::renamed) {
        placed = files::rename_into_place(pending_path_, target_.path);
        if (placed) pending_path_.clear();
        // The new name itself survives a crash only once its folder is on the disk too.
        const bool to_disk = target_.policy == OutputPolicy::replace_atomically;
        placed = placed && (!to_disk || files::flush_folder_of(target_.path));
        if (!placed) error_ = errno;
    }
    if (placed) pending_path_.clear();
    discard();
    return placed;
}

bool OutputFile::close() {
    return finish() && put_in_place();
}

bool InputFile::rewind() {
    return files::is_regular(files::descriptor_of(file_.get())) && files::seek(file_.get(), 0);
}

bool OutputFile::seekable() const {
    return file_ && files::is_regular(files::descriptor_of(file_.get()));
}

}  // namespace quorvel
