#include "internal/preflight.h"

#include <cerrno>
#include <optional>

#include "app/messages/messages.h"
#include "app/process/archiver.h"
#include "app/process/process.h"
#include "app/signals/interrupt_cleanup.h"
#include "files/files.h"

namespace quorvel {

namespace {

namespace fs = std::filesystem;

constexpr int STANDARD_OUTPUT = 1;
constexpr int STANDARD_ERROR = 2;

const fs::path TEMP_ARCHIVE_PATH(TEMP_ARCHIVE_NAME);

// True when `a` and `b` name one file: the same file now, or the same name once every
// symbolic link is followed (a dangling one included, as writing through it would create
// the file it names).
bool same_file_or_name(const fs::path& a, const fs::path& b) {
    if (files::same_file(a, b)) return true;
    const fs::path resolved = files::resolve(a);
    return !resolved.empty() && resolved == files::resolve(b);
}

// True when `fd` is a descriptor of this process that the user opened: not one closed at the
// start, which the program has opened itself (standard descriptors on the null device, the
// folder lock, ...).
bool descriptor_given_by_user(std::optional<int> fd) {
    return !fd || (files::descriptor_is_open(*fd) && !reopened_at_start(*fd));
}

// True when `path` is a symbolic link to a name where nothing is: a mistyped link, say, which
// is not made to create a file where it points.
bool link_dangles(const fs::path& path) {
    return files::kind_at(path) == files::Kind::symlink &&
           files::kind_behind(path) == files::Kind::missing;
}

// True when `path` leads to the file standard descriptor `fd` writes to, as the user gave it.
bool leads_to_standard(const fs::path& path, int fd) {
    return !reopened_at_start(fd) && files::leads_to_open_file(path, fd);
}

}  // namespace

OutputStanding look_at_output(const NamedFile& output) {
    OutputStanding standing;
    standing.descriptor_given = descriptor_given_by_user(files::descriptor_named(output.path));
    if (!standing.descriptor_given) return standing;
    standing.is_standard_output = leads_to_standard(output.path, STANDARD_OUTPUT);
    standing.is_standard_error = leads_to_standard(output.path, STANDARD_ERROR);
    return standing;
}

Step temp_archive_free_for_packing(const RunArguments& args) {
    const auto kind = files::kind_at(TEMP_ARCHIVE_PATH);
    if (kind != files::Kind::missing && kind != files::Kind::unknown) {
        return say::temp_archive_exists(TEMP_ARCHIVE_NAME);
    }
    if (same_file_or_name(args.output.path, TEMP_ARCHIVE_PATH)) {
        return say::output_is_temp_archive(args.output.typed);
    }
    return Done{};
}

Step temp_archive_free_for_decrypting(const RunArguments& args) {
    if (files::same_file(args.input.path, TEMP_ARCHIVE_PATH)) {
        return say::input_is_temp_archive(args.input.typed);
    }
    const auto kind = files::kind_at(TEMP_ARCHIVE_PATH);
    if (kind != files::Kind::missing && kind != files::Kind::regular) {
        return say::temp_archive_not_regular(TEMP_ARCHIVE_NAME);
    }
    return Done{};
}

OrReported<fs::path> locate_archiver() {
    if (auto archiver = find_archiver()) return *archiver;
    return say::archiver_not_found(archiver_names());
}

Step input_is_packable(const RunArguments& args) {
    // A missing input does not get here: the signature probe has refused it already.
    if (files::kind_behind(args.input.path) != files::Kind::other) return Done{};
    return say::input_not_packable(args.input.typed);
}

Step output_stands_apart(const RunArguments& args, const OutputStanding& standing) {
    if (standing.is_standard_output) return say::output_is_standard_output(args.output.typed);
    if (standing.is_standard_error) return say::output_is_standard_error(args.output.typed);
    // The encrypted bytes would fill the screen and mean nothing there.
    if (files::leads_to_terminal(args.output.path))
        return say::output_is_terminal(args.output.typed);
    // A folder input named as the output is a folder there, refused as an output that cannot
    // be written.
    if (files::kind_behind(args.input.path) != files::Kind::folder &&
        same_file_or_name(args.output.path, args.input.path)) {
        return say::output_is_input(args.output.typed);
    }
    return Done{};
}

Step key_file_stands_apart(const RunArguments& args, RunMode mode) {
    if (!args.key_file) return Done{};
    const NamedFile& key_file = *args.key_file;
    if (mode == RunMode::encrypt && same_file_or_name(key_file.path, args.output.path)) {
        return say::key_file_is_output(key_file.typed);
    }
    if (same_file_or_name(key_file.path, args.input.path)) {
        return say::key_file_is_input(key_file.typed);
    }
    // A pipe is read as a key when decrypting, but not the run's own standard output or error:
    // it would wait for bytes only the run itself could write.
    const bool own_pipe =
        files::leads_to_pipe(key_file.path) && (leads_to_standard(key_file.path, STANDARD_OUTPUT) ||
                                                leads_to_standard(key_file.path, STANDARD_ERROR));
    if (own_pipe) return say::key_file_fault({KeyFileFault::Kind::not_regular, key_file.path});
    const bool uses_temp_archive = mode == RunMode::encrypt || mode == RunMode::decrypt;
    if (uses_temp_archive && same_file_or_name(key_file.path, TEMP_ARCHIVE_PATH)) {
        return say::key_file_is_temp_archive(key_file.typed);
    }
    return Done{};
}

OrReported<OutputTarget> output_target(const RunArguments& args, const OutputStanding& standing) {
    std::optional<OutputTarget> target;
    if (standing.descriptor_given && !link_dangles(args.output.path)) {
        const InterruptsDeferred deferred;  // the folder is tried with a file made and removed
        target = OutputFile::find_target(args.output.path, OutputPolicy::replace_atomically);
    }
    if (target) return *target;
    const int error = standing.descriptor_given ? files::creation_error(args.output.path) : EBADF;
    return say::file_fault({FileFault::Kind::cannot_create, args.output.path, error});
}

}  // namespace quorvel
