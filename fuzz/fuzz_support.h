// Shared pieces of the fuzz targets: the entry prologue, in-memory streams, a per-process
// scratch folder, and a way to stop on a broken property that libFuzzer records as a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "container/byte_stream.h"
#include "support/memory_streams.h"

// The libFuzzer entry point each target defines; the replay program calls it too.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace quorvel::fuzz {

// The tests' in-memory streams.
using test::Bytes;
using test::MemorySink;
using test::MemorySource;

// libFuzzer's input as every target starts from it: the bytes, and a scratch file that holds
// them.
struct FuzzInput {
    std::span<const std::uint8_t> bytes;
    std::filesystem::path file;
};

// The prologue of every target: writes the input's `size` bytes at `data` to the scratch file
// `file_name`. The libraries under test print nothing, so the fuzzer's console stays quiet.
FuzzInput take_input(const std::uint8_t* data, std::size_t size, std::string_view file_name);

// A path named `name` in a folder of this process's own, made on first use and removed with
// everything in it when the process exits normally.
std::filesystem::path scratch_path(std::string_view name);

// Writes `bytes` to `path`, replacing it. Stops the process when that fails.
void write_file(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

// The whole contents of `path`. Stops the process when it cannot be read.
Bytes read_file(const std::filesystem::path& path);

// Runs `action` with the process's standard output going to a scratch file, and returns what
// it printed there: for the parts of the top layer that print their refusals.
std::string printed_by(const std::function<void()>& action);

// Prints "property failed: <what>" to standard error and aborts, which libFuzzer reports as
// a crash and saves the input for.
[[noreturn]] void fail(std::string_view what);

// Calls fail(what) unless `holds`.
inline void require(bool holds, std::string_view what) {
    if (!holds) fail(what);
}

}  // namespace quorvel::fuzz
