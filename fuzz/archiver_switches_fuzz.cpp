// Fuzz target for the archiver switches a user sets in QUORVEL_PACK_SWITCHES or
// QUORVEL_UNPACK_SWITCHES: the first byte picks the archiver's job (its second bit set: a test
// or a listing; else its lowest bit: 0 packs, 1 extracts), the rest is the variable's text.
// Checked for every input, besides the sanitizers' findings:
// - the text is taken exactly when each of its blank-separated words is taken alone, and then
//   the switches are those words in order; nothing is printed;
// - otherwise one line names the first word refused, after the direction's variable, with its
//   control characters escaped as every printed name has them, and holds no other control
//   character than its line break;
// - a refused switch is never passed on: no word taken holds a double quote (which 7-Zip on
//   Windows reads as quoting) or reads standard input or output, and none, when packing,
//   deletes the input, splits the archive into volumes or puts it under another name or folder,
//   and none, in a test or a listing, names an output folder (the dangers are listed here apart
//   from the parser's own code); extracting refuses double quotes and standard input and output
//   only, a test or a listing those and an output folder only;
// - how a switch is judged does not depend on the case of its letters.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/run/archiver_switches.h"
#include "console/console.h"
#include "fuzz_support.h"

namespace quorvel::fuzz {

namespace {

std::vector<std::string_view> words_of(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t start = 0;
    for (std::size_t at = 0; at <= text.size(); ++at) {
        if (at == text.size() || text[at] == ' ' || text[at] == '\t') {
            if (at > start) words.push_back(text.substr(start, at - start));
            start = at + 1;
        }
    }
    return words;
}

std::string lower_case(std::string_view word) {
    std::string lower;
    for (const char c : word)
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

std::string swapped_case(std::string_view word) {
    std::string swapped;
    for (const char c : word) {
        const auto byte = static_cast<unsigned char>(c);
        swapped += static_cast<char>(std::isupper(byte) ? std::tolower(byte) : std::toupper(byte));
    }
    return swapped;
}

// What the run promises, switch by switch: each reaches the archiver as the one word it is;
// the archive and its files never go through the standard streams; when packing, the input
// stays, and the archive is one file at its own name in the current folder; a test or a
// listing makes nothing, not even the folder 7-Zip's test makes for -o.
bool breaks_a_promise(ArchiverJob job, std::string_view word) {
    if (word.find('"') != std::string_view::npos) return true;
    const std::string lower = lower_case(word);
    const std::string_view name = lower;
    if (name.starts_with("-si") || name.starts_with("-so")) return true;
    if (job == ArchiverJob::unpack) return false;
    if (job == ArchiverJob::check) return name.starts_with("-o");
    const bool renames = name.starts_with("-u") && name.find('!') != std::string_view::npos;
    return name.starts_with("-sdel") || name.starts_with("-v") || name.starts_with("-w") ||
           name.starts_with("-sfx") || name.starts_with("-saa") || renames;
}

// The switches parsed from `text`, nullopt when it is refused.
std::optional<std::vector<std::string>> parsed(ArchiverJob job, std::string_view text) {
    auto switches = parse_archiver_switches(job, text);
    if (switches.failed()) return std::nullopt;
    return *switches;
}

// Whether `word` is taken as the only word of the variable, with the checks that need only it.
bool taken_alone(ArchiverJob job, std::string_view word) {
    const auto danger = danger_of_switch(job, word);
    require(danger == danger_of_switch(job, swapped_case(word)),
            "the case of a switch changes how it is judged");
    if (job != ArchiverJob::pack && word.starts_with('-')) {
        require(danger.has_value() == breaks_a_promise(job, word),
                "extraction, a test or a listing refuses other switches than its dangers");
    }
    std::optional<std::vector<std::string>> switches;
    const std::string printed = printed_by([&] { switches = parsed(job, word); });
    if (switches) {
        require(!breaks_a_promise(job, word), "a switch that breaks a promise is passed on");
        require(switches->size() == 1 && switches->front() == word, "a word taken is changed");
        require(printed.empty(), "a word taken prints");
    }
    return switches.has_value();
}

}  // namespace

}  // namespace quorvel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quorvel;
    using namespace quorvel::fuzz;
    if (size == 0) return 0;
    const ArchiverJob job = (data[0] & 2) != 0   ? ArchiverJob::check
                            : (data[0] & 1) == 0 ? ArchiverJob::pack
                                                 : ArchiverJob::unpack;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);

    const auto words = words_of(text);
    std::optional<std::string_view> first_refused;
    for (const auto word : words) {
        if (!taken_alone(job, word) && !first_refused) first_refused = word;
    }

    std::optional<std::vector<std::string>> switches;
    const std::string printed = printed_by([&] { switches = parsed(job, text); });
    if (!first_refused) {
        require(switches.has_value(), "a text of words each taken alone is refused");
        require(*switches == std::vector<std::string>(words.begin(), words.end()),
                "the switches are not the text's words in order");
        require(printed.empty(), "a text taken prints");
        return 0;
    }
    require(!switches.has_value(), "a text with a refused word is taken");
    const std::string_view variable =
        job == ArchiverJob::pack ? PACK_SWITCHES_VARIABLE : UNPACK_SWITCHES_VARIABLE;
    const std::string start = "Error! " + std::string(variable) + " holds '" +
                              printable_name(*first_refused) + "', which ";
    require(printed.starts_with(start) && printed.ends_with(".\n"),
            "the refusal does not name the first word refused");
    const bool raw_control = std::ranges::any_of(printed.substr(0, printed.size() - 1), [](char c) {
        return std::iscntrl(static_cast<unsigned char>(c)) != 0;
    });
    require(!raw_control, "a refusal prints a control character as it is");
    return 0;
}
