#include "app/messages/messages.h"

#include <string>

#include "cipher/key_schedule.h"
#include "console/console.h"
#include "internal/reporter.h"
#include "keyfile/keyfile.h"

namespace quorvel::say {

namespace {

Reported told() {
    return Reporter::told();
}

Reported error_named(std::string_view prefix, std::string_view name, std::string_view suffix) {
    print_named(prefix, name, suffix);
    return told();
}

Reported error_line(std::string_view text) {
    print_line(text);
    return told();
}

Reported named_path(std::string_view prefix, const std::filesystem::path& path,
                    std::string_view suffix) {
    return error_named(prefix, display_name(path), suffix);
}

}  // namespace

Reported usage() {
    print_text("quorvel.exe /in_fname/ /out_fname/ /password/\n");
    print_text(
        "If you want to use key file, add 4 parametr - /key_file_name/. If program not found "
        "this file, it's create it, absolutely random!\n");
    print_text("When decrypt /out_fname/  must be random(program don't use it), but not empty!\n");
    return told();
}

void crypt_run() {
    print_text("Crypt run\n");
}

Reported input_not_found(const std::filesystem::path& input) {
    return named_path("Error! File '", input, "' not found.");
}

Reported file_fault(const FileFault& fault) {
    switch (fault.kind) {
        case FileFault::Kind::not_found:
            return named_path("Error! File '", fault.path, "' not found.");
        case FileFault::Kind::cannot_create:
            return named_path("Error! Can't create file '", fault.path, "'.");
        case FileFault::Kind::cannot_read:
            return named_path("Error! Can't read file '", fault.path, "'.");
        case FileFault::Kind::cannot_write:
            return named_path("Error! Can't write file '", fault.path, "'.");
    }
    return told();  // not reached: every kind is handled above
}

Reported key_file_fault(const KeyFileFault& fault) {
    switch (fault.kind) {
        case KeyFileFault::Kind::not_found:
            return named_path("Error! File '", fault.path, "' not found.");
        case KeyFileFault::Kind::not_regular:
            return named_path("Error! Key file '", fault.path, "' is not a regular file.");
        case KeyFileFault::Kind::unreadable:
            return named_path("Error! Can't read key-file '", fault.path, "'.");
        case KeyFileFault::Kind::not_created:
            return named_path("Error! Can't create key-file '", fault.path, "'.");
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
    return error_named("Error! Key file '", name, "' not found.");
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

Reported decryption_wrong() {
    print_text("Decrypt WRONG!\n");
    return told();
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

Reported test_failed(std::string_view input) {
    return error_named("Error! The archive in '", input, "' failed 7-Zip's test.");
}

Reported list_failed(std::string_view input) {
    return error_named("Error! 7-Zip could not list the archive in '", input, "'.");
}

Reported scratch_archive_not_made(const std::filesystem::path& folder) {
    return named_path("Error! Can't create a file in the temporary folder '", folder, "'.");
}

Reported pack_failed(std::string_view input) {
    return error_named("Error pack file '", input, "'");
}

Reported unpack_failed() {
    print_text("Error unpack file \n");
    return told();
}

Reported temp_archive_exists(std::string_view archive) {
    return error_named("Error! Temporary archive '", archive,
                       "' already exists; move it away and run again.");
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

Reported password_unreadable(std::string_view source) {
    return error_named("Error! Can't read the password from '", source, "'.");
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

Reported unexpected_failure(std::string_view description) {
    return error_named("Error! Unexpected failure: ", description, ".");
}

}  // namespace quorvel::say
