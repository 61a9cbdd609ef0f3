// Shared helpers of the test programs that need nothing of this project: files, scratch
// folders and random bytes. Every test program links them; the helpers tied to a library sit
// beside them (cipher_inputs.h, memory_streams.h), and the runner of the built program in
// program_runs.h, so that a library's tests build without the program.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "support/bytes.h"

namespace quorvel::test {

Bytes read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const Bytes& bytes);
void write_file(const std::filesystem::path& path, const std::string& text);
Bytes to_bytes(const std::string& text);
Bytes random_bytes(std::size_t count, std::uint32_t seed);

// A fresh empty folder, removed with everything in it when the object goes.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

}  // namespace quorvel::test
