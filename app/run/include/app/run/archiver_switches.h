// Extra archiver switches the user asks for through the environment, such as -mx1 (pack
// faster, compress less) in QUORVEL_PACK_SWITCHES or -oDIR (extract elsewhere) in
// QUORVEL_UNPACK_SWITCHES.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cipher/block_ops.h"

namespace quorvel {

inline constexpr std::string_view PACK_SWITCHES_VARIABLE = "QUORVEL_PACK_SWITCHES";
inline constexpr std::string_view UNPACK_SWITCHES_VARIABLE = "QUORVEL_UNPACK_SWITCHES";

// The words of `text`, split on spaces and tabs, if each is a switch: a word that starts with
// '-' and is neither "-" nor "--" (which would end the switches and turn the next ones into
// file names). Otherwise returns nullopt after printing "Error! VARIABLE holds 'WORD', which
// is not a switch." with `variable` as VARIABLE and the first offending word.
std::optional<std::vector<std::string>> parse_archiver_switches(std::string_view variable,
                                                                std::string_view text);

// The switches of QUORVEL_PACK_SWITCHES when `mode` encrypts, of QUORVEL_UNPACK_SWITCHES when it
// decrypts; none when the variable is unset. Returns nullopt, after printing why (see
// parse_archiver_switches), when the variable holds a word that is not a switch.
std::optional<std::vector<std::string>> archiver_switches(CipherMode mode);

}  // namespace quorvel
