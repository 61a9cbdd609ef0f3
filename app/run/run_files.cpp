#include "internal/run_files.h"

#include <algorithm>
#include <span>
#include <system_error>

#include "app/messages/messages.h"
#include "app/process/archiver.h"
#include "app/signals/interrupt_cleanup.h"
#include "cipher/secure_wipe.h"

namespace quorvel {

namespace {

namespace fs = std::filesystem;

const fs::path TEMP_ARCHIVE_PATH(TEMP_ARCHIVE_NAME);

// The names in the current folder that start with the archive's name and a dot: what an
// archiver makes beside an archive (volumes ".001", ".002", ...; a ".tmp" while updating).
std::vector<fs::path> names_beside_archive() {
    const fs::path prefix(std::string(TEMP_ARCHIVE_NAME) + ".");
    std::vector<fs::path> names;
    std::error_code error;
    for (fs::directory_iterator entry(".", error), end; !error && entry != end;
         entry.increment(error)) {
        const fs::path name = entry->path().filename();
        if (name.native().starts_with(prefix.native())) names.push_back(name);
    }
    return names;
}

}  // namespace

RunKeys::~RunKeys() {
    secure_wipe(std::as_writable_bytes(std::span(table_)));
}

TempArchive TempArchive::before_packing() {
    // The name was free and the folder is this run's: what the archiver makes there is ours.
    TempArchive archive(TemporaryFile::claim(TEMP_ARCHIVE_PATH));
    archive.names_before_ = names_beside_archive();
    return archive;
}

TempArchive TempArchive::to_be(const files::Identity& identity) {
    return TempArchive(TemporaryFile::adopt(TEMP_ARCHIVE_PATH, identity));
}

void TempArchive::after_packing() {
    for (const auto& name : names_beside_archive()) {
        if (std::ranges::find(names_before_, name) != names_before_.end()) continue;
        if (const auto identity = files::identity_at(name))
            made_beside_.emplace_back(name, *identity);
    }
    if (const auto identity = files::identity_at(TEMP_ARCHIVE_PATH)) archive_.identify(*identity);
}

void TempArchive::identify(const files::Identity& identity) {
    archive_.identify(identity);
}

bool TempArchive::settle(ArchiveFate fate) {
    if (fate == ArchiveFate::kept) {
        archive_.commit();
        return true;
    }
    bool all_gone = archive_.remove();
    if (!all_gone) say::temp_archive_not_deleted(TEMP_ARCHIVE_NAME);
    for (const auto& [name, identity] : made_beside_) {
        if (files::remove_if_same(name, identity)) continue;
        say::temp_archive_not_deleted(name.string());
        all_gone = false;
    }
    made_beside_.clear();
    return all_gone;
}

std::optional<OutputFile> open_output(const OutputTarget& target,
                                      std::optional<TemporaryFile>& owner) {
    // A device or a file written in place is no temporary file; opening a pipe may wait for
    // its reader, which must not happen while interrupts are held off.
    if (target.placement != OutputPlacement::renamed) {
        // Held while the output opens, so that a FIFO's reader does not see the end meanwhile.
        const files::Descriptor reader_waited_for = files::wait_for_reader(target.path);
        return OutputFile::open(target);
    }
    const InterruptsDeferred deferred;
    auto output = OutputFile::open(target);
    if (!output) return std::nullopt;
    if (!output->identity()) {
        std::error_code ignored;
        fs::remove(output->pending_path(), ignored);
        return std::nullopt;
    }
    owner.emplace(TemporaryFile::adopt(output->pending_path(), *output->identity()));
    return output;
}

}  // namespace quorvel
