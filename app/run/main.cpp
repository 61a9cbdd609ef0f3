#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/password/password_source.h"
#include "app/process/command_line.h"
#include "app/process/process.h"
#include "app/run/last_resort.h"
#include "app/run/run_sequence.h"
#include "cipher/secure_wipe.h"

int main(int argc, char** argv) {
    quorvel::prepare_process();
    std::optional<std::vector<std::string>> args;
    const quorvel::RunOutcome outcome = quorvel::run_with_last_resort([&] {
        auto arguments = quorvel::program_arguments(argc, argv);
        quorvel::hide_password_argument(argc, argv);
        if (arguments.failed()) return quorvel::RunOutcome(arguments.failure());
        args = std::move(*arguments);
        const std::vector<std::string_view> views(args->begin(), args->end());
        return quorvel::run_quorvel(views);
    });
    // The copy of the password (the third argument) is key material.
    if (args && args->size() > 2) {
        quorvel::secure_wipe(std::as_writable_bytes(std::span((*args)[2])));
    }
    return quorvel::exit_status(outcome);
}
