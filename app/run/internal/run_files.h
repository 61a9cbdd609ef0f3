// What a run makes and cleans up, each file with one owner: the round keys, wiped however the
// run ends; the private folder an encryption packs into, with the archive in it; the archive a
// decryption extracts from; the archive a test or a listing reads; the output on its way to
// its name (owned by its OutputFile, and
// only registered here for the interrupt cleanup).
#pragma once

#include <filesystem>
#include <optional>

#include "app/messages/outcome.h"
#include "app/signals/temporary_file.h"
#include "cipher/key_schedule.h"
#include "container/file_stream.h"
#include "files/files.h"

namespace quorvel {

// The run's round keys, wiped when the run ends.
class RunKeys {
public:
    RunKeys() = default;
    ~RunKeys();
    RunKeys(const RunKeys&) = delete;
    RunKeys& operator=(const RunKeys&) = delete;

    RoundKeyTable& table() { return table_; }
    const RoundKeyTable& table() const { return table_; }

private:
    RoundKeyTable table_{};
};

// The folder an encryption's archiver packs into, ".quorvel-pack-XXXXXX" in the current
// folder, and everything in it: the temporary archive "quorvelxxxfilo.7z" and whatever the
// archiver makes beside it. The archiver creates the archive itself, with the access the
// folder passes on: on POSIX the folder's mode lets only the user in, whatever mode the
// folder's default access list gives the archive (which no umask narrows); on Windows the
// folder's protected access list lets in only the user and passes to the archive as it is
// created. Nobody else can read it at any moment. Removed, with all it holds, when the owner
// goes, and by the interrupt cleanup.
class PackingFolder {
public:
    // Makes the folder; nullopt when it cannot be made (a folder the user cannot write).
    [[nodiscard]] static std::optional<PackingFolder> make();

    // Where the archiver is to write the archive.
    const std::filesystem::path& archive() const { return archive_; }

    // Removes what an archiver stopped halfway wrote, so that it can start again. Returns
    // false when the archive stays.
    [[nodiscard]] bool clear() const;

    // Removes the folder and all it holds now. Fails after "Error! Can't delete file '...'."
    // when they stay.
    [[nodiscard]] Step remove();

private:
    PackingFolder(TemporaryFile folder, std::filesystem::path archive)
        : folder_(std::move(folder)), archive_(std::move(archive)) {}

    TemporaryFile folder_;
    std::filesystem::path archive_;
};

// How a decryption leaves its temporary archive.
enum class ArchiveFate {
    removed,  // the plaintext copy goes
    kept,     // left for the user to look into ("Decrypt WRONG!", a failed extraction)
};

// A decryption's temporary archive, "quorvelxxxfilo.7z" in the current folder: written under
// a temporary name (as a pending output) and renamed to its name once complete.
class TempArchive {
public:
    // Takes charge of the file with `identity`, written under a temporary name, that is to
    // take the archive's name. Call under the InterruptsDeferred that made that file.
    [[nodiscard]] static TempArchive to_be(const files::Identity& identity);

    // The path the archive has once in place.
    [[nodiscard]] static std::filesystem::path path();

    // The file has taken the archive's name: held open from here, so that its identity stays
    // its own.
    void in_place();

    // The one end of a decryption's archive: removed or kept, as `fate` says. Fails after
    // saying "Error! Can't delete file '...'." when it is to be removed and stays.
    [[nodiscard]] Step settle(ArchiveFate fate);

private:
    TempArchive(TemporaryFile archive, const files::Identity& identity)
        : archive_(std::move(archive)), identity_(identity) {}

    TemporaryFile archive_;
    files::Identity identity_;
};

// The archive a test or a listing decrypts into, for the archiver to read: a new file named
// "quorvel-check-" and a random number in the user's temporary folder
// (files::temporary_folder), never in the current folder or beside the input. It is private
// from the moment it exists: on POSIX readable by its owner only, whatever a default access
// list says; on Windows it takes the temporary folder's access list, which is the user's own.
// Removed, whatever the run's outcome, when the owner goes, and by the interrupt cleanup.
class ScratchArchive {
public:
    // Makes the file; nullopt when the temporary folder takes no new file. `output` is then
    // the open file to write it through.
    [[nodiscard]] static std::optional<ScratchArchive> make(std::optional<OutputFile>& output);

    const std::filesystem::path& path() const { return file_.path(); }

    // Removes it now. Fails after "Error! Can't delete file '...'." when it stays.
    [[nodiscard]] Step remove();

private:
    explicit ScratchArchive(TemporaryFile file) : file_(std::move(file)) {}

    TemporaryFile file_;
};

// An output open at its target, its file on the interrupt cleanup's list while it is on its
// way to its name. The file goes into a FilePair, which closes it; `registered` stays with the
// caller until then.
struct OpenedOutput {
    OutputFile file;
    std::optional<RemovedOnInterrupt> registered;
};

// Opens the output at `target`; nullopt when it cannot be opened.
[[nodiscard]] std::optional<OpenedOutput> open_output(const OutputTarget& target);

}  // namespace quorvel
