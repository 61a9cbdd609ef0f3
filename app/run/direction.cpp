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
    switch (direction) {
        case Direction::by_input:
            // A missing input goes on as an encryption, whose archiver then names it.
            say::probe_result(probed, input);
            return probed == InputKind::encrypted ? CipherMode::decrypt : CipherMode::encrypt;
        case Direction::encrypt:
            // An encrypted input is plain data to an encryption, and is announced as such.
            say::probe_result(probed == InputKind::encrypted ? InputKind::plain : probed, input);
            return CipherMode::encrypt;
        case Direction::decrypt:
            if (probed == InputKind::encrypted) return CipherMode::decrypt;
            if (probed == InputKind::plain) {
                say::not_encrypted(input);
            } else {
                say::probe_result(probed, input);
            }
            return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace quorvel
