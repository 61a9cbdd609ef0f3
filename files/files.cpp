#include <system_error>

#include "files/files.h"

namespace quorvel::files {

namespace fs = std::filesystem;

namespace {

Kind kind_of(const fs::file_status& status) {
    switch (status.type()) {
        case fs::file_type::not_found:
            return Kind::missing;
        case fs::file_type::regular:
            return Kind::regular;
        case fs::file_type::directory:
            return Kind::folder;
        case fs::file_type::symlink:
            return Kind::symlink;
        case fs::file_type::none:
        case fs::file_type::unknown:
            return Kind::unknown;
        default:
            return Kind::other;
    }
}

bool is_link(const fs::path& path) {
    std::error_code ignored;
    return fs::is_symlink(fs::symlink_status(path, ignored));
}

// Far more links than any real chain; a loop ends here.
constexpr int MAX_LINKS = 40;

}  // namespace

Kind kind_at(const fs::path& path) {
    if (names_device(path)) return Kind::other;
    std::error_code error;
    return kind_of(fs::symlink_status(path, error));
}

Kind kind_behind(const fs::path& path) {
    if (names_device(path)) return Kind::other;
    std::error_code error;
    return kind_of(fs::status(path, error));
}

bool same_file(const fs::path& a, const fs::path& b) {
    std::error_code error;
    return fs::equivalent(a, b, error) && !error;
}

fs::path resolve(const fs::path& path) {
    std::error_code error;
    if (path.empty()) return {};
    fs::path current = fs::absolute(path, error);
    if (error) return {};
    for (int links = 0; links < MAX_LINKS; ++links) {
        // The folder part resolves as far as it exists; the last name is followed by hand,
        // since a link to a missing name counts as that name.
        const fs::path folder = fs::weakly_canonical(current.parent_path(), error);
        if (error) return {};
        const fs::path here = folder / current.filename();
        if (!is_link(here)) return here.lexically_normal();
        const fs::path target = fs::read_symlink(here, error);
        if (error) return {};
        current = target.is_absolute() ? target : folder / target;
    }
    return {};
}

}  // namespace quorvel::files
