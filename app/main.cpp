#include <string_view>
#include <vector>

#include "app/run_sequence.h"

int main(int argc, char** argv) {
    const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    return quorvel::run_quorvel(args);
}
