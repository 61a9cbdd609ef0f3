#include "console/wtf8.h"

#include <cstdint>

namespace quorvel {

namespace {

bool is_high_surrogate(char32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool is_low_surrogate(char32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

void append_code_point(std::string& out, char32_t c) {
    const auto byte = [&out](char32_t value) { out.push_back(static_cast<char>(value)); };
    if (c < 0x80) {
        byte(c);
    } else if (c < 0x800) {
        byte(0xC0 | (c >> 6));
        byte(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        byte(0xE0 | (c >> 12));
        byte(0x80 | ((c >> 6) & 0x3F));
        byte(0x80 | (c & 0x3F));
    } else {
        byte(0xF0 | (c >> 18));
        byte(0x80 | ((c >> 12) & 0x3F));
        byte(0x80 | ((c >> 6) & 0x3F));
        byte(0x80 | (c & 0x3F));
    }
}

void append_units(std::u16string& out, char32_t c) {
    if (c < 0x10000) {
        out.push_back(static_cast<char16_t>(c));
        return;
    }
    c -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
}

// The code point of the sequence that starts at bytes[at], moving `at` past it; nullopt for
// an ill-formed or overlong sequence.
std::optional<char32_t> next_code_point(std::string_view bytes, std::size_t& at) {
    const auto lead = static_cast<std::uint8_t>(bytes[at]);
    std::size_t length = 0;
    char32_t c = 0;
    char32_t smallest = 0;
    if (lead < 0x80) {
        ++at;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, c = lead & 0x1F, smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, c = lead & 0x0F, smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, c = lead & 0x07, smallest = 0x10000;
    } else {
        return std::nullopt;
    }
    if (bytes.size() - at < length) return std::nullopt;
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<std::uint8_t>(bytes[at + i]);
        if ((next & 0xC0) != 0x80) return std::nullopt;
        c = (c << 6) | (next & 0x3F);
    }
    if (c < smallest || c > 0x10FFFF) return std::nullopt;
    at += length;
    return c;
}

}  // namespace

std::string wtf8_from_utf16(std::u16string_view units) {
    std::string out;
    out.reserve(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        char32_t c = units[i];
        if (is_high_surrogate(c) && i + 1 < units.size() && is_low_surrogate(units[i + 1])) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        }
        append_code_point(out, c);
    }
    return out;
}

std::optional<std::u16string> utf16_from_wtf8(std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    bool after_high_surrogate = false;
    for (std::size_t at = 0; at < bytes.size();) {
        const auto c = next_code_point(bytes, at);
        if (!c) return std::nullopt;
        // A pair written as two surrogates would decode to the same units as its four-byte
        // form; accepting it would give one name two spellings.
        if (after_high_surrogate && is_low_surrogate(*c)) return std::nullopt;
        after_high_surrogate = is_high_surrogate(*c);
        append_units(out, *c);
    }
    return out;
}

}  // namespace quorvel
