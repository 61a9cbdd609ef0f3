// Fuzz target for the WTF-8 conversions that carry Windows names as text: the input is read
// both as bytes and as 16-bit units (pairs of bytes, low byte first; an odd last byte is
// left out). Checked for every input, besides the sanitizers' findings:
// - bytes that decode come back unchanged from the units they decode to, so nothing but
//   what the encoder writes is taken (no overlong form, no surrogate pair spelled as two
//   surrogates, nothing past U+10FFFF);
// - any units, paired or not, encode to bytes that decode to the same units;
// - valid UTF-16 encodes to bytes that hold no surrogate at all, as plain UTF-8 must.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "console/wtf8.h"
#include "fuzz_support.h"

namespace quorvel::fuzz {

namespace {

bool is_surrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDFFF;
}

// True when every high surrogate is followed by a low one and every low one follows a high.
bool is_valid_utf16(std::u16string_view units) {
    for (std::size_t i = 0; i < units.size(); ++i) {
        if (!is_surrogate(units[i])) continue;
        const bool high = units[i] <= 0xDBFF;
        if (!high || i + 1 == units.size() || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) {
            return false;
        }
        ++i;
    }
    return true;
}

// Any encoded surrogate: the three-byte forms ED A0 80 .. ED BF BF.
bool holds_encoded_surrogate(std::string_view bytes) {
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i) {
        if (static_cast<std::uint8_t>(bytes[i]) == 0xED &&
            static_cast<std::uint8_t>(bytes[i + 1]) >= 0xA0) {
            return true;
        }
    }
    return false;
}

void check_bytes(std::string_view bytes) {
    const auto units = utf16_from_wtf8(bytes);
    if (!units) return;
    require(wtf8_from_utf16(*units) == bytes, "decoded bytes do not encode back to themselves");
}

void check_units(std::u16string_view units) {
    const std::string bytes = wtf8_from_utf16(units);
    const auto decoded = utf16_from_wtf8(bytes);
    require(decoded.has_value(), "encoded units do not decode");
    require(*decoded == units, "encoded units decode to other units");
    if (is_valid_utf16(units)) {
        require(!holds_encoded_surrogate(bytes), "valid UTF-16 encodes to a surrogate");
    }
}

}  // namespace

}  // namespace quorvel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quorvel::fuzz;
    check_bytes({reinterpret_cast<const char*>(data), size});
    std::u16string units(size / 2, u'\0');
    for (std::size_t i = 0; i < units.size(); ++i) {
        units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    }
    check_units(units);
    return 0;
}
