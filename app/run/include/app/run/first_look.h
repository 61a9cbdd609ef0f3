// The arguments looked at before a run starts: a question about the program itself, and the
// likely mistakes that a run would otherwise take in silence. Warnings go to standard error
// (app/messages/warnings.h); standard output stays as it is without them.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "app/messages/outcome.h"

namespace quorvel {

// The outcome of a run that only answers a question, when `args` is one of them alone:
// "--help" or "-h" (the help) and "--version" (the version): done, or failed when the answer
// could not be written. nullopt for any other arguments.
[[nodiscard]] std::optional<RunOutcome> answer_question(std::span<const std::string_view> args);

// Warns about the password "-" taken as itself (QUORVEL_PASSWORD_FROM unset) and about the
// arguments after the password that five or more arguments leave unused.
void warn_about_arguments(std::span<const std::string_view> args);

// Notes before an encryption whether its key file is missing, and warns after it when the run
// made that key file: where it is, and that the output cannot be decrypted without it.
class NewKeyFileNotice {
public:
    NewKeyFileNotice(std::optional<std::string_view> key_file_name, std::string_view out_fname);
    void after_run() const;

private:
    std::optional<std::string_view> missing_key_file_;  // the name, when it was missing
    std::string_view out_fname_;
};

}  // namespace quorvel
