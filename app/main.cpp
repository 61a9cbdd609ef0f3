#include <string_view>
#include <vector>

#include "app/command_line.h"
#include "app/run_sequence.h"

int main(int argc, char** argv) {
    const auto args = quorvel::program_arguments(argc, argv);
    if (!args) return quorvel::EXIT_FAILED;
    const std::vector<std::string_view> views(args->begin(), args->end());
    return quorvel::run_quorvel(views);
}
