// The 7-Zip command-line archiver around the cipher stage, and the temporary archive it
// packs into and unpacks from.
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quorvel {

// The temporary archive, in the current folder. It holds a plaintext copy of the data.
inline constexpr std::string_view TEMP_ARCHIVE_NAME = "quorvelxxxfilo.7z";

// What the archiver does in a run: packs the input before encryption, or extracts the archive
// after decryption.
enum class ArchiverJob { pack, unpack };

// The archiver's names, in the order they are looked for.
std::span<const std::string_view> archiver_names();

// The first archiver found (see find_program), or nullopt.
std::optional<std::filesystem::path> find_archiver();

// Packs `input` (a file or a folder) into the temporary archive, the name taken literally
// (no wildcards), with the user's `switches` after the fixed ones. Returns true when `input`
// exists and the archiver ran and reported success.
bool pack_into_temp_archive(const std::filesystem::path& archiver, std::string_view input,
                            std::span<const std::string> switches);

// Extracts the temporary archive into the current folder, answering yes to every question,
// with the user's `switches` after the fixed ones. Returns true when the archiver ran and
// reported success.
// Either is run a second time when standard output went away while the archiver ran and it
// failed, as a closed output may have stopped it (process.h: ProcessResult::lost_output).
bool unpack_temp_archive(const std::filesystem::path& archiver,
                         std::span<const std::string> switches);

// Removes the temporary archive if it exists. Returns false only when it exists and
// could not be removed.
bool remove_temp_archive();

}  // namespace quorvel
