// The 7-Zip command-line archiver around the cipher stage: it packs the input into the
// temporary archive and extracts the archive again, or tests or lists a decrypted archive. The
// archive's files are owned by the run (app/run), not here.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "app/messages/messages.h"
#include "app/process/process.h"

namespace quorvel {

// What the archiver does in a run: packs the input before encryption, extracts the archive
// after decryption, or tests or lists the archive after a decryption that extracts nothing.
enum class ArchiverJob { pack, unpack, check };

// The archiver's names, in the order they are looked for.
[[nodiscard]] std::span<const std::string_view> archiver_names();

// The first archiver found (see find_program), or nullopt.
[[nodiscard]] std::optional<std::filesystem::path> find_archiver();

// Packs `input` (a file or a folder) into the new archive `archive`, the input's name taken
// literally (no wildcards), with the user's `switches` after the fixed ones. The folder that
// holds `archive` (a name of the run's own) is never packed, even when `input` holds it.
// Returns how the archiver ended: succeeded() when it ran and reported success; not started
// when the input is gone.
[[nodiscard]] ProcessResult pack_into(const std::filesystem::path& archiver,
                                      const std::filesystem::path& archive, std::string_view input,
                                      std::span<const std::string> switches,
                                      const std::function<bool()>& clear_archive);

// Extracts `archive` into the current folder, answering yes to every question, with the
// user's `switches` after the fixed ones. Returns how the archiver ended.
[[nodiscard]] ProcessResult unpack(const std::filesystem::path& archiver,
                                   const std::filesystem::path& archive,
                                   std::span<const std::string> switches);

// What the archiver is asked about an archive without extracting anything.
enum class ArchiveCheck {
    test,  // "t": every file read and checked against its CRC
    list,  // "l": the names, sizes and dates of its files
};

// Has the archiver test or list `archive`, as `check` says, its name taken literally, with the
// user's `switches` after the fixed ones; its report goes to standard output. The archive is
// only read. Returns how the archiver ended; for a test, success means every file read back
// whole.
[[nodiscard]] ProcessResult check_archive(const std::filesystem::path& archiver,
                                          const std::filesystem::path& archive, ArchiveCheck check,
                                          std::span<const std::string> switches);

// How an archiver's run ended, for the messages.
[[nodiscard]] ArchiverEnding ending_of(const ProcessResult& result);

// Each is run a second time when standard output went away while the archiver ran and it
// failed, as a closed output may have stopped it (process.h: ProcessResult::lost_output);
// pack_into() first calls `clear_archive`, which removes what the stopped run wrote and
// returns false when it could not (no second run then).

}  // namespace quorvel
