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
#include "app/messages.h"
#include "app/password_source.h"
#include "app/progress_meter.h"
#include "app/temporary_file.h"
#include "cipher/key_schedule.h"
#include "cipher/secure_wipe.h"
#include "container/format.h"
#include "container/stream.h"
#include "files/files.h"
#include "keyfile/keyfile.h"

namespace quorvel {

namespace {

namespace fs = std::filesystem;

struct Arguments {
    std::string_view in_fname;
    std::string_view out_fname;
    std::string_view password;
    std::optional<std::string_view> key_file_name;   // only with exactly four arguments
    std::span<const std::string> archiver_switches;  // the user's, for this run's direction
};

fs::path as_path(std::string_view text) {
    return argument_path(text);
}

const fs::path TEMP_ARCHIVE_PATH(TEMP_ARCHIVE_NAME);

std::span<const std::uint8_t> password_bytes(std::string_view password) {
    return {reinterpret_cast<const std::uint8_t*>(password.data()), password.size()};
}

// True when `a` and `b` name one file: the same file now, or the same name once every
// symbolic link is followed (a dangling one included, as writing through it would create
// the file it names).
bool same_file_or_name(const fs::path& a, const fs::path& b) {
    if (files::same_file(a, b)) return true;
    const fs::path resolved = files::resolve(a);
    return !resolved.empty() && resolved == files::resolve(b);
}

// Refuses the runs that would clobber data through the temporary archive's fixed name,
// before anything is touched: packing into an archive left by an earlier run (the archiver
// would add to it, and its old contents would be encrypted too), and encrypting into the
// archive's own name.
bool temp_archive_is_free_for_packing(const Arguments& args) {
    const auto kind = files::kind_at(TEMP_ARCHIVE_PATH);
    if (kind != files::Kind::missing && kind != files::Kind::unknown) {
        say::temp_archive_exists(TEMP_ARCHIVE_NAME);
        return false;
    }
    if (same_file_or_name(as_path(args.out_fname), TEMP_ARCHIVE_PATH)) {
        say::output_is_temp_archive(args.out_fname);
        return false;
    }
    return true;
}

// Refuses decrypting the archive onto itself, and an archive name that holds anything but a
// regular file (a symbolic link, say), which the run would otherwise replace.
bool temp_archive_is_free_for_decrypting(const Arguments& args) {
    if (files::same_file(as_path(args.in_fname), TEMP_ARCHIVE_PATH)) {
        say::input_is_temp_archive(args.in_fname);
        return false;
    }
    const auto kind = files::kind_at(TEMP_ARCHIVE_PATH);
    if (kind != files::Kind::missing && kind != files::Kind::regular) {
        say::temp_archive_not_regular(TEMP_ARCHIVE_NAME);
        return false;
    }
    return true;
}

std::optional<fs::path> locate_archiver() {
    auto archiver = find_archiver();
    if (!archiver) say::archiver_not_found(archiver_names());
    return archiver;
}

// The archiver packs a device or a pipe as an empty entry; only files and folders go in. A
// missing input is left to the archiver, which reports it.
bool input_is_packable(const Arguments& args) {
    const auto kind = files::kind_behind(as_path(args.in_fname));
    if (kind != files::Kind::other) return true;
    say::input_not_packable(args.in_fname);
    return false;
}

// A key file must not be the file the run reads or replaces: replacing it would lose the key
// the output was made with.
bool key_file_stands_apart(const Arguments& args, CipherMode mode) {
    if (!args.key_file_name) return true;
    const fs::path key_file = as_path(*args.key_file_name);
    if (mode == CipherMode::encrypt && same_file_or_name(key_file, as_path(args.out_fname))) {
        say::key_file_is_output(*args.key_file_name);
        return false;
    }
    if (same_file_or_name(key_file, as_path(args.in_fname))) {
        say::key_file_is_input(*args.key_file_name);
        return false;
    }
    return true;
}

// The first 3072 bytes of a key file make the keys; a shorter one gives weak keys (one of
// 256 bytes or less gives the keys of an empty file) and new files are not encrypted with
// it. Decryption still takes it, so that files made with such a key file can be read back.
bool key_file_is_long_enough(const KeyFile& key_file, std::string_view name) {
    if (key_file.size() >= KEY_FILE_SIZE) return true;
    say::key_file_too_short(name, key_file.size());
    return false;
}

// Say what failed and give false, for the caller to return.
bool key_file_failed(const KeyFileFault& fault) {
    say::key_file_fault(fault);
    return false;
}

bool file_failed(const FileFault& fault) {
    say::file_fault(fault);
    return false;
}

// Fills `keys` from the password or, with a key file, from the key file and the password's
// length. A missing key file is created in encrypt mode, owned by `new_key_file` until the
// output is in place; in decrypt mode it ends the run.
bool prepare_round_keys(const Arguments& args, CipherMode mode, RoundKeyTable& keys,
                        std::optional<TemporaryFile>& new_key_file) {
    keys = RoundKeyTable{};
    if (!args.key_file_name) {
        build_round_keys(keys, password_bytes(args.password), mode, KeySource::password);
        return true;
    }
    const fs::path path = as_path(*args.key_file_name);
    KeyFile key_file = KeyFile::open(path);
    if (const auto refused = key_file.refusal()) return key_file_failed(*refused);
    if (key_file.missing()) {
        if (mode == CipherMode::decrypt) {
            say::key_file_missing(*args.key_file_name);
            return false;
        }
        const InterruptsDeferred deferred;
        const auto identity = create_key_file(path);
        if (!identity) return key_file_failed({KeyFileFault::Kind::not_created, path});
        say::key_file_created();
        new_key_file.emplace(TemporaryFile::adopt(path, *identity));
        if (const auto fault = read_key_file(path, keys)) return key_file_failed(*fault);
    } else {
        say::key_file_found();
        if (mode == CipherMode::encrypt &&
            !key_file_is_long_enough(key_file, *args.key_file_name)) {
            return false;
        }
        if (const auto fault = key_file.read_into(keys)) return key_file_failed(*fault);
    }
    build_round_keys(keys, password_bytes(args.password), mode, KeySource::key_file);
    return true;
}

// The cipher stage between its start and its verdict, with a progress meter when the input
// is large and a terminal watches; the verdict's message erases the meter.
StreamResult run_cipher_stage(FilePair& pair, CipherMode mode, const RoundKeyTable& keys,
                              const Arguments& args) {
    say::cipher_started(mode);
    const auto meter = progress_source_for(*pair.input, pair.input->size());
    const StreamResult result = run_cipher(pair, mode, keys, args.password.size(), meter.get());
    if (const auto fault = stream_fault(pair, result)) {
        say::file_fault(*fault);
    } else {
        say::cipher_finished(mode, result);
    }
    return result;
}

// Closes the pair, putting its output in place; says so and returns false when it fails.
bool close_pair(FilePair& pair) {
    if (const auto fault = close_file_pair(pair)) return file_failed(*fault);
    return true;
}

// An output being written under a temporary name gets `owner` for that name.
void own_pending(const OutputFile& output, std::optional<TemporaryFile>& owner) {
    if (output.pending_path().empty() || !output.identity()) return;
    owner.emplace(TemporaryFile::adopt(output.pending_path(), *output.identity()));
}

// Removes the temporary archive, which holds plaintext, at the end of a run. Returns false,
// with a message, when it is still there.
bool discard_temp_archive(TemporaryFile& archive) {
    const bool removed = archive.remove();
    if (!removed) say::temp_archive_not_deleted(TEMP_ARCHIVE_NAME);
    return removed;
}

// Creates the output before anything is packed, so that a name that cannot be written
// fails first; its temporary file is owned by `pending`.
std::optional<OutputFile> create_output(const Arguments& args,
                                        std::optional<TemporaryFile>& pending) {
    const InterruptsDeferred deferred;
    auto output = OutputFile::create(as_path(args.out_fname), OutputPolicy::replace_atomically);
    if (!output) {
        say::file_fault({FileFault::Kind::cannot_create, as_path(args.out_fname)});
        return std::nullopt;
    }
    own_pending(*output, pending);
    return output;
}

// The files an encryption makes besides the archive: the output's temporary file and a new
// key file. Both stay once the output is in place (the key file is then needed to decrypt
// it), and go otherwise.
struct EncryptionFiles {
    std::optional<TemporaryFile> pending_output;
    std::optional<TemporaryFile> new_key_file;

