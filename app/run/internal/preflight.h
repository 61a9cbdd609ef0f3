// The checks a run makes before it touches anything: each fails after telling the user why,
// and a run that passes them all has refused every output, key file and temporary-archive
// name that would cost data, and knows where its output goes.
#pragma once

#include <filesystem>

#include "app/messages/outcome.h"
#include "app/run/direction.h"
#include "container/file_stream.h"
#include "internal/arguments.h"

namespace quorvel {

// What the output's name stands for among the descriptors the program started with. Looked
// at first, before the run opens a file of its own that could take a number the name gives.
struct OutputStanding {
    // False when the name is /dev/fd/N (or the like) for an N that was closed at the start:
    // the program's own descriptor would get the output.
    bool descriptor_given = true;
    bool is_standard_output = false;  // it leads to the file standard output writes to
    bool is_standard_error = false;   // it leads to the file standard error writes to
};
[[nodiscard]] OutputStanding look_at_output(const NamedFile& output);

// The temporary archive's name in the current folder holds nothing an encryption would take
// for its own (an archive left by an earlier run), and the output is not that name.
[[nodiscard]] Step temp_archive_free_for_packing(const RunArguments& args);

// The input is not the temporary archive, which decryption replaces, and the archive's name
// holds nothing but a regular file, if anything.
[[nodiscard]] Step temp_archive_free_for_decrypting(const RunArguments& args);

// The archiver to run.
[[nodiscard]] OrReported<std::filesystem::path> locate_archiver();

// The input is a file or a folder: the archiver packs a device or a pipe as an empty entry.
[[nodiscard]] Step input_is_packable(const RunArguments& args);

// The output is neither the input, which the finished output would replace, nor standard
// output or standard error, where the messages would mix into it.
[[nodiscard]] Step output_stands_apart(const RunArguments& args, const OutputStanding& standing);

// The key file, if any, is no file the run reads, replaces or creates: the input, the output
// (encryption), the temporary archive (encryption and decryption; a test or a listing does not
// use that name). Replacing it would lose the key. Nor is it the pipe of the run's own standard
// output or error, which would never give a byte.
[[nodiscard]] Step key_file_stands_apart(const RunArguments& args, RunMode mode);

// Where the output goes, resolved and tried before anything is packed: an output that cannot
// be written is found before all the work, not after it.
[[nodiscard]] OrReported<OutputTarget> output_target(const RunArguments& args,
                                                     const OutputStanding& standing);

}  // namespace quorvel
