#include "internal/run_files.h"

#include <span>
#include <string>
#include <utility>

#include "app/messages/messages.h"
#include "app/signals/interrupt_cleanup.h"
#include "cipher/secure_wipe.h"
#include "console/console.h"

namespace quorvel {

namespace {

namespace fs = std::filesystem;

// The packing folder's name before its random part.
constexpr std::string_view PACKING_FOLDER_PREFIX = ".quorvel-pack-";

// The name of a test's or a listing's archive before its random part.
constexpr std::string_view SCRATCH_PREFIX = "quorvel-check-";

}  // namespace

RunKeys::~RunKeys() {
    secure_wipe(std::as_writable_bytes(std::span(table_)));
}

std::optional<PackingFolder> PackingFolder::make() {
    const InterruptsDeferred deferred;  // made and registered with no interrupt between
    const auto folder =
        files::create_private_folder_beside(fs::path(TEMP_ARCHIVE_NAME), PACKING_FOLDER_PREFIX);
    if (!folder) return std::nullopt;
    return PackingFolder(TemporaryFile::adopt(folder->path, folder->identity),
                         folder->path / TEMP_ARCHIVE_NAME);
}

bool PackingFolder::clear() const {
    // The folder is the run's and nobody else's: whatever is at the name is the archiver's.
    return files::remove_if_ours(archive_, std::nullopt);
}

Step PackingFolder::remove() {
    if (folder_.remove()) return Done{};
    return say::temp_archive_not_deleted(folder_.path().string());
}

TempArchive TempArchive::to_be(const files::Identity& identity) {
    return TempArchive(TemporaryFile::adopt(path(), identity), identity);
}

fs::path TempArchive::path() {
    return fs::path(TEMP_ARCHIVE_NAME);
}

void TempArchive::in_place() {
    archive_.identify(identity_);
}

Step TempArchive::settle(ArchiveFate fate) {
    if (fate == ArchiveFate::kept) {
        archive_.commit();
        return Done{};
    }
    if (archive_.remove()) return Done{};
    return say::temp_archive_not_deleted(TEMP_ARCHIVE_NAME);
}

std::optional<ScratchArchive> ScratchArchive::make(std::optional<OutputFile>& output) {
    const fs::path folder = files::temporary_folder();
    // No folder is no reason to write into the current one.
    if (folder.empty()) return std::nullopt;
    std::optional<ScratchArchive> archive;
    {
        const InterruptsDeferred deferred;  // made and registered with no interrupt between
        files::NewFile made = files::create_private_beside(folder / "archive", SCRATCH_PREFIX);
        const auto identity = made.fd.valid() ? files::identity_of(made.fd.get()) : std::nullopt;
        if (!identity) {
            // One that stays is an empty private file: nothing is lost with it.
            if (made.fd.valid()) static_cast<void>(files::remove_if_ours(made.path, std::nullopt));
            return std::nullopt;
        }
        archive.emplace(ScratchArchive(TemporaryFile::adopt(made.path, *identity)));
        output = OutputFile::adopt(std::move(made.fd), made.path);
    }
    if (!output) return std::nullopt;  // the archive goes with its owner
    return archive;
}

Step ScratchArchive::remove() {
    if (file_.remove()) return Done{};
    return say::temp_archive_not_deleted(display_name(file_.path()));
}

std::optional<OpenedOutput> open_output(const OutputTarget& target) {
    // A device or a file written in place is no temporary file; opening a pipe may wait for
    // its reader, which must not happen while interrupts are held off.
    if (target.placement != OutputPlacement::renamed) {
        // Held while the output opens, so that a FIFO's reader does not see the end meanwhile.
        const files::Descriptor reader_waited_for = files::wait_for_reader(target.path);
        auto output = OutputFile::open(target);
        if (!output) return std::nullopt;
        return OpenedOutput{std::move(*output), std::nullopt};
    }
    const InterruptsDeferred deferred;  // made and registered with no interrupt between
    auto output = OutputFile::open(target);
    if (!output || !output->identity()) return std::nullopt;
    std::optional<RemovedOnInterrupt> registered;
    registered.emplace(output->pending_path(), *output->identity());
    return OpenedOutput{std::move(*output), std::move(registered)};
}

}  // namespace quorvel
