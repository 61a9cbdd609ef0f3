// The messages of a run. The libraries below report what happened (container: InputKind,
// StreamResult, FileFault; keyfile: KeyFileFault) and the run turns that into the texts here;
// the help, the warnings and the progress meter have files of their own beside this one.
// Rules for the texts:
// - Every message goes to standard output, byte for byte as written here, misspellings
//   included: these texts are the program's interface and other tools compare them exactly.
// - Error messages start "Error! " (the two archiver failures keep their older "Error pack
//   file" and "Error unpack file" form) and show names between single quotes: the name as
//   typed for an argument, display_name() of a path.
// - "Key file found." has no line break; the next message follows on the same line.
// - Every failure is also told on standard error, one line starting "quorvel: error: " with
//   its cause (the system's error, the archiver's status, what is missing), when standard
//   output is not a terminal: a pipe or a file that takes standard output would hide it.
//   Hints ("quorvel: hint: "), which say what to do next, go to standard error always.
// - The cipher stage prints its start before the first byte is read and its verdict after
//   the last is written; the progress meter on standard error draws in between, and any
//   message erases it first (console/console.h).
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>

#include "app/messages/outcome.h"
#include "cipher/cipher_mode.h"
#include "container/format.h"
#include "container/stream.h"
#include "keyfile/keyfile.h"

namespace quorvel {

// The temporary archive's name. It holds a plaintext copy of the data.
inline constexpr std::string_view TEMP_ARCHIVE_NAME = "quorvelxxxfilo.7z";

// What a refused archiver switch would do to the run.
enum class SwitchDanger {
    deletes_input,     // -sdel: the input goes once packed, before the encrypted file is made
    splits_archive,    // -v: volumes at names the run does not own
    standard_streams,  // -si, -so: the archive or its files through standard input or output
    moves_archive,     // -sfx, -saa, -w, -u...!NAME: the archive at another name or folder
    shifts_arguments,  // a double quote: 7-Zip on Windows reads it as quoting, so the words
                       // after it would begin and end elsewhere (windows_command_line.h)
    makes_folder,      // -o in a test or a listing: 7-Zip's test makes the folder it names
};

// How an archiver's run ended, for the cause of its failure.
struct ArchiverEnding {
    enum class Kind { exited, killed, not_started };
    Kind kind = Kind::not_started;
    int code = 0;  // the exit status, or the signal that ended it
};

// Why a password source gave no password.
enum class PasswordTrouble {
    unknown_form,    // QUORVEL_PASSWORD_FROM holds none of its forms
    variable_unset,  // env:NAME names a variable that is not set
    file_unopened,   // file:PATH does not open (the error says why)
    bad_descriptor,  // fd:N holds no descriptor number
    unreadable,      // a read failed (the error says why)
    no_terminal,     // tty with no terminal to ask on
    empty,           // the source gave an empty line
};

}  // namespace quorvel