    void output_in_place() {
        if (pending_output) pending_output->commit();
        if (new_key_file) new_key_file->commit();
    }
};

// Packs the input into the temporary archive and streams that into `output`, which takes
// its place only when complete.
bool pack_and_encrypt(const Arguments& args, const fs::path& archiver, const RoundKeyTable& keys,
                      OutputFile output, EncryptionFiles& made) {
    say::pack_echo(args.in_fname);
    // The name was free and the folder is this run's: what the archiver makes there is ours.
    TemporaryFile archive = TemporaryFile::claim(TEMP_ARCHIVE_PATH);
    if (!pack_into_temp_archive(archiver, args.in_fname, args.archiver_switches)) {
        say::pack_failed(args.in_fname);
        discard_temp_archive(archive);
        return false;
    }
    FilePair pair;
    pair.input_path = TEMP_ARCHIVE_PATH;
    pair.output_path = as_path(args.out_fname);
    auto archive_file = InputFile::open(TEMP_ARCHIVE_PATH, false);
    if (!archive_file) {
        say::file_fault({FileFault::Kind::not_found, TEMP_ARCHIVE_PATH});
        discard_temp_archive(archive);
        return false;
    }
    if (const auto identity = archive_file->identity()) archive.identify(*identity);
    pair.input.emplace(std::move(*archive_file));
    pair.output = std::move(output);
    const bool encrypted =
        run_cipher_stage(pair, CipherMode::encrypt, keys, args) == StreamResult::ok &&
        close_pair(pair);
    if (encrypted) made.output_in_place();
    pair.input.reset();
    pair.output.reset();
    return discard_temp_archive(archive) && encrypted;
}

int encrypt_run(const Arguments& args) {
    if (!temp_archive_is_free_for_packing(args)) return EXIT_FAILED;
    const auto archiver = locate_archiver();
    if (!archiver || !input_is_packable(args) || !key_file_stands_apart(args, CipherMode::encrypt))
        return EXIT_FAILED;
    EncryptionFiles made;
    auto output = create_output(args, made.pending_output);
    if (!output) return EXIT_FAILED;
    RoundKeyTable keys{};
    const bool done = prepare_round_keys(args, CipherMode::encrypt, keys, made.new_key_file) &&
                      pack_and_encrypt(args, *archiver, keys, std::move(*output), made);
    secure_wipe(std::as_writable_bytes(std::span(keys)));
    return done ? EXIT_OK : EXIT_FAILED;
}

// Decrypts into a fresh private file that becomes the temporary archive once complete, and
// extracts it. The archive stays after "Decrypt WRONG!" (for inspection) and after a failed
// extraction. `input` is the encrypted input as the signature probe left it, so that an input
// that can be read only once (a pipe) is not opened a second time.
int decrypt_with_keys(const Arguments& args, const fs::path& archiver, const RoundKeyTable& keys,
                      ProbedInput input) {
    FilePair pair;
    std::optional<TemporaryFile> pending;
    std::optional<TemporaryFile> archive;
    {
        const InterruptsDeferred deferred;
        if (const auto fault = open_file_pair(pair, std::move(input), as_path(args.in_fname),
                                              TEMP_ARCHIVE_PATH, OutputPolicy::private_file)) {
            say::file_fault(*fault);
            return EXIT_FAILED;
        }
        own_pending(*pair.output, pending);
        if (!pending) {
            say::file_fault({FileFault::Kind::cannot_create, TEMP_ARCHIVE_PATH});
            return EXIT_FAILED;
        }
        // Once renamed, the archive name refers to this same file.
        archive.emplace(TemporaryFile::adopt(TEMP_ARCHIVE_PATH, *pair.output->identity()));
    }
    const files::Identity identity = *pair.output->identity();
    const StreamResult result = run_cipher_stage(pair, CipherMode::decrypt, keys, args);
    const bool closed =
        (result == StreamResult::ok || result == StreamResult::check_failed) && close_pair(pair);
    if (!closed) return EXIT_FAILED;
    archive->identify(identity);  // now at its name: held open from here
    pending->commit();
    if (result == StreamResult::check_failed) {
        archive->commit();  // kept for inspection; nothing is extracted from it
        return EXIT_FAILED;
    }
    if (!unpack_temp_archive(archiver, args.archiver_switches)) {
        say::unpack_failed();
        archive->commit();
        return EXIT_FAILED;
    }
    return discard_temp_archive(*archive) ? EXIT_OK : EXIT_FAILED;
}

int decrypt_run(const Arguments& args, ProbedInput input) {
    if (!temp_archive_is_free_for_decrypting(args)) return EXIT_FAILED;
    const auto archiver = locate_archiver();
    if (!archiver || !key_file_stands_apart(args, CipherMode::decrypt)) return EXIT_FAILED;
    RoundKeyTable keys{};
    std::optional<TemporaryFile> no_new_key_file;
    int status = EXIT_FAILED;
    if (prepare_round_keys(args, CipherMode::decrypt, keys, no_new_key_file)) {
        status = decrypt_with_keys(args, *archiver, keys, std::move(input));
    }
    secure_wipe(std::as_writable_bytes(std::span(keys)));
    return status;
}

}  // namespace

int run_quorvel(std::span<const std::string_view> arg_list) {
    if (arg_list.size() < 3) {
        say::usage();
        return EXIT_USAGE_TEXT;
    }
    Arguments args{arg_list[0],
                   arg_list[1],
                   arg_list[2],
                   arg_list.size() == 4 ? std::optional(arg_list[3]) : std::nullopt,
                   {}};
    if (args.password.size() > MAX_PASSWORD_SIZE) {
        say::password_too_long();
        return EXIT_FAILED;
    }

    install_interrupt_cleanup();
    // Held to the end of the run: a second run here would share the temporary archive's name.
    const auto lock = files::FolderLock::take();
    if (lock.state() == files::FolderLock::State::busy) {
        say::folder_busy();
        return EXIT_FAILED;
    }
    const fs::path input_path = as_path(args.in_fname);
    ProbeResult probed = probe_signature(input_path);
    say::probe_result(probed.kind, input_path);
    const CipherMode mode = probed.encrypted() ? CipherMode::decrypt : CipherMode::encrypt;
    // Both are read before anything is made; the prompt for a password needs the direction.
    const auto switches = archiver_switches(mode);
    if (!switches) return EXIT_FAILED;
    args.archiver_switches = *switches;
    PasswordBuffer password;
    if (!resolve_password(args.password, mode, password)) return EXIT_FAILED;
    args.password = password.view();
    if (probed.encrypted()) return decrypt_run(args, std::move(*probed.input));
    probed.input.reset();  // the archiver reads a plain input itself
    return encrypt_run(args);
}

}  // namespace quorvel
