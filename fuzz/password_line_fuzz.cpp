// Fuzz target for the reading of a password line, from a file, a descriptor or a variable: the
// first byte's lowest bit says whether the source fails after its last byte (1) or ends (0),
// the rest is what the source gives. Checked for every input, besides the sanitizers' findings,
// against rules written here apart from the reader's code:
// - the line is the bytes before the first LF, without one CR right before that LF; more than
//   255 bytes is too long, a failure before the line end makes it unreadable;
// - the reader takes nothing past the LF, from a pipe that others read on, and stops taking
//   bytes once the line is known to be too long;
// - the same bytes (up to a NUL, as in the environment) named by QUORVEL_PASSWORD_FROM give
//   that line as the password, an empty line or one holding only a CR being refused; a refusal
//   prints its one message and leaves the buffer empty;
// - the bytes typed as the password argument are the password when they fit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "app/password/password_source.h"
#include "fuzz_support.h"
#include "internal/password_input.h"

namespace quorvel::fuzz {

namespace {

constexpr const char* VARIABLE = "QUORVEL_FUZZ_PASSWORD";

struct ExpectedLine {
    LineResult result;
    std::string line;       // the password, when result is ok
    std::size_t asked = 0;  // the bytes (or ends) the reader takes from the source
};

// What a source giving `bytes`, then failing (`fails`) or ending, reads as.
ExpectedLine expected_line(std::string_view bytes, bool fails) {
    const std::size_t line_end = bytes.find('\n');
    const std::string_view before = bytes.substr(0, line_end);
    // The reader holds at most CAPACITY bytes: the one after them shows the line too long.
    if (before.size() > PasswordBuffer::CAPACITY) {
        return {LineResult::too_long, {}, PasswordBuffer::CAPACITY + 1};
    }
    const std::size_t asked = before.size() + 1;
    if (line_end == std::string_view::npos && fails) return {LineResult::unreadable, {}, asked};
    std::string line(before);
    if (line_end != std::string_view::npos && line.ends_with('\r')) line.pop_back();
    if (line.size() > MAX_PASSWORD_SIZE) return {LineResult::too_long, {}, asked};
    return {LineResult::ok, line, asked};
}

void check_reader(std::string_view bytes, bool fails) {
    const ExpectedLine expected = expected_line(bytes, fails);
    std::size_t asked = 0;
    PasswordBuffer password;
    const LineResult result = read_password_line(
        [&]() -> int {
            const std::size_t at = asked++;
            if (at < bytes.size()) return static_cast<unsigned char>(bytes[at]);
            return fails ? READ_ERROR : END_OF_INPUT;
        },
        password);
    require(result == expected.result, "the line reads as another result");
    require(asked == expected.asked, "the reader takes other bytes than the line's");
    if (result == LineResult::ok) require(password.view() == expected.line, "another line is read");
}

void check_named_source(std::string_view text) {
    const std::string value(text.substr(0, text.find('\0')));
    const ExpectedLine expected = expected_line(value, false);
    if (::setenv(VARIABLE, value.c_str(), 1) != 0) fail("cannot set the variable");
    PasswordBuffer password;
    bool resolved = false;
    const std::string printed = printed_by([&] {
        resolved = !resolve_password(PASSWORD_FROM_SOURCE, CipherMode::encrypt, password).failed();
    });
    const bool blank = expected.line.empty() || expected.line == "\r";
    if (expected.result == LineResult::ok && !blank) {
        require(resolved, "a readable line is refused");
        require(password.view() == expected.line, "another password is read");
        require(printed.empty(), "a password read prints");
        return;
    }
    require(!resolved, "a line too long or blank is taken");
    require(password.view().empty(), "a refused password stays in the buffer");
    const std::string message =
        expected.result == LineResult::too_long
            ? "Error! Password is longer than 255 bytes.\n"
            : "Error! Can't read the password from 'env:" + std::string(VARIABLE) + "'.\n";
    require(printed == message, "the refusal prints another message");
}

void check_argument(std::string_view text) {
    if (text == PASSWORD_FROM_SOURCE) return;
    PasswordBuffer password;
    bool resolved = false;
    const std::string printed = printed_by(
        [&] { resolved = !resolve_password(text, CipherMode::decrypt, password).failed(); });
    if (text.size() <= MAX_PASSWORD_SIZE) {
        require(resolved && password.view() == text, "an argument that fits is not the password");
        require(printed.empty(), "a password argument taken prints");
    } else {
        require(!resolved && password.view().empty(), "an argument too long is taken");
        require(printed == "Error! Password is longer than 255 bytes.\n",
                "the refusal prints another message");
    }
}

}  // namespace

}  // namespace quorvel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quorvel::fuzz;
    if (size == 0) return 0;
    static const bool source_named = [] {
        const std::string source = "env:" + std::string(VARIABLE);
        return ::setenv(std::string(quorvel::PASSWORD_FROM_VARIABLE).c_str(), source.c_str(), 1) ==
               0;
    }();
    require(source_named, "cannot name the password source");
    const bool fails = (data[0] & 1) != 0;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    check_reader(bytes, fails);
    check_named_source(bytes);
    check_argument(bytes);
    return 0;
}
