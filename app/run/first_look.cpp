#include "app/run/first_look.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "app/messages/help.h"
#include "app/messages/messages.h"
#include "app/messages/warnings.h"
#include "app/password/password_source.h"
#include "app/process/command_line.h"
#include "app/process/process.h"
#include "console/console.h"
#include "files/files.h"

namespace quorvel {

namespace {

constexpr std::size_t PASSWORD_INDEX = 2;
constexpr std::size_t KEY_FILE_COUNT = 4;  // arguments with a key file; more use none
constexpr int STANDARD_OUTPUT = 1;

// The outcome of a run that only prints its answer: a failure when the answer was not
// written, to a full disk, a pipe whose reader is gone or a standard output that was closed.
RunOutcome answered() {
    const bool written = output_written() && !reopened_at_start(STANDARD_OUTPUT);
    if (!written) say::answer_not_written();
    return RunOutcome::answered(written);
}

}  // namespace

std::optional<RunOutcome> answer_question(std::span<const std::string_view> args) {
    if (args.size() != 1) return std::nullopt;
    if (args[0] == say::HELP_ARGUMENT || args[0] == say::SHORT_HELP_ARGUMENT) {
        say::help();
        return answered();
    }
    if (args[0] == say::VERSION_ARGUMENT) {
        say::version();
        return answered();
    }
    return std::nullopt;
}

void warn_about_arguments(std::span<const std::string_view> args) {
    if (args.size() > PASSWORD_INDEX && args[PASSWORD_INDEX] == PASSWORD_FROM_SOURCE &&
        std::getenv(std::string(PASSWORD_FROM_VARIABLE).c_str()) == nullptr) {
        warn::password_is_dash();
    }
    if (args.size() > KEY_FILE_COUNT) warn::arguments_ignored(args.subspan(PASSWORD_INDEX + 1));
}

NewKeyFileNotice::NewKeyFileNotice(std::optional<std::string_view> key_file_name,
                                   std::string_view out_fname)
    : out_fname_(out_fname) {
    if (key_file_name && files::kind_at(argument_path(*key_file_name)) == files::Kind::missing) {
        missing_key_file_ = key_file_name;
    }
}

void NewKeyFileNotice::after_run() const {
    if (!missing_key_file_) return;
    const std::filesystem::path path = argument_path(*missing_key_file_);
    // A key file made by a run that then failed is removed again: only one still there was
    // kept with its output.
    if (files::kind_at(path) != files::Kind::regular) return;
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    warn::key_file_created(error ? path : absolute, out_fname_);
}

}  // namespace quorvel
