#include "app/messages/messages.h"

#include <string>

#include "app/process/archiver.h"
#include "cipher/key_schedule.h"
#include "console/console.h"
#include "keyfile/keyfile.h"

namespace quorvel::say {

namespace {

void named_path(std::string_view prefix, const std::filesystem::path& path,
                std::string_view suffix) {
    print_named(prefix, display_name(path), suffix);
}

}  // namespace

void usage() {
    print_text("quorvel.exe /in_fname/ /out_fname/ /password/\n");
    print_text(
        "If you want to use key file, add 4 parametr - /key_file_name/. If program not found "
        "this file, it's create it, absolutely random!\n");
    print_text("When decrypt /out_fname/  must be random(program don't use it), but not empty!\n");
}

void probe_result(InputKind kind, const std::filesystem::path& input) {
    switch (kind) {
        case InputKind::encrypted:
            return;
        case InputKind::plain:
            print_text("Crypt run\n");
            return;
        case InputKind::unopenable:
            named_path("Error! File '", input, "' not found.");
            return;
    }
}

void file_fault(const FileFault& fault) {
    switch (fault.kind) {
        case FileFault::Kind::not_found:
            named_path("Error! File '", fault.path, "' not found.");
            return;
        case FileFault::Kind::cannot_create:
            named_path("Error! Can't create file '", fault.path, "'.");
            return;
        case FileFault::Kind::cannot_read:
            named_path("Error! Can't read file '", fault.path, "'.");
            return;
        case FileFault::Kind::cannot_write:
            named_path("Error! Can't write file '", fault.path, "'.");
            return;
    }
}

void key_file_fault(const KeyFileFault& fault) {
    switch (fault.kind) {
        case KeyFileFault::Kind::not_found:
            named_path("Error! File '", fault.path, "' not found.");
            return;
        case KeyFileFault::Kind::not_regular:
            named_path("Error! Key file '", fault.path, "' is not a regular file.");
            return;
        case KeyFileFault::Kind::unreadable:
            named_path("Error! Can't read key-file '", fault.path, "'.");
            return;
        case KeyFileFault::Kind::not_created:
            named_path("Error! Can't create key-file '", fault.path, "'.");
            return;
    }
}

void key_file_found() {
    print_text("Key file found.");
}

void key_file_created() {
    print_text("Key file is successfully created!\n");
}

void key_file_missing(std::string_view name) {
    print_named("Error! Key file '", name, "' not found.");
}

void key_file_is_output(std::string_view name) {
    print_named("Error! Key file '", name, "' is the output file.");
}

void key_file_is_input(std::string_view name) {
    print_named("Error! Key file '", name, "' is the input file.");
}

void key_file_too_short(std::string_view name, std::uint64_t size) {
    print_named("Error! Key file '", name,
                "' is " + std::to_string(size) + " bytes long; a key file needs " +
                    std::to_string(KEY_FILE_SIZE) + " or more.");
}

void cipher_started(CipherMode mode) {
    print_text(mode == CipherMode::encrypt ? "Crypt process start!\n" : "Decrypt process start!\n");
}

void cipher_finished(CipherMode mode, StreamResult result) {
    if (mode == CipherMode::encrypt) {
        print_text("Cript complite\n");
    } else {
        print_text(result == StreamResult::ok ? "Decrypt OK!\n" : "Decrypt WRONG!\n");
    }
}

void pack_echo(std::string_view input) {
    std::string text = "!\n7z.exe a ";
    text += TEMP_ARCHIVE_NAME;
    text += ' ';
    text += input;
    text += "\n!";
    print_text(text);
}

void pack_failed(std::string_view input) {
    print_named("Error pack file '", input, "'");
}

void unpack_failed() {
    print_text("Error unpack file \n");
}

void temp_archive_exists(std::string_view archive) {
    print_named("Error! Temporary archive '", archive,
                "' already exists; move it away and run again.");
}

void temp_archive_not_regular(std::string_view archive) {
    print_named("Error! Temporary archive '", archive,
                "' is not a regular file; move it away and run again.");
}

void output_is_temp_archive(std::string_view output) {
    print_named("Error! Output file '", output, "' is the temporary archive's name.");
}

void output_is_input(std::string_view output) {
    print_named("Error! Output file '", output, "' is the input file.");
}

void output_is_standard_output(std::string_view output) {
    print_named("Error! Output file '", output,
                "' is standard output, which carries the messages.");
}

void input_is_temp_archive(std::string_view input) {
    print_named("Error! Input file '", input,
                "' is the temporary archive; rename it before decrypting.");
}

void temp_archive_not_deleted(std::string_view archive) {
    print_named("Error! Can't delete file '", archive, "'.");
}

void archiver_not_found(std::span<const std::string_view> names) {
    std::string listed;
    for (const auto name : names) {
        listed += listed.empty() ? "'" : ", '";
        listed += name;
        listed += "'";
    }
    print_line("Error! Archiver not found: looked for " + listed + " on PATH.");
}

void input_not_packable(std::string_view input) {
    print_named("Error! Input '", input, "' is neither a file nor a folder.");
}

void folder_busy() {
    print_line("Error! Another quorvel run is working in this folder.");
}

void folder_not_locked() {
    print_line("Error! Can't lock this folder against other quorvel runs; it must be readable.");
}

void password_too_long() {
    print_line("Error! Password is longer than " + std::to_string(MAX_PASSWORD_SIZE) + " bytes.");
}

void passwords_differ() {
    print_line("Error! The passwords typed do not match.");
}

void password_unreadable(std::string_view source) {
    print_named("Error! Can't read the password from '", source, "'.");
}

void not_a_switch(std::string_view variable, std::string_view word) {
    print_named("Error! " + std::string(variable) + " holds '", word, "', which is not a switch.");
}

void switch_refused(std::string_view variable, std::string_view word, SwitchDanger danger) {
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
    }
    print_named("Error! " + std::string(variable) + " holds '", word,
                "', which would " + std::string(effect) + ".");
}

void command_line_differs() {
    print_line(
        "Error! The command line reads differently in Unicode and in the active code page; "
        "write it without double quotes inside arguments.");
}

void mode_refused(std::string_view variable, std::string_view value) {
    print_named("Error! " + std::string(variable) + " holds '", value,
                "'; it takes 'encrypt' or 'decrypt'.");
}

void not_encrypted(const std::filesystem::path& input) {
    named_path("Error! File '", input,
               "' does not begin with '%quorvel%', so it cannot be decrypted.");
}

void unexpected_failure(std::string_view description) {
    print_named("Error! Unexpected failure: ", description, ".");
}

}  // namespace quorvel::say
