// What a run makes and cleans up, each with one owner: the round keys, wiped however the run
// ends; the temporary archive together with whatever its archiver made beside it; the
// output's file on its way to its name.
#pragma once

#include <filesystem>
#include <optional>
#include <utility>
#include <vector>

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

// How a run leaves the temporary archive.
enum class ArchiveFate {
    removed,  // the plaintext copy goes
    kept,     // left for the user to look into ("Decrypt WRONG!", a failed extraction)
};

// The temporary archive of a run, and every name "quorvelxxxfilo.7z.*" (volumes, say) that
// the run's archiver made beside it: they go, or stay, together.
class TempArchive {
public:
    // Takes charge of the archive's name, found free, before the archiver packs into it. The
    // names "quorvelxxxfilo.7z.*" there now are never taken for the run's.
    static TempArchive before_packing();

    // Takes charge of the file with `identity`, written under a temporary name, that is to
    // take the archive's name. Call under the InterruptsDeferred that made that file.
    static TempArchive to_be(const files::Identity& identity);

    // After the archiver ran, successfully or not: the names "quorvelxxxfilo.7z.*" it made
    // become the run's, and the archive at the name, if any, is recorded as the run's file.
    void after_packing();

    // The archive is at its name and `identity` is its file.
    void identify(const files::Identity& identity);

    // The one end of a run that made the archive. Removes the archive and the names the
    // archiver made, or keeps them, as `fate` says. Returns false when a file to be removed
    // stays, after saying which ("Error! Can't delete file '...'.").
    [[nodiscard]] bool settle(ArchiveFate fate);

private:
    explicit TempArchive(TemporaryFile archive) : archive_(std::move(archive)) {}

    TemporaryFile archive_;
    std::vector<std::filesystem::path> names_before_;
    std::vector<std::pair<std::filesystem::path, files::Identity>> made_beside_;
};

// Opens the output at `target`. A file made under a temporary name gets `owner`, which
// removes it unless it is committed once the output is in place. Nullopt when the output
// cannot be opened.
std::optional<OutputFile> open_output(const OutputTarget& target,
                                      std::optional<TemporaryFile>& owner);

}  // namespace quorvel
