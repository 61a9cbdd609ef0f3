#include "app/messages/messages.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <string>
#include <system_error>

#include "cipher/key_schedule.h"
#include "console/console.h"
#include "internal/quoted_name.h"
#include "internal/reporter.h"
#include "keyfile/keyfile.h"

namespace quorvel::say {

namespace {

Reported told() {
    return Reporter::told();
}

constexpr std::string_view CAUSE_PREFIX = "quorvel: error: ";

// The cause of the failure just printed, on standard error (console.h: print_cause_line).
void cause(std::string_view text) {
    print_cause_line(CAUSE_PREFIX, text);
}

// What to do next, on standard error, whatever standard output is.
void hint(std::string_view text) {
    print_warning_line("quorvel: hint: " + std::string(text));
}

// `name` between single quotes, its control characters escaped.
std::string in_quotes(std::string_view name) {
    return quoted_name(name);
}

std::string in_quotes(const std::filesystem::path& path) {
    return in_quotes(std::string_view(display_name(path)));
}

// ": " and the system's text for `error`; nothing when it is not known.
std::string because(int error) {
    if (error == 0) return {};
    return ": " + std::generic_category().message(error);
}

// A message's own text as a cause: without "Error! ", its first word in lower case, without
// the final full stop.
std::string restated(std::string text) {
    constexpr std::string_view ERROR = "Error! ";
    if (text.starts_with(ERROR)) text.erase(0, ERROR.size());
    // "Another run ..." reads "another run ..."; a name in capitals (QUORVEL_MODE) stays.
    const bool word = text.size() > 1 && std::islower(static_cast<unsigned char>(text[1])) != 0;
    if (word) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    if (text.ends_with('.')) text.pop_back();
    return text;
}

// Prints prefix, name and suffix on standard output, and as the cause `why`, or the message
// itself restated when `why` is empty.
Reported error_named(std::string_view prefix, std::string_view name, std::string_view suffix,
                     std::string_view why = {}) {
    print_named(prefix, name, suffix);
    cause(why.empty() ? restated(std::string(prefix) + printable_name(name) + std::string(suffix))
                      : std::string(why));
    return told();
}

Reported error_line(std::string_view text, std::string_view why = {}) {
    print_line(text);
    cause(why.empty() ? restated(std::string(text)) : std::string(why));
    return told();
}

Reported named_path(std::string_view prefix, const std::filesystem::path& path,
                    std::string_view suffix, std::string_view why = {}) {
    return error_named(prefix, display_name(path), suffix, why);
}

// How the archiver ended, for a cause: "it ended with status 2 (a fatal error)".
std::string archiver_ended(const ArchiverEnding& ending) {
    switch (ending.kind) {
        case ArchiverEnding::Kind::not_started:
            return "it did not start";
        case ArchiverEnding::Kind::killed:
            return "it was ended by signal " + std::to_string(ending.code);
        case ArchiverEnding::Kind::exited:
            break;
    }
    std::string text = "it ended with status " + std::to_string(ending.code);
    switch (ending.code) {
        case 1:
            return text + " (a warning: a file that could not be read, for one)";
        case 2:
            return text + " (a fatal error)";
        case 7:
            return text + " (an error in its command line)";
        case 8:
            return text + " (not enough memory)";
        case 255:
            return text + " (stopped by the user)";
        default:
            return text;
    }
}

// Options a user of other tools may try, which this program does not take.
bool looks_like_option(std::string_view name) {
    return name.size() > 1 && name.starts_with('-');
}

}  // namespace

Reported usage() {
    print_text("quorvel.exe /in_fname/ /out_fname/ /password/\n");
    print_text(
        "If you want to use key file, add 4 parametr - /key_file_name/. If program not found "
        "this file, it's create it, absolutely random!\n");
    print_text("When decrypt /out_fname/  must be random(program don't use it), but not empty!\n");
    cause("too few arguments");
    hint("'quorvel --help' tells how to use it");
    return told();
}

void crypt_run() {
    print_text("Crypt run\n");
}

Reported input_not_found(const std::filesystem::path& input, int error) {
    const Reported told = named_path("Error! File '", input, "' not found.",
                                     "can't open " + in_quotes(input) + because(error));
    if (looks_like_option(display_name(input))) {
        hint(
            "quorvel takes no options but --help and --version: it decrypts an input that "
            "begins with '%quorvel%' and encrypts any other; QUORVEL_MODE=encrypt, decrypt, "
            "test or list chooses instead");
    }
    return told;
}

Reported file_fault(const FileFault& fault) {
    switch (fault.kind) {
        case FileFault::Kind::not_found:
            return named_path("Error! File '", fault.path, "' not found.",
                              "can't open " + in_quotes(fault.path) + because(fault.error));
        case FileFault::Kind::cannot_create: {
            // The temporary archive is made where the run is: when the folder refuses it, say
            // where to look.
            const bool folder_refused = fault.error == EACCES || fault.error == EROFS;
            const bool temp_archive =
                folder_refused && fault.path == std::filesystem::path(TEMP_ARCHIVE_NAME);
            return named_path("Error! Can't create file '", fault.path, "'.",
                              "can't create " + in_quotes(fault.path) + because(fault.error) +
                                  (temp_archive ? "; the temporary archive is made in the "
                                                  "current folder, which must be writable"
                                                : ""));
        }
        case FileFault::Kind::cannot_read:
            return named_path("Error! Can't read file '", fault.path, "'.",
                              "can't read " + in_quotes(fault.path) + because(fault.error));
        case FileFault::Kind::cannot_write:
            return named_path("Error! Can't write file '", fault.path, "'.",
                              "can't write " + in_quotes(fault.path) + because(fault.error));
    }
    return told();  // not reached: every kind is handled above
}

Reported key_file_fault(const KeyFileFault& fault) {
    switch (fault.kind) {
        case KeyFileFault::Kind::not_found:
            return named_path(
                "Error! File '", fault.path, "' not found.",
                "can't open key file " + in_quotes(fault.path) + because(fault.error));
        case KeyFileFault::Kind::not_regular:
            return named_path("Error! Key file '", fault.path, "' is not a regular file.",
                              "key file " + in_quotes(fault.path) +
                                  " is not a regular file; a pipe may give a key to decrypt "
                                  "with, never one to encrypt with");
        case KeyFileFault::Kind::unreadable:
            return named_path(
                "Error! Can't read key-file '", fault.path, "'.",
                "can't read key file " + in_quotes(fault.path) + because(fault.error));
        case KeyFileFault::Kind::not_created:
            return named_path(
                "Error! Can't create key-file '", fault.path, "'.",
                "can't create key file " + in_quotes(fault.path) + because(fault.error));
    }
    return told();  // not reached: every kind is handled above
}

void key_file_found() {
    print_text("Key file found.");
}

void key_file_created() {
    print_text("Key file is successfully created!\n");
}

Reported key_file_missing(std::string_view name) {
    return error_named("Error! Key file '", name, "' not found.",
                       "key file " + in_quotes(name) +
                           " not found; decryption needs the key file the file was encrypted "
                           "with, and never makes one");
}

Reported key_file_is_output(std::string_view name) {
    return error_named("Error! Key file '", name, "' is the output file.");
}

Reported key_file_is_temp_archive(std::string_view name) {
    return error_named("Error! Key file '", name,
                       "' is the temporary archive, which the run replaces.");
}

Reported key_file_is_input(std::string_view name) {
    return error_named("Error! Key file '", name, "' is the input file.");
}

Reported key_file_too_short(std::string_view name, std::uint64_t size) {
    return error_named("Error! Key file '", name,
                       "' is " + std::to_string(size) + " bytes long; a key file needs " +
                           std::to_string(KEY_FILE_SIZE) + " or more.");
}

void cipher_started(CipherMode mode) {
    print_text(mode == CipherMode::encrypt ? "Crypt process start!\n" : "Decrypt process start!\n");
    // Out before the long stage begins, also when standard output is a file or a pipe, whose
    // buffer would otherwise hold the line until the verdict.
    flush_output();
}

void encryption_complete() {
    print_text("Cript complite\n");
}

void decryption_ok() {
    print_text("Decrypt OK!\n");
}

Reported decryption_wrong(std::string_view kept) {
    print_text("Decrypt WRONG!\n");
    cause(
        "the check block does not match: a wrong password, a wrong key file (or one given or "
        "left out by mistake) or a damaged file");
    if (!kept.empty()) {
        hint(in_quotes(kept) +
             " was kept for inspection: it holds the file as decrypted, which is not your data "
             "unless only part of the file was damaged; delete it before the next run here");
    }
    return told();
}

void extracted_into(const std::filesystem::path& folder, std::string_view output, bool elsewhere) {
    // One character, also one that takes several bytes in UTF-8: its other bytes are all
    // continuation bytes.
    const bool one_character =
        !output.empty() && std::all_of(output.begin() + 1, output.end(), [](char c) {
            return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
        });
    if (one_character) return;
    const std::string where = elsewhere ? "where the -o switch of QUORVEL_UNPACK_SWITCHES says"
                                        : "into the current folder, " + in_quotes(folder);
    hint("the files were extracted " + where + "; the output name " + in_quotes(output) +
         " is not used when decrypting");
}

void answer_not_written() {
    cause("can't write to standard output");
}

void pack_echo(std::string_view input) {
    std::string text = "!\n7z.exe a ";
    text += TEMP_ARCHIVE_NAME;
    text += ' ';
    text += printable_name(input);
    text += "\n!";
    print_text(text);
}

void check_echo(std::string_view command, const std::filesystem::path& archive) {
    std::string text = "!\n7z.exe ";
    text += command;
    text += ' ';
    text += printable_name(display_name(archive));
    text += "\n!\n";
    print_text(text);
}

void archive_tested() {
    print_text("Test OK!\n");
}

void archive_listed() {
    print_text("List OK!\n");
}

Reported test_failed(std::string_view input, const ArchiverEnding& ending) {
    return error_named("Error! The archive in '", input, "' failed 7-Zip's test.",
                       "7-Zip's test of the archive in " + in_quotes(input) +
                           " failed: " + archiver_ended(ending));
}

Reported list_failed(std::string_view input, const ArchiverEnding& ending) {
    return error_named(
        "Error! 7-Zip could not list the archive in '", input, "'.",
        "7-Zip could not list the archive in " + in_quotes(input) + ": " + archiver_ended(ending));
}

Reported scratch_archive_not_made(const std::filesystem::path& folder) {
    return named_path("Error! Can't create a file in the temporary folder '", folder, "'.");
}

Reported pack_failed(std::string_view input, const ArchiverEnding& ending) {
    return error_named("Error pack file '", input, "'",
                       "7-Zip could not pack " + in_quotes(input) + ": " + archiver_ended(ending));
}

Reported packing_folder_not_made(std::string_view input, int error) {
    return error_named("Error pack file '", input, "'",
                       "can't make the packing folder in the current folder" + because(error) +
                           "; the current folder must be writable");
}

Reported unpack_failed(const ArchiverEnding& ending) {
    print_text("Error unpack file \n");
    cause("7-Zip could not extract " + in_quotes(TEMP_ARCHIVE_NAME) + ": " +
          archiver_ended(ending));
    hint(in_quotes(TEMP_ARCHIVE_NAME) +
         " was kept: 7-Zip's messages above say what it could not do; delete it once done");
    return told();
}

Reported temp_archive_exists(std::string_view archive) {
    const Reported told = error_named("Error! Temporary archive '", archive,
                                      "' already exists; move it away and run again.");
    hint("a decryption that ended with 'Decrypt WRONG!' or 'Error unpack file' keeps " +
         in_quotes(archive) + ", the file as decrypted; delete it if you no longer need it");
    return told;
}

Reported temp_archive_not_regular(std::string_view archive) {
    return error_named("Error! Temporary archive '", archive,
                       "' is not a regular file; move it away and run again.");
}

Reported output_is_temp_archive(std::string_view output) {
    return error_named("Error! Output file '", output, "' is the temporary archive's name.");
}

Reported output_is_input(std::string_view output) {
    return error_named("Error! Output file '", output, "' is the input file.");
}

Reported output_is_standard_output(std::string_view output) {
    return error_named("Error! Output file '", output,
                       "' is standard output, which carries the messages.");
}

Reported output_is_standard_error(std::string_view output) {
    return error_named("Error! Output file '", output,
                       "' is standard error, which carries the warnings.");
}

Reported input_is_temp_archive(std::string_view input) {
    return error_named("Error! Input file '", input,
                       "' is the temporary archive; rename it before decrypting.");
}

Reported temp_archive_not_deleted(std::string_view archive) {
    return error_named("Error! Can't delete file '", archive, "'.");
}

Reported archiver_not_found(std::span<const std::string_view> names) {
    std::string listed;
    for (const auto name : names) {
        listed += listed.empty() ? "'" : ", '";
        listed += name;
        listed += "'";
    }
    return error_line("Error! Archiver not found: looked for " + listed + " on PATH.");
}

Reported input_not_packable(std::string_view input) {
    return error_named("Error! Input '", input, "' is neither a file nor a folder.");
}

Reported folder_busy() {
    return error_line("Error! Another quorvel run is working in this folder.");
}

Reported folder_not_locked() {
    return error_line(
        "Error! Can't lock this folder against other quorvel runs; it must be readable.");
}

Reported password_too_long() {
    return error_line("Error! Password is longer than " + std::to_string(MAX_PASSWORD_SIZE) +
                      " bytes.");
}

Reported passwords_differ() {
    return error_line("Error! The passwords typed do not match.");
}

Reported password_unreadable(std::string_view source, PasswordTrouble trouble, int error) {
    std::string why;
    switch (trouble) {
        case PasswordTrouble::unknown_form:
            why = "QUORVEL_PASSWORD_FROM holds " + in_quotes(source) +
                  ", which is none of tty, file:PATH, fd:N and env:NAME";
            break;
        case PasswordTrouble::variable_unset:
            why = "the variable " + in_quotes(source.substr(source.find(':') + 1)) + " is not set";
            break;
        case PasswordTrouble::file_unopened:
            why = "can't open " + in_quotes(source.substr(source.find(':') + 1)) + because(error);
            break;
        case PasswordTrouble::bad_descriptor:
            why = in_quotes(source.substr(source.find(':') + 1)) + " is not a descriptor number";
            break;
        case PasswordTrouble::unreadable:
            why = "can't read the password from " + in_quotes(source) + because(error);
            break;
        case PasswordTrouble::no_terminal:
            why = "there is no terminal to ask for the password on";
            break;
        case PasswordTrouble::empty:
            why = in_quotes(source) + " gives an empty password";
            break;
    }
    return error_named("Error! Can't read the password from '", source, "'.", why);
}

Reported not_a_switch(std::string_view variable, std::string_view word) {
    return error_named("Error! " + std::string(variable) + " holds '", word,
                       "', which is not a switch.");
}

Reported switch_refused(std::string_view variable, std::string_view word, SwitchDanger danger) {
    std::string_view effect;
    switch (danger) {
        case SwitchDanger::deletes_input:
            effect = "delete the input";
            break;
        case SwitchDanger::splits_archive:
            effect = "split the archive into volumes";
            break;
        case SwitchDanger::standard_streams:
            effect = "pass the archive or its files through standard input or output";
            break;
        case SwitchDanger::moves_archive:
            effect = "write the archive under another name or in another folder";
            break;
        case SwitchDanger::shifts_arguments:
            effect =
                "move where the archiver's arguments begin and end on Windows: a switch cannot "
                "hold a double quote";
            break;
        case SwitchDanger::makes_folder:
            effect = "make a folder: a test or a listing writes nothing";
            break;
    }
    return error_named("Error! " + std::string(variable) + " holds '", word,
                       "', which would " + std::string(effect) + ".");
}

Reported command_line_differs() {
    return error_line(
        "Error! The command line reads differently in Unicode and in the active code page; "
        "write it without double quotes inside arguments.");
}

Reported mode_refused(std::string_view variable, std::string_view value) {
    return error_named("Error! " + std::string(variable) + " holds '", value,
                       "'; it takes 'encrypt', 'decrypt', 'test' or 'list'.");
}

Reported not_encrypted(const std::filesystem::path& input) {
    return named_path("Error! File '", input,
                      "' does not begin with '%quorvel%', so it cannot be decrypted.");
}

Reported output_is_terminal(std::string_view output) {
    return error_named("Error! Output file '", output, "' is a terminal.",
                       "output file " + in_quotes(output) +
                           " is a terminal, which would show the encrypted bytes; give a "
                           "file's name");
}

Reported unexpected_failure(std::string_view description) {
    print_named("Error! Unexpected failure: ", description, ".");
    // Without allocating: the failure may be one of memory.
    print_cause_line("quorvel: error: unexpected failure: ", description);
    return told();
}

}  // namespace quorvel::say
