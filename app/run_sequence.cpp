#include "app/run_sequence.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <system_error>

#include "app/archiver.h"
#include "app/command_line.h"
#include "app/progress_meter.h"
#include "cipher/key_schedule.h"
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

fs::path as_path(std::string_view text) { return argument_path(text); }

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
    if (fs::weakly_canonical(fs::absolute(as_path(args.out_fname), error), error) ==
        fs::weakly_canonical(fs::absolute(temp_archive, error), error)) {
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

// Ends a failed encryption run: the temporary archive is a plaintext copy of the input and
// must not outlive the run.
int fail_removing_temp_archive() {
    if (!remove_temp_archive()) {
        print_named("Error! Can't delete file '", TEMP_ARCHIVE_NAME, "'.");
    }
    return EXIT_FAILED;
}

int finish_removing_temp_archive() {
    if (remove_temp_archive()) return EXIT_OK;
    print_named("Error! Can't delete file '", TEMP_ARCHIVE_NAME, "'.");
    return EXIT_FAILED;
}

int encrypt_run(const Arguments& args, const fs::path& archiver, const RoundKeyTable& keys) {
    print_text("!\n" + pack_command_text(args.in_fname) + "\n!");
    if (!pack_into_temp_archive(archiver, args.in_fname)) {
        print_named("Error pack file '", args.in_fname, "'");
        return fail_removing_temp_archive();
    }
    FilePair pair;
    if (!open_file_pair(pair, fs::path(TEMP_ARCHIVE_NAME), as_path(args.out_fname)) ||
        run_cipher_stage(pair, CipherMode::encrypt, keys, args) != StreamResult::ok ||
        !close_file_pair(pair)) {
        return fail_removing_temp_archive();
    }
    return finish_removing_temp_archive();
}

int decrypt_run(const Arguments& args, const fs::path& archiver, const RoundKeyTable& keys) {
    FilePair pair;
    if (!open_file_pair(pair, as_path(args.in_fname), fs::path(TEMP_ARCHIVE_NAME))) {
        return EXIT_FAILED;
    }
    const StreamResult result = run_cipher_stage(pair, CipherMode::decrypt, keys, args);
    if (result == StreamResult::check_failed) {
        // What was decrypted stays for inspection; nothing is extracted from it.
        close_file_pair(pair);
        return EXIT_FAILED;
    }
    if (result != StreamResult::ok) {
        // A broken stream left neither the whole archive nor a verified one.
        pair.output.reset();
        return fail_removing_temp_archive();
    }
    if (!close_file_pair(pair)) return fail_removing_temp_archive();
    if (!unpack_temp_archive(archiver)) {
        print_text("Error unpack file \n");
        return EXIT_FAILED;
    }
    return finish_removing_temp_archive();
}

}  // namespace

int run_quorvel(std::span<const std::string_view> arg_list) {
    if (arg_list.size() < 3) {
        print_usage();
        return EXIT_USAGE_TEXT;
    }
    const Arguments args{arg_list[0], arg_list[1], arg_list[2],
                         arg_list.size() == 4 ? std::optional(arg_list[3]) : std::nullopt};
    if (args.password.size() > MAX_PASSWORD_SIZE) {
        print_line("Error! Password is longer than 255 bytes.");
        return EXIT_FAILED;
    }

    const CipherMode mode = is_encrypted_file(as_path(args.in_fname)) ? CipherMode::decrypt
                                                                      : CipherMode::encrypt;
    if (!temp_archive_is_free(mode, args)) return EXIT_FAILED;
    const auto archiver = locate_archiver();
    if (!archiver) return EXIT_FAILED;

    RoundKeyTable keys;
    if (!prepare_round_keys(args, mode, keys)) return EXIT_FAILED;

    return mode == CipherMode::encrypt ? encrypt_run(args, *archiver, keys)
                                       : decrypt_run(args, *archiver, keys);
}

}  // namespace quorvel
