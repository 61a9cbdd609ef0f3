#include <io.h>

#include <cstdio>

#include "console/console.h"
#include "console/wtf8.h"
#include "internal/console_platform.h"

namespace quorvel {

std::string display_name(const std::filesystem::path& path) {
    const auto& wide = path.native();
    return wtf8_from_utf16({reinterpret_cast<const char16_t*>(wide.data()), wide.size()});
}

namespace detail {

// A closed pipe shows only when a write fails; the write itself reports it.
bool stdout_reader_gone() {
    return false;
}

bool stderr_is_terminal() {
    return _isatty(_fileno(stderr)) != 0;
}

void write_error_directly(const char* text, unsigned size) {
    static_cast<void>(_write(_fileno(stderr), text, size));
}

bool stdout_is_terminal() {
    return _isatty(_fileno(stdout)) != 0;
}

}  // namespace detail

}  // namespace quorvel
