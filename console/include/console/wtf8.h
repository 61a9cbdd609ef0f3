// Windows names as bytes. Windows file names are sequences of 16-bit units that need not be
// valid UTF-16 (an unpaired surrogate is a legal name). WTF-8 is UTF-8 extended to carry such
// units: valid UTF-16 gives exactly its UTF-8, and every sequence of units comes back unchanged.
// The program keeps names in this form wherever it handles them as text on Windows.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quorvel {

// Encodes `units` as WTF-8: UTF-8 for valid UTF-16, three bytes for each unpaired surrogate.
[[nodiscard]] std::string wtf8_from_utf16(std::u16string_view units);

// Decodes WTF-8 back into 16-bit units. Returns nullopt for bytes that no call of
// wtf8_from_utf16 produces (invalid UTF-8, overlong forms, a surrogate pair spelled as two
// three-byte surrogates).
[[nodiscard]] std::optional<std::u16string> utf16_from_wtf8(std::string_view bytes);

}  // namespace quorvel
