// A name as the messages show it, for the messages room's own sources.
#pragma once

#include <string>
#include <string_view>

#include "console/console.h"

namespace quorvel::say {

// `name` between single quotes, its control characters escaped (printable_name). Appended
// piece by piece: "'" + std::string&& trips a false -Wrestrict in GCC 12.
inline std::string quoted_name(std::string_view name) {
    std::string text = "'";
    text += printable_name(name);
    text += '\'';
    return text;
}

}  // namespace quorvel::say
