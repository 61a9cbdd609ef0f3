#include "app/run/direction.h"

#include <cstdlib>
#include <string>

#include "app/messages/messages.h"

namespace quorvel {

CipherMode cipher_mode(RunMode mode) {
    return mode == RunMode::encrypt ? CipherMode::encrypt : CipherMode::decrypt;
}

bool only_checks(Direction direction) {
    return direction == Direction::test || direction == Direction::list;
}

OrReported<Direction> requested_direction() {
    const char* value = std::getenv(std::string(MODE_VARIABLE).c_str());
    if (value == nullptr) return Direction::by_input;
    const std::string_view text(value);
    if (text == "encrypt") return Direction::encrypt;
    if (text == "decrypt") return Direction::decrypt;
    if (text == "test") return Direction::test;
    if (text == "list") return Direction::list;
    return say::mode_refused(MODE_VARIABLE, text);
}

OrReported<RunMode> mode_for_input(Direction direction, InputKind probed, int open_error,
                                   const std::filesystem::path& input) {
    // Nothing to pack or decrypt: the archiver would only fail on it too.
    if (probed == InputKind::unopenable) return say::input_not_found(input, open_error);
    if (direction == Direction::encrypt ||
        (direction == Direction::by_input && probed != InputKind::encrypted)) {
        // An encrypted input forced to encryption is plain data, and is announced as such.
        say::crypt_run();
        return RunMode::encrypt;
    }
    if (probed != InputKind::encrypted) return say::not_encrypted(input);
    if (direction == Direction::test) return RunMode::test;
    if (direction == Direction::list) return RunMode::list;
    return RunMode::decrypt;
}

}  // namespace quorvel
