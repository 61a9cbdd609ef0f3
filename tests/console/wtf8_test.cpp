#include "console/wtf8.h"

#include <gtest/gtest.h>

#include <string>

namespace quorvel {
namespace {

struct Known {
    const char* label;
    std::u16string units;
    std::string bytes;
};

// Each row: 16-bit units and their WTF-8, byte for byte; valid UTF-16 gives plain UTF-8.
const Known KNOWN[] = {
    {"empty", u"", ""},
    {"ASCII", u"a b&c.txt", "a b&c.txt"},
    {"two bytes", u"caf\u00e9", "caf\xc3\xa9"},
    {"three bytes", u"\u8ba1\u5212", "\xe8\xae\xa1\xe5\x88\x92"},
    {"last of the BMP", u"\uffff", "\xef\xbf\xbf"},
    {"surrogate pair", u"\U0001F600", "\xf0\x9f\x98\x80"},
    {"highest code point", u"\U0010FFFF", "\xf4\x8f\xbf\xbf"},
    {"lone high surrogate", std::u16string(1, char16_t{0xD800}) + u"x", "\xed\xa0\x80x"},
    {"lone low surrogate", std::u16string(1, char16_t{0xDFFF}), "\xed\xbf\xbf"},
    {"low before high", std::u16string{char16_t{0xDC00}, char16_t{0xD800}},
     "\xed\xb0\x80\xed\xa0\x80"},
    {"high at the end after a pair", u"\U0001F600" + std::u16string(1, char16_t{0xDBFF}),
     "\xf0\x9f\x98\x80\xed\xaf\xbf"},
};

TEST(Wtf8, KnownUnitsAndBytesConvertBothWays) {
    for (const auto& k : KNOWN) {
        SCOPED_TRACE(k.label);
        EXPECT_EQ(wtf8_from_utf16(k.units), k.bytes);
        EXPECT_EQ(utf16_from_wtf8(k.bytes), k.units);
    }
}

TEST(Wtf8, EverySingleUnitRoundTrips) {
    for (char32_t unit = 0; unit <= 0xFFFF; ++unit) {
        const std::u16string units{static_cast<char16_t>(unit), u'x'};
        ASSERT_EQ(utf16_from_wtf8(wtf8_from_utf16(units)), units)
            << "unit " << static_cast<unsigned>(unit);
    }
}

TEST(Wtf8, BytesNoEncoderMakesAreRefused) {
    const struct {
        const char* label;
        std::string bytes;
    } cases[] = {
        {"stray continuation byte", "a\x80"},
        {"truncated sequence", "\xe8\xae"},
        {"continuation missing inside",
         "\xe8"
         "a\xa1"},
        {"overlong slash", "\xc0\xaf"},
        {"overlong three bytes", "\xe0\x80\xaf"},
        {"beyond U+10FFFF", "\xf4\x90\x80\x80"},
        {"five-byte lead", "\xf8\x88\x80\x80\x80"},
        {"pair spelled as two surrogates", "\xed\xa0\xbd\xed\xb8\x80"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(utf16_from_wtf8(c.bytes), std::nullopt) << c.label;
    }
}

}  // namespace
}  // namespace quorvel
