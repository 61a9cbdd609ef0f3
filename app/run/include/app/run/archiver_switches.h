// Extra archiver switches the user asks for through the environment, such as -mx1 (pack
// faster, compress less) in QUORVEL_PACK_SWITCHES or -oDIR (extract elsewhere) in
// QUORVEL_UNPACK_SWITCHES, which a test or a listing takes too. Switches that would let the
// archiver undo what the run promises are refused before anything is made: the input is only
// read, the plaintext archive exists only at the one name the run gives it (where the run
// removes it), what comes out of it goes to files, never through the run's standard input or
// output, and a test or a listing writes nothing.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/messages/messages.h"
#include "app/messages/outcome.h"
#include "app/process/archiver.h"

namespace quorvel {

inline constexpr std::string_view PACK_SWITCHES_VARIABLE = "QUORVEL_PACK_SWITCHES";
inline constexpr std::string_view UNPACK_SWITCHES_VARIABLE = "QUORVEL_UNPACK_SWITCHES";

// What `word`, a switch as the user wrote it for `job`, would do to the run, or nullopt for a
// switch the run can take. Extraction ignores the switches that only shape a new archive, so
// there only -si, -so and a double quote are refused; a test or a listing refuses -o as well.
// Like the archiver, it reads switch names in any case: -SDEL is -sdel. A double quote is
// refused on every platform, so that a setting does the same everywhere.
[[nodiscard]] std::optional<SwitchDanger> danger_of_switch(ArchiverJob job, std::string_view word);

// The words of `text`, split on spaces and tabs, if each is a switch the run can take: a word
// that starts with '-', is neither "-" nor "--" (which would end the switches and turn the next
// ones into file names) and has no danger for `job` (danger_of_switch). Otherwise fails
// after printing, for the first offending word, "Error! VARIABLE holds 'WORD', which
// is not a switch." or "Error! VARIABLE holds 'WORD', which would ...", VARIABLE being the
// variable of `job`.
[[nodiscard]] OrReported<std::vector<std::string>> parse_archiver_switches(ArchiverJob job,
                                                                           std::string_view text);

// The switches of QUORVEL_PACK_SWITCHES for packing, of QUORVEL_UNPACK_SWITCHES for extracting,
// testing and listing; none when the variable is unset. Fails, after printing why (see
// parse_archiver_switches), when the variable holds a word that is not a switch or a switch the
// run refuses.
[[nodiscard]] OrReported<std::vector<std::string>> archiver_switches(ArchiverJob job);

}  // namespace quorvel
