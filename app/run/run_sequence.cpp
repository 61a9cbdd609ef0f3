#include "app/run/run_sequence.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <utility>

#include "app/messages/messages.h"
#include "app/messages/progress_meter.h"
#include "app/password/password_source.h"
#include "app/process/archiver.h"
#include "app/process/command_line.h"
#include "app/process/process.h"
#include "app/run/archiver_switches.h"
#include "app/run/direction.h"
#include "app/run/first_look.h"
#include "app/signals/interrupt_cleanup.h"
#include "app/signals/temporary_file.h"
#include "cipher/key_schedule.h"
#include "container/format.h"
#include "container/stream.h"
#include "files/files.h"
#include "internal/run_files.h"
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
    // False when the output names a descriptor the user did not open (/dev/fd/N with N
    // closed at the start): the program's own descriptor would get the output.
    bool output_descriptor_given = true;
    // True when the output names standard output, where the messages go.
    bool output_is_standard_output = false;
};

constexpr int STANDARD_OUTPUT = 1;

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

// The output must not be the input, which the finished output would replace, nor standard
// output, where the messages would mix into it.
bool output_stands_apart(const Arguments& args) {
    if (args.output_is_standard_output) {
        say::output_is_standard_output(args.out_fname);
        return false;
    }
    // A folder input named as the output is a folder there, refused as an output that cannot
    // be written.
    const fs::path output = as_path(args.out_fname);
    const fs::path input = as_path(args.in_fname);
    if (files::kind_behind(input) != files::Kind::folder && same_file_or_name(output, input)) {
        say::output_is_input(args.out_fname);
        return false;
    }
    return true;
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

int exit_status(bool done) {
    return done ? EXIT_OK : EXIT_FAILED;
}

// Ends a run that failed with its archive removed or kept as `fate` says. A file that stays
// is said by settle() and changes nothing: the run has failed already.
int failed_run(TempArchive& archive, ArchiveFate fate) {
    static_cast<void>(archive.settle(fate));
    return EXIT_FAILED;
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

// True when `path` is a symbolic link to a name where nothing is: a mistyped link, say, which
// is not made to create a file where it points.
bool link_dangles(const fs::path& path) {
    return files::kind_at(path) == files::Kind::symlink &&
           files::kind_behind(path) == files::Kind::missing;
}

// Where the output goes, resolved and tried before anything is packed: an output that cannot
// be written is found before all the work, not after it.
std::optional<OutputTarget> output_target(const Arguments& args) {
    const fs::path path = as_path(args.out_fname);
    std::optional<OutputTarget> target;
    if (args.output_descriptor_given && !link_dangles(path)) {
        const InterruptsDeferred deferred;  // the folder is tried with a file made and removed
        target = OutputFile::find_target(path, OutputPolicy::replace_atomically);
    }
    if (!target) say::file_fault({FileFault::Kind::cannot_create, path});
    return target;
}

// The cipher stage between its start and its end, with a progress meter when the input is
// large and a terminal watches. Says what failed; the verdict is for the caller to give once
// the output is in place.
StreamResult run_cipher_stage(FilePair& pair, CipherMode mode, const RoundKeyTable& keys,
                              const Arguments& args) {
    say::cipher_started(mode);
    const auto meter = progress_source_for(pair.input(), pair.input().size());
    const std::uint64_t length = args.password.size();
    const StreamResult result =
        meter ? run_cipher(pair, *meter, mode, keys, length) : run_cipher(pair, mode, keys, length);
    if (const auto fault = stream_fault(pair, result)) say::file_fault(*fault);
    return result;
}

// Closes the pair, putting its output in place; says so and returns false when it fails.
bool close_pair(FilePair pair) {
    if (const auto fault = close_file_pair(std::move(pair))) return file_failed(*fault);
    return true;
}

// Packs the input into the temporary archive and encrypts that into the output at `target`,
// which is made only now, so that the archiver never sees it, and takes its name only when
// complete. The new key file, if any, stays from then on: the output needs it.
bool pack_and_encrypt(const Arguments& args, const fs::path& archiver, const RunKeys& keys,
                      const OutputTarget& target, TempArchive& archive,
                      std::optional<TemporaryFile>& new_key_file) {
    say::pack_echo(args.in_fname);
    const bool packed = pack_into_temp_archive(archiver, args.in_fname, args.archiver_switches);
    archive.after_packing();
    if (!packed) {
        say::pack_failed(args.in_fname);
        return false;
    }
    auto archive_file = InputFile::open(TEMP_ARCHIVE_PATH, files::FinalLink::refuse);
    if (!archive_file) return file_failed({FileFault::Kind::not_found, TEMP_ARCHIVE_PATH});
    if (const auto identity = archive_file->identity()) archive.identify(*identity);
    std::optional<TemporaryFile> pending_output;
    auto output = open_output(target, pending_output);
    if (!output) return file_failed({FileFault::Kind::cannot_create, as_path(args.out_fname)});
    FilePair pair(ProbedInput(std::move(*archive_file)), TEMP_ARCHIVE_PATH, std::move(*output),
                  as_path(args.out_fname));
    if (run_cipher_stage(pair, CipherMode::encrypt, keys.table(), args) != StreamResult::ok ||
        !close_pair(std::move(pair))) {
        return false;
    }
    if (pending_output) pending_output->commit();
    if (new_key_file) new_key_file->commit();
    return true;
}

int encrypt_run(const Arguments& args) {
    if (!temp_archive_is_free_for_packing(args)) return EXIT_FAILED;
    const auto archiver = locate_archiver();
    if (!archiver || !input_is_packable(args) || !output_stands_apart(args) ||
        !key_file_stands_apart(args, CipherMode::encrypt))
        return EXIT_FAILED;
    const auto target = output_target(args);
    if (!target) return EXIT_FAILED;
    RunKeys keys;
    std::optional<TemporaryFile> new_key_file;
    if (!prepare_round_keys(args, CipherMode::encrypt, keys.table(), new_key_file)) {
        return EXIT_FAILED;
    }
    TempArchive archive = TempArchive::before_packing();
    const bool encrypted = pack_and_encrypt(args, *archiver, keys, *target, archive, new_key_file);
    const bool cleaned = archive.settle(ArchiveFate::removed);
    if (!encrypted || !cleaned) return EXIT_FAILED;
    say::cipher_finished(CipherMode::encrypt, StreamResult::ok);
    return EXIT_OK;
}

// Decrypts into a fresh private file that becomes the temporary archive once complete, and
// extracts it. The archive stays after "Decrypt WRONG!" (for inspection) and after a failed
// extraction. `input` is the encrypted input as the signature probe left it, so that an input
// that can be read only once (a pipe) is not opened a second time.
int decrypt_with_keys(const Arguments& args, const fs::path& archiver, const RunKeys& keys,
                      ProbedInput input) {
    const auto target = [] {
        const InterruptsDeferred deferred;
        return OutputFile::find_target(TEMP_ARCHIVE_PATH, OutputPolicy::private_file);
    }();
    std::optional<TemporaryFile> pending;
    auto output = target ? open_output(*target, pending) : std::nullopt;
    if (!output) return file_failed({FileFault::Kind::cannot_create, TEMP_ARCHIVE_PATH});
    const files::Identity identity = *output->identity();
    // Once renamed, the archive name refers to this same file.
    TempArchive archive = [&] {
        const InterruptsDeferred deferred;
        return TempArchive::to_be(identity);
    }();
    FilePair pair(std::move(input), as_path(args.in_fname), std::move(*output), TEMP_ARCHIVE_PATH);
    const StreamResult result = run_cipher_stage(pair, CipherMode::decrypt, keys.table(), args);
    const bool written = result == StreamResult::ok || result == StreamResult::check_failed;
    if (!written || !close_pair(std::move(pair))) return failed_run(archive, ArchiveFate::removed);
    archive.identify(identity);  // now at its name: held open from here
    pending->commit();
    say::cipher_finished(CipherMode::decrypt, result);
    if (result == StreamResult::check_failed) return failed_run(archive, ArchiveFate::kept);
    if (!unpack_temp_archive(archiver, args.archiver_switches)) {
        say::unpack_failed();
        return failed_run(archive, ArchiveFate::kept);
    }
    return exit_status(archive.settle(ArchiveFate::removed));
}

int decrypt_run(const Arguments& args, ProbedInput input) {
    if (!temp_archive_is_free_for_decrypting(args)) return EXIT_FAILED;
    const auto archiver = locate_archiver();
    if (!archiver || !key_file_stands_apart(args, CipherMode::decrypt)) return EXIT_FAILED;
    RunKeys keys;
    std::optional<TemporaryFile> no_new_key_file;
    if (!prepare_round_keys(args, CipherMode::decrypt, keys.table(), no_new_key_file)) {
        return EXIT_FAILED;
    }
    return decrypt_with_keys(args, *archiver, keys, std::move(input));
}

// True when `fd` is a descriptor of this process that the user opened: not one closed at the
// start, which the program has opened itself (standard descriptors on the null device, the
// folder lock, ...). Asked before the run opens anything of its own.
bool descriptor_given_by_user(std::optional<int> fd) {
    return !fd || (files::descriptor_is_open(*fd) && !reopened_at_start(*fd));
}

// Looks for the signature without waiting on the input. A pipe, a device or a socket is not
// read at all when encryption is asked for, as it is refused as an input to encrypt; one that
// does not open (a socket) is plain data to the run, refused as such.
ProbeResult probe_input(const fs::path& path, Direction direction) {
    const bool special = files::kind_behind(path) == files::Kind::other;
    if (special && direction == Direction::encrypt) return {InputKind::plain, std::nullopt};
    ProbeResult probed = probe_signature(path);
    if (special && probed.kind == InputKind::unopenable) probed.kind = InputKind::plain;
    return probed;
}

}  // namespace

int run_quorvel(std::span<const std::string_view> arg_list) {
    if (const auto answered = answer_question(arg_list)) return *answered;
    if (arg_list.size() < 3) {
        say::usage();
        return EXIT_USAGE_TEXT;
    }
    Arguments args{arg_list[0], arg_list[1],
                   arg_list[2], arg_list.size() == 4 ? std::optional(arg_list[3]) : std::nullopt,
                   {},          true};
    const auto direction = requested_direction();
    if (!direction) return EXIT_FAILED;
    if (args.password.size() > MAX_PASSWORD_SIZE) {
        say::password_too_long();
        return EXIT_FAILED;
    }
    warn_about_arguments(arg_list);

    const auto output_descriptor = files::descriptor_named(as_path(args.out_fname));
    args.output_descriptor_given = descriptor_given_by_user(output_descriptor);
    args.output_is_standard_output =
        args.output_descriptor_given && output_descriptor == STANDARD_OUTPUT;
    install_interrupt_cleanup();
    // Held to the end of the run: a second run here would share the temporary archive's name.
    const auto lock = files::FolderLock::take();
    if (lock.state() == files::FolderLock::State::busy) {
        say::folder_busy();
        return EXIT_FAILED;
    }
    if (lock.state() == files::FolderLock::State::failed) {
        say::folder_not_locked();
        return EXIT_FAILED;
    }
    const fs::path input_path = as_path(args.in_fname);
    ProbeResult probed = probe_input(input_path, *direction);
    const auto chosen_mode = mode_for_input(*direction, probed.kind, input_path);
    if (!chosen_mode) return EXIT_FAILED;
    const CipherMode mode = *chosen_mode;
    // Both are read before anything is made; the prompt for a password needs the direction.
    const auto switches =
        archiver_switches(mode == CipherMode::encrypt ? ArchiverJob::pack : ArchiverJob::unpack);
    if (!switches) return EXIT_FAILED;
    args.archiver_switches = *switches;
    PasswordBuffer password;
    if (!resolve_password(args.password, mode, password)) return EXIT_FAILED;
    args.password = password.view();
    if (mode == CipherMode::decrypt) return decrypt_run(args, std::move(*probed.input));
    probed.input.reset();  // the archiver reads a plain input itself
    const NewKeyFileNotice key_file_notice(args.key_file_name, args.out_fname);
    const int status = encrypt_run(args);
    key_file_notice.after_run();
    return status;
}

}  // namespace quorvel
