#include "app/run_sequence.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <system_error>

#include "app/archiver.h"
#include "app/archiver_switches.h"
#include "app/command_line.h"
#include "app/interrupt_cleanup.h"
#include "app/password_source.h"
#include "app/progress_meter.h"
#include "cipher/key_schedule.h"
#include "cipher/secure_wipe.h"
#include "console/console.h"
#include "container/format.h"
#include "container/stream.h"
#include "keyfile/keyfile.h"

namespace quorvel {

namespace {

namespace fs = std::filesystem;

struct Arguments {
    std::string_view in_fname;
    std::string_view out_fname;
    std::string_view password;
    std::optional<std::string_view> key_file_name;  // only with exactly four arguments
};

fs::path as_path(std::string_view text) {
    return argument_path(text);
}

std::span<const std::uint8_t> password_bytes(std::string_view password) {
    return {reinterpret_cast<const std::uint8_t*>(password.data()), password.size()};
}

void print_usage() {
    print_text("quorvel.exe /in_fname/ /out_fname/ /password/\n");
    print_text(
        "If you want to use key file, add 4 parametr - /key_file_name/. If program not found "
        "this file, it's create it, absolutely random!\n");
    print_text("When decrypt /out_fname/  must be random(program don't use it), but not empty!\n");
}

bool same_file(const fs::path& a, const fs::path& b) {
    std::error_code error;
    return fs::equivalent(a, b, error);
}

// Refuses the runs that would clobber data through the temporary archive's fixed name,
// before anything is touched: decrypting the archive onto itself, packing into an archive
// left by an earlier run (the archiver would add to it, and its old contents would be
// encrypted too), and encrypting into the archive's own name.
bool temp_archive_is_free(CipherMode mode, const Arguments& args) {
    const fs::path temp_archive(TEMP_ARCHIVE_NAME);
    if (mode == CipherMode::decrypt) {
        if (!same_file(as_path(args.in_fname), temp_archive)) return true;
        print_named("Error! Input file '", args.in_fname,
                    "' is the temporary archive; rename it before decrypting.");
        return false;
    }
    std::error_code error;
    if (fs::exists(fs::symlink_status(temp_archive, error))) {
        print_named("Error! Temporary archive '", TEMP_ARCHIVE_NAME,
                    "' already exists; move it away and run again.");
        return false;
    }
    const auto output = fs::weakly_canonical(fs::absolute(as_path(args.out_fname), error), error);
    const bool output_resolved = !error;
    const auto archive = fs::weakly_canonical(fs::absolute(temp_archive, error), error);
    if (output_resolved && !error && output == archive) {
        print_named("Error! Output file '", args.out_fname, "' is the temporary archive's name.");
        return false;
    }
    return true;
}

std::optional<fs::path> locate_archiver() {
    auto archiver = find_archiver();
    if (!archiver) {
        std::string names;
        for (const auto name : archiver_names()) {
            names += names.empty() ? "'" : ", '";
            names += name;
            names += "'";
        }
        print_line("Error! Archiver not found: looked for " + names + " on PATH.");
    }
    return archiver;
}

// A key file of another size still reads (missing bytes as 0xFF), but a short one gives
// weak keys (one of 256 bytes or less gives the keys of an empty file) and either is most
// likely the wrong file: new files are not encrypted with it. Decryption still takes it, so
// that files made with such a key file can be read back.
bool key_file_has_full_size(std::string_view key_file_name) {
    std::error_code error;
    const auto size = fs::file_size(as_path(key_file_name), error);
    if (error || size == KEY_FILE_SIZE) return true;  // unreadable ones are reported by the reader
    print_named("Error! Key file '", key_file_name,
                "' is " + std::to_string(size) + " bytes long; a key file has 3072.");
    return false;
}

// Fills `keys` from the password or, with a key file, from the key file and the password's
// length. A missing key file is created in encrypt mode; in decrypt mode it ends the run.
bool prepare_round_keys(const Arguments& args, CipherMode mode, RoundKeyTable& keys) {
    keys = RoundKeyTable{};
    if (!args.key_file_name) {
        build_round_keys(keys, password_bytes(args.password), mode, KeySource::password);
        return true;
    }
    const fs::path key_file = as_path(*args.key_file_name);
    if (!key_file_exists(key_file)) {
        if (mode == CipherMode::decrypt) {
            print_named("Error! Key file '", *args.key_file_name, "' not found.");
            return false;
        }
        if (!create_key_file(key_file)) return false;
    } else if (mode == CipherMode::encrypt && !key_file_has_full_size(*args.key_file_name)) {
        return false;
    }
    if (!read_key_file(key_file, keys)) return false;
    build_round_keys(keys, password_bytes(args.password), mode, KeySource::key_file);
    return true;
}

// The cipher stage, with a progress meter when the input is large and a terminal watches.
StreamResult run_cipher_stage(FilePair& pair, CipherMode mode, const RoundKeyTable& keys,
                              const Arguments& args) {
    const auto meter = progress_source_for(*pair.input, pair.input->size());
    return run_cipher(pair, mode, keys, args.password.size(), meter.get());
}

// Removes the temporary archive, which holds plaintext, at the end of a run. Returns false,
// with a message, when it is still there.
bool discard_temp_archive() {
    const bool removed = remove_temp_archive();
    forget_on_interrupt(TEMP_ARCHIVE_NAME);
    if (!removed) print_named("Error! Can't delete file '", TEMP_ARCHIVE_NAME, "'.");
    return removed;
}

int fail_discarding_temp_archive() {
    discard_temp_archive();
    return EXIT_FAILED;
}

int finish_discarding_temp_archive() {
    return discard_temp_archive() ? EXIT_OK : EXIT_FAILED;
}

// Streams the packed archive into the output, which takes its place only when complete.
bool encrypt_temp_archive(const Arguments& args, const RoundKeyTable& keys) {
    FilePair pair;
    if (!open_file_pair(pair, fs::path(TEMP_ARCHIVE_NAME), as_path(args.out_fname),
                        OutputPolicy::replace_atomically)) {
        return false;
    }
    const fs::path pending = pair.output->pending_path();
    if (!pending.empty()) remove_on_interrupt(pending);
    const bool encrypted =
        run_cipher_stage(pair, CipherMode::encrypt, keys, args) == StreamResult::ok &&
        close_file_pair(pair);
    pair.output.reset();  // a failed output's temporary file goes with it
    if (!pending.empty()) forget_on_interrupt(pending);
    return encrypted;
}

int encrypt_run(const Arguments& args, const fs::path& archiver, const RoundKeyTable& keys,
                std::span<const std::string> switches) {
    print_text("!\n" + pack_command_text(args.in_fname) + "\n!");
    remove_on_interrupt(TEMP_ARCHIVE_NAME);  // no archive was there before: it is this run's
    if (!pack_into_temp_archive(archiver, args.in_fname, switches)) {
        print_named("Error pack file '", args.in_fname, "'");
        return fail_discarding_temp_archive();
    }
    if (!encrypt_temp_archive(args, keys)) return fail_discarding_temp_archive();
    return finish_discarding_temp_archive();
}

int decrypt_run(const Arguments& args, const fs::path& archiver, const RoundKeyTable& keys,
                std::span<const std::string> switches) {
    remove_on_interrupt(TEMP_ARCHIVE_NAME);
    FilePair pair;
    if (!open_file_pair(pair, as_path(args.in_fname), fs::path(TEMP_ARCHIVE_NAME),
                        OutputPolicy::private_file)) {
        forget_on_interrupt(TEMP_ARCHIVE_NAME);
        return EXIT_FAILED;
    }
    const StreamResult result = run_cipher_stage(pair, CipherMode::decrypt, keys, args);
    if (result == StreamResult::check_failed) {
        // What was decrypted stays for inspection; nothing is extracted from it.
        close_file_pair(pair);
        forget_on_interrupt(TEMP_ARCHIVE_NAME);
        return EXIT_FAILED;
    }
    if (result != StreamResult::ok || !close_file_pair(pair)) {
        // A broken stream left neither the whole archive nor a verified one.
        pair.output.reset();
        return fail_discarding_temp_archive();
    }
    if (!unpack_temp_archive(archiver, switches)) {
        print_text("Error unpack file \n");
        forget_on_interrupt(TEMP_ARCHIVE_NAME);
        return EXIT_FAILED;
    }
    return finish_discarding_temp_archive();
}

}  // namespace

int run_quorvel(std::span<const std::string_view> arg_list) {
    if (arg_list.size() < 3) {
        print_usage();
        return EXIT_USAGE_TEXT;
    }
    Arguments args{arg_list[0], arg_list[1], arg_list[2],
                   arg_list.size() == 4 ? std::optional(arg_list[3]) : std::nullopt};
    if (args.password.size() > MAX_PASSWORD_SIZE) {
        print_line("Error! Password is longer than 255 bytes.");
        return EXIT_FAILED;
    }

    install_interrupt_cleanup();
    const CipherMode mode =
        is_encrypted_file(as_path(args.in_fname)) ? CipherMode::decrypt : CipherMode::encrypt;
    if (!temp_archive_is_free(mode, args)) return EXIT_FAILED;
    const auto archiver = locate_archiver();
    if (!archiver) return EXIT_FAILED;
    const auto switches = archiver_switches(mode);
    if (!switches) return EXIT_FAILED;
    PasswordBuffer password;
    if (!resolve_password(args.password, mode, password)) return EXIT_FAILED;
    args.password = password.view();

    RoundKeyTable keys{};
    int status = EXIT_FAILED;
    if (prepare_round_keys(args, mode, keys)) {
        status = mode == CipherMode::encrypt ? encrypt_run(args, *archiver, keys, *switches)
                                             : decrypt_run(args, *archiver, keys, *switches);
    }
    secure_wipe(std::as_writable_bytes(std::span(keys)));
    return status;
}

}  // namespace quorvel
