#include "container/format.h"

#include <algorithm>
#include <array>
#include <system_error>

#include "console/console.h"
#include "container/file_stream.h"

namespace quorvel {

bool is_encrypted_file(const std::filesystem::path& path) {
    auto input = InputFile::open(path);
    std::error_code error;
    if (!input && std::filesystem::is_directory(path, error)) {
        // A folder opens on POSIX and only its reads fail, while Windows refuses to open it;
        // either way it is a plain input, which the archiver packs.
        print_text("Crypt run\n");
        return false;
    }
    if (!input) {
        print_named("Error! File '", display_name(path), "' not found.");
        return false;
    }
    // A short read, a read error (a folder, for one) and a mismatch all mean "not ours".
    std::array<std::uint8_t, SIGNATURE_SIZE> head{};
    std::size_t got = 0;
    while (got < head.size()) {
        const auto n = input->read(std::span(head).subspan(got));
        if (!n || *n == 0) break;
        got += *n;
    }
    const bool signed_file =
        got == SIGNATURE_SIZE && std::equal(head.begin(), head.end(), SIGNATURE.begin());
    if (!signed_file) print_text("Crypt run\n");
    return signed_file;
}

}  // namespace quorvel