namespace quorvel::say {

// Every function below that tells of a failure returns the Reported that proves it.

// The three lines of help shown for fewer than three arguments, and on standard error a hint
// that --help tells more.
Reported usage();

// "Crypt run": the input is to be encrypted.
void crypt_run();

// "Error! File '...' not found.": the input does not open, for the reason `error`. A name
// that looks like an option gets a hint naming the options there are.
Reported input_not_found(const std::filesystem::path& input, int error);

// "Error! File '...' not found.", "Error! Can't create file '...'.", "Error! Can't read
// file '...'." or "Error! Can't write file '...'.", by the fault's kind.
Reported file_fault(const FileFault& fault);

// "Error! File '...' not found.", "Error! Key file '...' is not a regular file.",
// "Error! Can't read key-file '...'." or "Error! Can't create key-file '...'.", by kind.
Reported key_file_fault(const KeyFileFault& fault);

// "Key file found." (no line break).
void key_file_found();

// "Key file is successfully created!"
void key_file_created();

// "Error! Key file '...' not found.": decryption needs the key file it names.
Reported key_file_missing(std::string_view name);

// "Error! Key file '...' is the output file.", "... is the input file." or "... is the
// temporary archive, which the run replaces.".
Reported key_file_is_output(std::string_view name);
Reported key_file_is_input(std::string_view name);
Reported key_file_is_temp_archive(std::string_view name);

// "Error! Key file '...' is N bytes long; a key file needs 3072 or more."
Reported key_file_too_short(std::string_view name, std::uint64_t size);

// "Crypt process start!" or "Decrypt process start!", by `mode`, pushed out at once.
void cipher_started(CipherMode mode);

// The verdict of a cipher stage that wrote everything: "Cript complite" for encryption,
// "Decrypt OK!" or, when the check block differs, "Decrypt WRONG!" (a failure) for
// decryption, with its likely causes and, when `kept` names it, the file kept.
void encryption_complete();
void decryption_ok();
Reported decryption_wrong(std::string_view kept);

// After an extraction: where the files went (the current folder, `folder`, or where an -o
// switch said when `elsewhere`) and that the output name was not used; nothing when `output`
// is one character (the usual placeholder).
void extracted_into(const std::filesystem::path& folder, std::string_view output, bool elsewhere);

// The answer to --help or --version did not reach standard output.
void answer_not_written();

// The packing command between "!" lines, as the program has always shown it on every
// platform: "!", "7z.exe a quorvelxxxfilo.7z " and the input as typed, "!" (no line break).
void pack_echo(std::string_view input);

// The archiver's command of a test ("t") or a listing ("l") of the decrypted archive, between
// "!" lines: "!", "7z.exe " `command` " " and the archive's name, "!" and a line break.
void check_echo(std::string_view command, const std::filesystem::path& archive);

// The last line of a test or a listing that succeeded: "Test OK!" or "List OK!".
void archive_tested();
void archive_listed();

// The archiver found fault with the archive decrypted from `input`: "Error! The archive in
// '...' failed 7-Zip's test." or "Error! 7-Zip could not list the archive in '...'.".
Reported test_failed(std::string_view input, const ArchiverEnding& ending);
Reported list_failed(std::string_view input, const ArchiverEnding& ending);

// "Error! Can't create a file in the temporary folder '...'.": a test or a listing has nowhere
// to decrypt to.
Reported scratch_archive_not_made(const std::filesystem::path& folder);

// "Error pack file '...'" and "Error unpack file ", with how the archiver ended; the packing
// folder not made in the current folder (for the reason `error`) gives the first too.
Reported pack_failed(std::string_view input, const ArchiverEnding& ending);
Reported packing_folder_not_made(std::string_view input, int error);
Reported unpack_failed(const ArchiverEnding& ending);

// The temporary archive's name in the way of a run: "Error! Temporary archive '...' already
// exists; ...", "... is not a regular file; ...", the output or input being it, or it
// staying behind ("Error! Can't delete file '...'.").
Reported temp_archive_exists(std::string_view archive);
Reported temp_archive_not_regular(std::string_view archive);
Reported output_is_temp_archive(std::string_view output);
Reported input_is_temp_archive(std::string_view input);
Reported temp_archive_not_deleted(std::string_view archive);

// An output the run must not write: "Error! Output file '...' is the input file.", "... is
// standard output, which carries the messages." or "... is standard error, which carries the
// warnings.".
Reported output_is_input(std::string_view output);
Reported output_is_standard_output(std::string_view output);
Reported output_is_standard_error(std::string_view output);

// "Error! Archiver not found: looked for 'a', 'b' on PATH."
Reported archiver_not_found(std::span<const std::string_view> names);

// "Error! Input '...' is neither a file nor a folder."
Reported input_not_packable(std::string_view input);

// "Error! Another quorvel run is working in this folder."
Reported folder_busy();

// "Error! Can't lock this folder against other quorvel runs; it must be readable."
Reported folder_not_locked();

// "Error! Password is longer than 255 bytes.", "Error! The passwords typed do not match.",
// "Error! Can't read the password from '...'.".
Reported password_too_long();
Reported passwords_differ();
Reported password_unreadable(std::string_view source, PasswordTrouble trouble, int error);

// "Error! VARIABLE holds 'WORD', which is not a switch."
Reported not_a_switch(std::string_view variable, std::string_view word);

// "Error! VARIABLE holds 'WORD', which would delete the input." (or "... split the archive
// into volumes.", "... pass the archive or its files through standard input or output.",
// "... write the archive under another name or in another folder.", "... move where the
// archiver's arguments begin and end on Windows: a switch cannot hold a double quote.", "...
// make a folder: a test or a listing writes nothing."), by `danger`.
Reported switch_refused(std::string_view variable, std::string_view word, SwitchDanger danger);

// "Error! The command line reads differently in Unicode and in the active code page; ..."
Reported command_line_differs();

// "Error! QUORVEL_MODE holds 'VALUE'; it takes 'encrypt', 'decrypt', 'test' or 'list'."
Reported mode_refused(std::string_view variable, std::string_view value);

// "Error! File '...' does not begin with '%quorvel%', so it cannot be decrypted.": decryption
// was asked for an input that is not an encrypted file.
Reported not_encrypted(const std::filesystem::path& input);

// "Error! Output file '...' is a terminal.": the encrypted bytes would go to the screen.
Reported output_is_terminal(std::string_view output);

// "Error! Unexpected failure: DESCRIPTION." Allocates nothing, as the failure may be one of
// memory.
Reported unexpected_failure(std::string_view description);

}  // namespace quorvel::say
