#include "support/test_support.h"

#ifndef _WIN32
#include <cstdlib>  // mkdtemp, on POSIX
#endif

#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace quorvel::test {

namespace fs = std::filesystem;

Bytes read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void write_file(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

void write_file(const fs::path& path, const std::string& text) {
    write_file(path, to_bytes(text));
}

Bytes to_bytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes random_bytes(std::size_t count, std::uint32_t seed) {
    std::mt19937 generator(seed);
    Bytes bytes(count);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(generator());
    return bytes;
}

ScratchDir::ScratchDir() {
#ifdef _WIN32
    // No mkdtemp: a random name, taken only if create_directory made it anew.
    std::random_device seed;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
        const auto candidate =
            fs::temp_directory_path() / ("quorvel-test-" + std::to_string(seed()));
        if (fs::create_directory(candidate)) path_ = candidate;
    }
    if (path_.empty()) throw std::runtime_error("cannot make a scratch folder");
#else
    std::string pattern = (fs::temp_directory_path() / "quorvel-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
#endif
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

}  // namespace quorvel::test
