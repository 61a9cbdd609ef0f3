#include "support/vectors.h"

#include <array>
#include <bit>
#include <fstream>
#include <stdexcept>

namespace quorvel::test {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t MANIFEST_FIELDS = 6;

// Splits on every tab, so that an empty field (an empty password) stays a field.
std::vector<std::string> split_tabs(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
        fields.push_back(line.substr(start, tab - start));
    }
    fields.push_back(line.substr(start));
    return fields;
}

std::string from_hex(const std::string& hex) {
    if (hex.size() % 2 != 0) throw std::runtime_error("odd-length hex: " + hex);
    std::string bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

constexpr std::array<std::uint32_t, 64> ROUND_CONSTANTS = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

using Digest = std::array<std::uint32_t, 8>;

void compress(Digest& state, const std::uint8_t* chunk) {
    std::array<std::uint32_t, 64> w{};
    for (std::size_t i = 0; i < 16; ++i) {
        w[i] = std::uint32_t{chunk[4 * i]} << 24 | std::uint32_t{chunk[4 * i + 1]} << 16 |
               std::uint32_t{chunk[4 * i + 2]} << 8 | std::uint32_t{chunk[4 * i + 3]};
    }
    for (std::size_t i = 16; i < 64; ++i) {
        const std::uint32_t s0 =
            std::rotr(w[i - 15], 7) ^ std::rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const std::uint32_t s1 =
            std::rotr(w[i - 2], 17) ^ std::rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    auto [a, b, c, d, e, f, g, h] = state;
    for (std::size_t i = 0; i < 64; ++i) {
        const std::uint32_t t1 = h + (std::rotr(e, 6) ^ std::rotr(e, 11) ^ std::rotr(e, 25)) +
                                 ((e & f) ^ (~e & g)) + ROUND_CONSTANTS[i] + w[i];
        const std::uint32_t t2 =
            (std::rotr(a, 2) ^ std::rotr(a, 13) ^ std::rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    const Digest added{a, b, c, d, e, f, g, h};
    for (std::size_t i = 0; i < 8; ++i) state[i] += added[i];
}

}  // namespace

std::vector<VectorCase> load_vector_cases(const fs::path& folder) {
    std::ifstream manifest(folder / "manifest.tsv");
    if (!manifest) throw std::runtime_error("cannot read " + (folder / "manifest.tsv").string());
    std::vector<VectorCase> cases;
    for (std::string line; std::getline(manifest, line);) {
        if (line.empty() || line[0] == '#') continue;
        const auto f = split_tabs(line);
        if (f.size() != MANIFEST_FIELDS) throw std::runtime_error("bad manifest line: " + line);
        cases.push_back({f[0], folder / f[1], from_hex(f[2]),
                         f[3] == "-" ? std::nullopt : std::optional(folder / f[3]), folder / f[4],
                         f[5]});
    }
    return cases;
}

std::string sha256_hex(std::span<const std::uint8_t> bytes) {
    Digest state{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    const std::size_t whole = bytes.size() / 64 * 64;
    for (std::size_t at = 0; at < whole; at += 64) compress(state, bytes.data() + at);
    // The tail, the 0x80 marker, zeros, and the length in bits as a big-endian 64-bit number,
    // in one or two 64-byte chunks.
    std::array<std::uint8_t, 128> tail{};
    const std::size_t rest = bytes.size() - whole;
    std::copy(bytes.begin() + static_cast<std::ptrdiff_t>(whole), bytes.end(), tail.begin());
    tail[rest] = 0x80;
    const std::size_t tail_size = rest < 56 ? 64 : 128;
    const std::uint64_t bits = std::uint64_t{bytes.size()} * 8;
    for (std::size_t i = 0; i < 8; ++i) {
        tail[tail_size - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
    }
    for (std::size_t at = 0; at < tail_size; at += 64) compress(state, tail.data() + at);
    static constexpr char HEX[] = "0123456789abcdef";
    std::string hex;
    for (const std::uint32_t word : state) {
        for (int shift = 28; shift >= 0; shift -= 4) hex += HEX[(word >> shift) & 0xFu];
    }
    return hex;
}

}  // namespace quorvel::test
