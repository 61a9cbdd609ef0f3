#include "container/file_stream.h"

#include <system_error>
#include <utility>

namespace quorvel {

namespace {

namespace fs = std::filesystem;

detail::FileHandle stream_of(files::Descriptor fd, bool for_writing) {
    if (!fd.valid()) return nullptr;
    return detail::FileHandle(files::open_stream(
        std::move(fd), for_writing ? files::Direction::write : files::Direction::read));
}

struct Opened {
    detail::FileHandle file;
    fs::path pending_path;  // empty unless written under a temporary name
};

// The prefixes of the temporary names: an output on its way, a private file on its way.
constexpr std::string_view PENDING_OUTPUT_PREFIX = ".quorvel-out-";
constexpr std::string_view PENDING_PRIVATE_PREFIX = ".quorvel-new-";

// A new file beside `final_path`, with the mode the finished file is to have.
Opened create_pending(const fs::path& final_path, std::string_view prefix, bool keep_private) {
    Opened opened;
    auto [fd, pending_path] = files::create_private_beside(final_path, prefix);
    opened.pending_path = std::move(pending_path);
    if (!fd.valid()) return {};
    if (!keep_private && !files::take_mode_of(fd.get(), final_path)) fd = files::Descriptor();
    opened.file = stream_of(std::move(fd), true);
    if (!opened.file) {
        std::error_code ignored;
        fs::remove(opened.pending_path, ignored);
        return {};
    }
    return opened;
}

}  // namespace

std::optional<InputFile> InputFile::open(const fs::path& path, bool follow_link) {
    auto file = stream_of(files::open_for_reading(path, follow_link ? files::FinalLink::follow
                                                                    : files::FinalLink::refuse),
                          false);
    if (!file) return std::nullopt;
    return InputFile(std::move(file));
}

std::optional<std::size_t> InputFile::read(std::span<std::uint8_t> buffer) {
    const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), file_.get());
    if (got == 0 && std::ferror(file_.get())) return std::nullopt;
    return got;
}

std::optional<std::uint64_t> InputFile::size() const {
    return files::regular_size(files::descriptor_of(file_.get()));
}

std::optional<files::Identity> InputFile::identity() const {
    return files::identity_of(files::descriptor_of(file_.get()));
}

OutputFile::OutputFile(detail::FileHandle file, fs::path final_path, fs::path pending_path,
                       Placement placement)
    : file_(std::move(file)),
      final_path_(std::move(final_path)),
      pending_path_(std::move(pending_path)),
      placement_(placement),
      identity_(files::identity_of(files::descriptor_of(file_.get()))) {}

std::optional<OutputFile> OutputFile::create(const fs::path& path, OutputPolicy policy) {
    if (!path.has_filename()) return std::nullopt;
    if (policy == OutputPolicy::private_file) {
        const auto kind = files::kind_at(path);
        if (kind != files::Kind::missing && kind != files::Kind::regular) return std::nullopt;
        auto opened = create_pending(path, PENDING_PRIVATE_PREFIX, true);
        if (!opened.file) return std::nullopt;
        return OutputFile(std::move(opened.file), path, std::move(opened.pending_path),
                          Placement::renamed);
    }
    if (files::kind_behind(path) == files::Kind::other) {
        auto file = stream_of(files::open_existing_for_writing(path), true);
        if (!file) return std::nullopt;
        return OutputFile(std::move(file), path, {}, Placement::direct);
    }
    // Through a symbolic link the file it names is replaced, as a plain write would.
    fs::path final_path = path;
    if (files::kind_at(path) == files::Kind::symlink) {
        final_path = files::resolve(path);
        if (final_path.empty()) return std::nullopt;
    }
    auto opened = create_pending(final_path, PENDING_OUTPUT_PREFIX, false);
    if (opened.file) {
        return OutputFile(std::move(opened.file), std::move(final_path),
                          std::move(opened.pending_path), Placement::renamed);
    }
    // No new file beside it (a folder that is not writable): an existing file that may be
    // written is written over, as a plain write would.
    if (files::kind_at(final_path) != files::Kind::regular) return std::nullopt;
    auto file = stream_of(files::open_existing_for_writing(final_path), true);
    if (!file) return std::nullopt;
    return OutputFile(std::move(file), std::move(final_path), {}, Placement::in_place);
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : file_(std::move(other.file_)),
      final_path_(std::move(other.final_path_)),
      pending_path_(std::exchange(other.pending_path_, {})),
      placement_(other.placement_),
      identity_(other.identity_) {}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
    if (this != &other) {
        discard();
        file_ = std::move(other.file_);
        final_path_ = std::move(other.final_path_);
        pending_path_ = std::exchange(other.pending_path_, {});
        placement_ = other.placement_;
        identity_ = other.identity_;
    }
    return *this;
}

OutputFile::~OutputFile() {
    discard();
}

void OutputFile::discard() {
    file_.reset();
    if (!pending_path_.empty()) {
        std::error_code ignored;
        if (identity_) {
            static_cast<void>(files::remove_if_same(pending_path_, *identity_));
        } else {
            fs::remove(pending_path_, ignored);
        }
    }
    pending_path_.clear();
}

bool OutputFile::write(std::span<const std::uint8_t> bytes) {
    return std::fwrite(bytes.data(), 1, bytes.size(), file_.get()) == bytes.size();
}

bool OutputFile::write_at(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    // Back to where writing was, not to the end: a file written in place may be longer.
    const auto position = files::tell(file_.get());
    return position && files::seek(file_.get(), offset) && write(bytes) &&
           files::seek(file_.get(), *position);
}

bool OutputFile::close() {
    std::FILE* file = file_.release();
    if (file == nullptr) return false;
    bool finished = std::fflush(file) == 0 && std::ferror(file) == 0;
    if (finished && placement_ == Placement::in_place) {
        // What is left of the old file past the new end goes.
        const auto end = files::tell(file);
        finished = end && files::truncate(file, *end);
    }
    finished = std::fclose(file) == 0 && finished;
    if (finished && placement_ == Placement::renamed) {
        finished = files::rename_into_place(pending_path_, final_path_);
    }
    if (finished) pending_path_.clear();
    discard();
    return finished;
}

bool InputFile::rewind() {
    return files::is_regular(files::descriptor_of(file_.get())) && files::seek(file_.get(), 0);
}

bool OutputFile::seekable() const {
    return file_ && files::is_regular(files::descriptor_of(file_.get()));
}

}  // namespace quorvel
