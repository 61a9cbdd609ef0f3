#include "app/run/archiver_switches.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "app/messages/messages.h"
#include "app/process/windows_command_line.h"

namespace quorvel {

namespace {

std::string_view variable_of(ArchiverJob job) {
    // A test or a listing takes extraction's switches: what shapes the reading of an archive.
    return job == ArchiverJob::pack ? PACK_SWITCHES_VARIABLE : UNPACK_SWITCHES_VARIABLE;
}

bool is_switch(std::string_view word) {
    return word.starts_with('-') && word != "-" && word != "--";
}

std::string lower_case(std::string_view text) {
    std::string lower(text);
    std::ranges::transform(lower, lower.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

}  // namespace

std::optional<SwitchDanger> danger_of_switch(ArchiverJob job, std::string_view word) {
    if (!fits_seven_zip_command_line(word)) return SwitchDanger::shifts_arguments;
    // The archiver takes the switch whose name begins the word and reads the rest as its value;
    // no other switch name begins like these, so a prefix names the switch.
    const std::string lower = lower_case(word.substr(1));
    const std::string_view name = lower;
    if (name.starts_with("si") || name.starts_with("so")) return SwitchDanger::standard_streams;
    if (job == ArchiverJob::unpack) return std::nullopt;
    // -o names where extraction writes, and 7-Zip's test makes that folder, extracting nothing.
    if (job == ArchiverJob::check) {
        return name.starts_with('o') ? std::optional(SwitchDanger::makes_folder) : std::nullopt;
    }
    if (name.starts_with("sdel")) return SwitchDanger::deletes_input;
    if (name.starts_with('v')) return SwitchDanger::splits_archive;
    // -sfx adds ".exe" to the name and -saa the type's extension; -w makes the archive in
    // another folder and moves it in at the end; -u...!NAME writes it as NAME.
    const bool adds_extension = name.starts_with("sa") && name != "sae" && name != "sas";
    const bool renames = name.starts_with('u') && name.find('!') != std::string_view::npos;
    if (name.starts_with("sfx") || adds_extension || name.starts_with('w') || renames) {
        return SwitchDanger::moves_archive;
    }
    return std::nullopt;
}

OrReported<std::vector<std::string>> parse_archiver_switches(ArchiverJob job,
                                                             std::string_view text) {
    constexpr std::string_view BLANKS = " \t";
    std::vector<std::string> switches;
    for (std::size_t start = text.find_first_not_of(BLANKS); start != std::string_view::npos;
         start = text.find_first_not_of(BLANKS, start)) {
        const std::size_t end = std::min(text.find_first_of(BLANKS, start), text.size());
        const std::string_view word = text.substr(start, end - start);
        if (!is_switch(word)) return say::not_a_switch(variable_of(job), word);
        if (const auto danger = danger_of_switch(job, word)) {
            return say::switch_refused(variable_of(job), word, *danger);
        }
        switches.emplace_back(word);
        start = end;
    }
    return switches;
}

OrReported<std::vector<std::string>> archiver_switches(ArchiverJob job) {
    const char* text = std::getenv(std::string(variable_of(job)).c_str());
    if (text == nullptr) return std::vector<std::string>{};
    return parse_archiver_switches(job, text);
}

}  // namespace quorvel
