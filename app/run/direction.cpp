#include "app/run/direction.h"

#include <cstdlib>
#include <string>

#include "app/messages/messages.h"

namespace quorvel {

OrReported<Direction> requested_direction() {
    const char* value = std::getenv(std::string(MODE_VARIABLE).c_str());
    if (value == nullptr) return Direction::by_input;
    const std::string_view text(value);
    if (text == "encrypt") return Direction::encrypt;
    if (text == "decrypt") return Direction::decrypt;
    return say::mode_refused(MODE_VARIABLE, text);
}

OrReported<CipherMode> mode_for_input(Direction direction, InputKind probed,
                                      const std::filesystem::path& input) {
    // Nothing to pack or decrypt: the archiver would only fail on it too.
    if (probed == InputKind::unopenable) return say::input_not_found(input);
    switch (direction) {
        case Direction::by_input:
            if (probed == InputKind::encrypted) return CipherMode::decrypt;
            say::crypt_run();
            return CipherMode::encrypt;
        case Direction::encrypt:
            // An encrypted input is plain data to an encryption, and is announced as such.
            say::crypt_run();
            return CipherMode::encrypt;
        case Direction::decrypt:
            if (probed == InputKind::encrypted) return CipherMode::decrypt;
            return say::not_encrypted(input);
    }
    return say::not_encrypted(input);  // not reached: every direction is handled above
}

}  // namespace quorvel
