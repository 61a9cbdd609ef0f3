#include "app/run/direction.h"

#include <cstdlib>
#include <string>

#include "app/messages/messages.h"

namespace quorvel {

std::optional<Direction> requested_direction() {
    const char* value = std::getenv(std::string(MODE_VARIABLE).c_str());
    if (value == nullptr) return Direction::by_input;
    const std::string_view text(value);
    if (text == "encrypt") return Direction::encrypt;
    if (text == "decrypt") return Direction::decrypt;
    say::mode_refused(MODE_VARIABLE, text);
    return std::nullopt;
}

std::optional<CipherMode> mode_for_input(Direction direction, InputKind probed,
                                         const std::filesystem::path& input) {
    if (probed == InputKind::unopenable) {
        // Nothing to pack or decrypt: the archiver would only fail on it too.
        say::probe_result(probed, input);
        return std::nullopt;
    }
    switch (direction) {
        case Direction::by_input:
            say::probe_result(probed, input);
            return probed == InputKind::encrypted ? CipherMode::decrypt : CipherMode::encrypt;
        case Direction::encrypt:
            // An encrypted input is plain data to an encryption, and is announced as such.
            say::probe_result(probed == InputKind::encrypted ? InputKind::plain : probed, input);
            return CipherMode::encrypt;
        case Direction::decrypt:
            if (probed == InputKind::encrypted) return CipherMode::decrypt;
            say::not_encrypted(input);
            return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace quorvel
