// Runs a fuzz target over saved inputs without libFuzzer: every file named on the command
// line, and every file under each folder named, in name order. Exits with 1 when no input
// was found (a missing corpus must not pass as an empty success); a failing input stops the
// program in the target itself.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz_support.h"

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> inputs_under(const fs::path& root) {
    std::vector<fs::path> inputs;
    if (fs::is_directory(root)) {
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (entry.is_regular_file()) inputs.push_back(entry.path());
        }
        std::sort(inputs.begin(), inputs.end());
    } else if (fs::is_regular_file(root)) {
        inputs.push_back(root);
    }
    return inputs;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        for (const auto& input : inputs_under(argv[i])) {
            std::fprintf(stderr, "replaying %s\n", input.string().c_str());
            // An exactly sized heap copy, so that a read past the end is seen by ASan.
            const auto bytes = quorvel::fuzz::read_file(input);
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            ++replayed;
        }
    }
    std::fprintf(stderr, "replayed %zu input(s)\n", replayed);
    return replayed > 0 ? 0 : 1;
}
