#include "app/run/run_sequence.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "app/messages/messages.h"
#include "app/messages/progress_meter.h"
#include "app/messages/warnings.h"
#include "app/password/password_source.h"
#include "app/process/archiver.h"
#include "app/run/archiver_switches.h"
#include "app/run/direction.h"
#include "app/run/first_look.h"
#include "app/signals/interrupt_cleanup.h"
#include "app/signals/temporary_file.h"
#include "cipher/key_schedule.h"
#include "console/console.h"
#include "container/format.h"
#include "container/stream.h"
#include "files/files.h"
#include "internal/arguments.h"
#include "internal/preflight.h"
#include "internal/run_files.h"
#include "keyfile/keyfile.h"

namespace quorvel {

namespace {

namespace fs = std::filesystem;

// A run's arguments with what was made of them before the work: the password resolved, the
// archiver and its switches for this run's direction, and how the output stands.
struct RunPlan {
    RunArguments args;
    OutputStanding output_standing;
    std::span<const std::string> archiver_switches;
};

std::span<const std::uint8_t> password_bytes(std::string_view password) {
    return {reinterpret_cast<const std::uint8_t*>(password.data()), password.size()};
}

// The first 3072 bytes of a key file make the keys; a shorter one gives weak keys (one of
// 256 bytes or less gives the keys of an empty file) and new files are not encrypted with
// it. Decryption still takes it, so that files made with such a key file can be read back.
Step key_file_long_enough(const KeyFile& key_file, std::string_view name) {
    if (key_file.size() >= KEY_FILE_SIZE) return Done{};
    return say::key_file_too_short(name, key_file.size());
}

// True when `name` has neither a dot nor a folder in it, or starts with "-": more like a word
// of a password that was not quoted, or an option, than like a file's name.
bool name_looks_like_a_word(std::string_view name) {
    return name.starts_with('-') || name.find_first_of("./\\") == std::string_view::npos;
}

// Makes the missing key file `key_file` for an encryption, owned by `new_key_file` until the
// output is in place, and reads it into `keys`.
Step create_new_key_file(const NamedFile& key_file, RoundKeyTable& keys,
                         std::optional<TemporaryFile>& new_key_file) {
    if (name_looks_like_a_word(key_file.typed)) warn::key_file_name_like_a_word(key_file.typed);
    {
        const InterruptsDeferred deferred;
        const auto identity = create_key_file(key_file.path);
        if (!identity) {
            return say::key_file_fault({KeyFileFault::Kind::not_created, key_file.path, errno});
        }
        say::key_file_created();
        new_key_file.emplace(TemporaryFile::adopt(key_file.path, *identity));
    }
    if (const auto fault = read_key_file(key_file.path, keys)) return say::key_file_fault(*fault);
    return Done{};
}

// Fills `keys` from the password or, with a key file, from the key file and the password's
// length. A missing key file is created in encrypt mode, owned by `new_key_file` until the
// output is in place; in decrypt mode it ends the run.
Step prepare_round_keys(const RunArguments& args, CipherMode mode, RoundKeyTable& keys,
                        std::optional<TemporaryFile>& new_key_file) {
    if (!args.key_file) {
        build_round_keys(keys, password_bytes(args.password), mode, KeySource::password);
        return Done{};
    }
    const NamedFile& named = *args.key_file;
    // Only a key to encrypt with must be one that can be read again.
    KeyFile key_file =
        KeyFile::open(named.path, mode == CipherMode::decrypt ? KeyFileKinds::pipes_too
                                                              : KeyFileKinds::regular_only);
    if (const auto refused = key_file.refusal()) return say::key_file_fault(*refused);
    if (key_file.missing()) {
        if (mode == CipherMode::decrypt) return say::key_file_missing(named.typed);
        if (const Step made = create_new_key_file(named, keys, new_key_file); made.failed()) {
            return made;
        }
    } else {
        say::key_file_found();
        if (mode == CipherMode::encrypt) {
            if (const Step long_enough = key_file_long_enough(key_file, named.typed);
                long_enough.failed()) {
                return long_enough;
            }
        }
        if (const auto fault = key_file.read_into(keys)) return say::key_file_fault(*fault);
    }
    build_round_keys(keys, password_bytes(args.password), mode, KeySource::key_file);
    return Done{};
}

// The cipher stage between its start and its end, with a progress meter when the input is
// large and a terminal watches, and the output finished (flushed, not yet in place). Says what
// failed; the verdict of a decryption (the check block) is for the caller to give once the
// output is in place.
OrReported<StreamResult> run_cipher_stage(FilePair& pair, CipherMode mode,
                                          const RoundKeyTable& keys, const RunArguments& args) {
    say::cipher_started(mode);
    const auto meter = progress_source_for(pair.input(), pair.input().size());
    const std::uint64_t length = args.password.size();
    const StreamResult result =
        meter ? run_cipher(pair, *meter, mode, keys, length) : run_cipher(pair, mode, keys, length);
    if (const auto fault = stream_fault(pair, result)) return say::file_fault(*fault);
    if (!pair.output().finish()) {
        return say::file_fault(
            {FileFault::Kind::cannot_write, pair.output_path(), pair.output().error()});
    }
    return result;
}

// Puts the finished output of `pair` in place and keeps the new key file, if any, with it,
// in one step that no interrupt divides: from then on the run is done, and a signal no longer
// ends it (it would report a failure with the new output already in place).
Step put_encrypted_output_in_place(FilePair& pair, std::optional<TemporaryFile>& new_key_file) {
    const InterruptsDeferred deferred;
    if (!pair.output().put_in_place()) {
        return say::file_fault(
            {FileFault::Kind::cannot_write, pair.output_path(), pair.output().error()});
    }
    if (new_key_file) new_key_file->commit();
    finish_without_interrupts();
    return Done{};
}

// Packs the input into `folder` and encrypts the archive into the output at `target`, which
// is made only now, so that the archiver never sees it, and takes its name only when complete.
// The new key file, if any, stays from then on: the output needs it.
Step pack_and_encrypt_in(const PackingFolder& folder, const RunPlan& plan, const fs::path& archiver,
                         const RunKeys& keys, const OutputTarget& target,
                         std::optional<TemporaryFile>& new_key_file) {
    const RunArguments& args = plan.args;
    const ProcessResult packed = pack_into(archiver, folder.archive(), args.input.typed,
                                           plan.archiver_switches, [&] { return folder.clear(); });
    if (!packed.succeeded()) return say::pack_failed(args.input.typed, ending_of(packed));
    auto archive = InputFile::open(folder.archive(), files::FinalLink::refuse);
    // Named as the user knows it: the packing folder it was looked for in goes with the run.
    if (!archive) {
        return say::file_fault({FileFault::Kind::not_found, fs::path(TEMP_ARCHIVE_NAME), errno});
    }
    auto output = open_output(target);
    if (!output) return say::file_fault({FileFault::Kind::cannot_create, args.output.path, errno});
    FilePair pair(ProbedInput(std::move(*archive)), folder.archive(), std::move(output->file),
                  args.output.path);
    const auto encrypted = run_cipher_stage(pair, CipherMode::encrypt, keys.table(), args);
    if (encrypted.failed()) return encrypted.failure();
    return put_encrypted_output_in_place(pair, new_key_file);
}

// Echoes the packing command, packs and encrypts, and removes the packing folder however that
// went (saying so when it stays).
Step pack_and_encrypt(const RunPlan& plan, const fs::path& archiver, const RunKeys& keys,
                      const OutputTarget& target, std::optional<TemporaryFile>& new_key_file) {
    say::pack_echo(plan.args.input.typed);
    auto folder = PackingFolder::make();
    if (!folder) return say::packing_folder_not_made(plan.args.input.typed, errno);
    const Step encrypted = pack_and_encrypt_in(*folder, plan, archiver, keys, target, new_key_file);
    const Step removed = folder->remove();
    return encrypted.failed() ? encrypted : removed;
}

RunOutcome encrypt_run(const RunPlan& plan) {
    const RunArguments& args = plan.args;
    if (args.output.typed == "-") warn::output_named_dash();
    if (const Step free = temp_archive_free_for_packing(args); free.failed()) return free.failure();
    const auto archiver = locate_archiver();
    if (archiver.failed()) return archiver.failure();
    if (const Step packable = input_is_packable(args); packable.failed()) {
        return packable.failure();
    }
    if (const Step apart = output_stands_apart(args, plan.output_standing); apart.failed()) {
        return apart.failure();
    }
    if (const Step apart = key_file_stands_apart(args, RunMode::encrypt); apart.failed()) {
        return apart.failure();
    }
    const auto target = output_target(args, plan.output_standing);
    if (target.failed()) return target.failure();
    RunKeys keys;
    std::optional<TemporaryFile> new_key_file;
    if (const Step prepared =
            prepare_round_keys(args, CipherMode::encrypt, keys.table(), new_key_file);
        prepared.failed()) {
        return prepared.failure();
    }
    const Step encrypted = pack_and_encrypt(plan, *archiver, keys, *target, new_key_file);
    if (encrypted.failed()) return encrypted.failure();
    say::encryption_complete();
    return RunOutcome::done();
}

// True when one of the extraction's `switches` is -o, which names the folder it extracts into.
bool names_output_folder(std::span<const std::string> switches) {
    return std::ranges::any_of(switches, [](const std::string& word) {
        return word.size() > 1 && word[0] == '-' && (word[1] == 'o' || word[1] == 'O');
    });
}

// Ends a decryption that failed before its archive was in place: what was written goes, and
// an archive that stays is said by settle().
Reported without_archive(TempArchive& archive, Reported failure) {
    static_cast<void>(archive.settle(ArchiveFate::removed));
    return failure;
}

// Decrypts into a fresh private file that becomes the temporary archive once complete, and
// extracts it. The archive stays after "Decrypt WRONG!" (for inspection) and after a failed
// extraction. `input` is the encrypted input as the signature probe left it, so that an input
// that can be read only once (a pipe) is not opened a second time.
RunOutcome decrypt_with_keys(const RunPlan& plan, const fs::path& archiver, const RunKeys& keys,
                             ProbedInput input) {
    const fs::path archive_path = TempArchive::path();
    const auto target = [&] {
        const InterruptsDeferred deferred;
        return OutputFile::find_target(archive_path, OutputPolicy::private_file);
    }();
    auto output = target ? open_output(*target) : std::nullopt;
    if (!output) {
        // Without a target nothing was made, and errno tells of something else.
        const int error = target ? errno : files::creation_error(archive_path);
        return say::file_fault({FileFault::Kind::cannot_create, archive_path, error});
    }
    TempArchive archive = [&] {
        const InterruptsDeferred deferred;
        return TempArchive::to_be(*output->file.identity());
    }();
    FilePair pair(std::move(input), plan.args.input.path, std::move(output->file), archive_path);
    const auto decrypted = run_cipher_stage(pair, CipherMode::decrypt, keys.table(), plan.args);
    if (decrypted.failed()) return without_archive(archive, decrypted.failure());
    if (!pair.output().put_in_place()) {
        return without_archive(archive, say::file_fault({FileFault::Kind::cannot_write,
                                                         archive_path, pair.output().error()}));
    }
    archive.in_place();
    if (*decrypted == StreamResult::check_failed) {
        static_cast<void>(archive.settle(ArchiveFate::kept));
        return say::decryption_wrong(TEMP_ARCHIVE_NAME);
    }
    say::decryption_ok();
    const ProcessResult unpacked = unpack(archiver, archive_path, plan.archiver_switches);
    if (!unpacked.succeeded()) {
        static_cast<void>(archive.settle(ArchiveFate::kept));
        return say::unpack_failed(ending_of(unpacked));
    }
    const Step removed = archive.settle(ArchiveFate::removed);
    if (removed.failed()) return removed.failure();
    std::error_code unknown;
    say::extracted_into(fs::current_path(unknown), plan.args.output.typed,
                        names_output_folder(plan.archiver_switches));
    return RunOutcome::done();
}

// Fills `keys` for a decryption, which never makes a key file.
Step prepare_decryption_keys(const RunArguments& args, RunKeys& keys) {
    std::optional<TemporaryFile> no_new_key_file;
    return prepare_round_keys(args, CipherMode::decrypt, keys.table(), no_new_key_file);
}

RunOutcome decrypt_run(const RunPlan& plan, ProbedInput input) {
    const RunArguments& args = plan.args;
    if (const Step free = temp_archive_free_for_decrypting(args); free.failed()) {
        return free.failure();
    }
    const auto archiver = locate_archiver();
    if (archiver.failed()) return archiver.failure();
    if (const Step apart = key_file_stands_apart(args, RunMode::decrypt); apart.failed()) {
        return apart.failure();
    }
    RunKeys keys;
    if (const Step prepared = prepare_decryption_keys(args, keys); prepared.failed()) {
        return prepared.failure();
    }
    return decrypt_with_keys(plan, *archiver, keys, std::move(input));
}

// Decrypts `input` into `archive` through `output` and, when the check block holds, has the
// archiver test or list it, as `mode` says, echoing its command first. Says what failed.
Step decrypt_and_check(const RunPlan& plan, RunMode mode, const fs::path& archiver,
                       const RunKeys& keys, ProbedInput input, const ScratchArchive& archive,
                       OutputFile output) {
    FilePair pair(std::move(input), plan.args.input.path, std::move(output), archive.path());
    const auto decrypted = run_cipher_stage(pair, CipherMode::decrypt, keys.table(), plan.args);
    if (decrypted.failed()) return decrypted.failure();
    // The scratch archive is written where it stays: nothing to rename.
    if (!pair.output().put_in_place()) {
        return say::file_fault(
            {FileFault::Kind::cannot_write, archive.path(), pair.output().error()});
    }
    // Nothing is kept: the scratch archive goes with the run.
    if (*decrypted == StreamResult::check_failed) return say::decryption_wrong({});
    say::decryption_ok();
    const bool testing = mode == RunMode::test;
    say::check_echo(testing ? "t" : "l", archive.path());
    const ProcessResult checked =
        check_archive(archiver, archive.path(), testing ? ArchiveCheck::test : ArchiveCheck::list,
                      plan.archiver_switches);
    if (checked.succeeded()) return Done{};
    return testing ? say::test_failed(plan.args.input.typed, ending_of(checked))
                   : say::list_failed(plan.args.input.typed, ending_of(checked));
}

// A test or a listing: decrypts into a scratch archive in the temporary folder and has the
// archiver test or list it. Nothing is written into the current folder or beside the input,
// and the archive goes however the run ends; the last line is said once it is gone.
RunOutcome check_run(const RunPlan& plan, RunMode mode, ProbedInput input) {
    const RunArguments& args = plan.args;
    const auto archiver = locate_archiver();
    if (archiver.failed()) return archiver.failure();
    if (const Step apart = key_file_stands_apart(args, mode); apart.failed()) {
        return apart.failure();
    }
    RunKeys keys;
    if (const Step prepared = prepare_decryption_keys(args, keys); prepared.failed()) {
        return prepared.failure();
    }
    std::optional<OutputFile> output;
    auto archive = ScratchArchive::make(output);
    if (!archive) return say::scratch_archive_not_made(files::temporary_folder());
    const Step checked = decrypt_and_check(plan, mode, *archiver, keys, std::move(input), *archive,
                                           std::move(*output));
    const Step removed = archive->remove();
    if (checked.failed()) return checked.failure();
    if (removed.failed()) return removed.failure();
    if (mode == RunMode::test) {
        say::archive_tested();
    } else {
        say::archive_listed();
    }
    return RunOutcome::done();
}

// What the archiver does in a run in `mode`, which chooses the switches it takes.
ArchiverJob archiver_job(RunMode mode) {
    switch (mode) {
        case RunMode::encrypt:
            return ArchiverJob::pack;
        case RunMode::decrypt:
            return ArchiverJob::unpack;
        case RunMode::test:
        case RunMode::list:
            return ArchiverJob::check;
    }
    return ArchiverJob::check;  // not reached: every mode is handled above
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

// True when `name` ends in ".qv", in any case: the name encrypted files are given.
bool named_like_encrypted(std::string_view name) {
    constexpr std::string_view EXTENSION = ".qv";
    if (name.size() <= EXTENSION.size()) return false;
    const std::string_view end = name.substr(name.size() - EXTENSION.size());
    return std::equal(end.begin(), end.end(), EXTENSION.begin(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == b;
    });
}

// Warns, before any work, where the input chose a way the names say was not meant.
void warn_about_direction(Direction direction, RunMode mode, const RunArguments& args) {
    if (direction != Direction::by_input) return;
    // A folder named so is packed whole, as asked: no encrypted file is mistaken there.
    const bool file_input = files::kind_behind(args.input.path) != files::Kind::folder;
    if (mode == RunMode::encrypt && file_input && named_like_encrypted(args.input.typed)) {
        warn::encrypting_named_encrypted(args.input.typed);
    }
    if (mode == RunMode::decrypt && named_like_encrypted(args.output.typed)) {
        warn::decrypting_to_encrypted_name(args.input.typed, args.output.typed);
    }
}

// Holds the folder for this run to its end: a second run here would share the temporary
// archive's name. Fails when another run holds it or it cannot be locked.
OrReported<files::FolderLock> lock_folder() {
    auto lock = files::FolderLock::take();
    if (lock.state() == files::FolderLock::State::busy) return say::folder_busy();
    if (lock.state() == files::FolderLock::State::failed) return say::folder_not_locked();
    return lock;
}

RunOutcome run_with_arguments(RunArguments args, std::span<const std::string_view> arg_list) {
    const auto direction = requested_direction();
    if (direction.failed()) return direction.failure();
    if (const Step length = check_password_argument(args.password); length.failed()) {
        return length.failure();
    }
    warn_about_arguments(arg_list);
    // Asked before the run opens anything of its own, which could take a number the output's
    // name gives.
    const OutputStanding output_standing = look_at_output(args.output);
    RunPlan plan{std::move(args), output_standing, {}};
    install_interrupt_cleanup();
    // A test or a listing writes nothing into the current folder, so it takes no lock there
    // and works in a folder that cannot be locked.
    std::optional<files::FolderLock> lock;
    if (!only_checks(*direction)) {
        auto taken = lock_folder();
        if (taken.failed()) return taken.failure();
        lock.emplace(std::move(*taken));
    }
    ProbeResult probed = probe_input(plan.args.input.path, *direction);
    const auto mode = mode_for_input(*direction, probed.kind, probed.error, plan.args.input.path);
    if (mode.failed()) return mode.failure();
    warn_about_direction(*direction, *mode, plan.args);
    // Both are read before anything is made; the prompt for a password needs the direction.
    const auto switches = archiver_switches(archiver_job(*mode));
    if (switches.failed()) return switches.failure();
    plan.archiver_switches = *switches;
    // What was said so far is out before the run waits on a prompt or a source.
    flush_output();
    PasswordBuffer password;
    if (const Step resolved = resolve_password(plan.args.password, cipher_mode(*mode), password);
        resolved.failed()) {
        return resolved.failure();
    }
    plan.args.password = password.view();
    if (*mode == RunMode::decrypt) return decrypt_run(plan, std::move(*probed.input));
    if (*mode != RunMode::encrypt) return check_run(plan, *mode, std::move(*probed.input));
    probed.input.reset();  // the archiver reads a plain input itself
    const auto key_file_name =
        plan.args.key_file ? std::optional(plan.args.key_file->typed) : std::nullopt;
    const NewKeyFileNotice key_file_notice(key_file_name, plan.args.output.typed);
    const RunOutcome outcome = encrypt_run(plan);
    key_file_notice.after_run();
    return outcome;
}

}  // namespace

RunOutcome run_quorvel(std::span<const std::string_view> arg_list) {
    if (const auto answered = answer_question(arg_list)) return *answered;
    auto args = read_run_arguments(arg_list);
    if (!args) return RunOutcome::usage_shown(say::usage());
    return run_with_arguments(std::move(*args), arg_list);
}

}  // namespace quorvel
