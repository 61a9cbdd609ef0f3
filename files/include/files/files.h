// File primitives for the files a run makes, reads and replaces: private exclusive creation,
// opening without following a final symbolic link, the kind and identity of a file, renaming
// into place and removal that touches only the file a run made. Nothing here throws; every
// failure is a return value. On Windows a descriptor is a C runtime descriptor over a handle
// opened with sharing that allows deletion, so that a file still open can be removed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string_view>

namespace quorvel::files {

// What makes a file itself whatever its name: device and inode on POSIX, volume serial number
// and file index on Windows.
struct Identity {
    std::uint64_t device = 0;
    std::uint64_t index = 0;
    friend bool operator==(const Identity&, const Identity&) = default;
};

// An open file descriptor, not inherited by started programs, closed when the object goes.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept;
    ~Descriptor();
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    bool valid() const { return fd_ >= 0; }
    int get() const { return fd_; }
    // Gives up ownership: returns the descriptor, which the caller then closes.
    [[nodiscard]] int release();

private:
    int fd_ = -1;
};

// What a name refers to.
enum class Kind { missing, regular, folder, symlink, other, unknown };

// What is at `path` itself, a final symbolic link not followed; unknown when that cannot be
// told (no permission on the folder, for one). A name that names_device() is other.
[[nodiscard]] Kind kind_at(const std::filesystem::path& path);

// What `path` leads to, symbolic links followed; missing for a dangling link. A name that
// names_device() is other.
[[nodiscard]] Kind kind_behind(const std::filesystem::path& path);

// True when `path` names a device by its spelling alone, whatever the folder holds. On
// Windows: a last name that is CON, PRN, AUX, NUL, COM0 to COM9, LPT0 to LPT9 (their digits
// also as superscript 1, 2 and 3), CONIN$ or CONOUT$, in any case, alone or before an extension
// or a colon, spaces after it ignored, in any folder; and a path in the device namespace
// ("\\.\" or "\\?\", where names are taken as they are) that goes on as something other
// than a folder of a drive, a share or a volume. No function here opens such a name: a port or
// a console opened for a file can wait, or act on the device. Always false on POSIX, whose
// devices are files under /dev, told by their kind.
[[nodiscard]] bool names_device(const std::filesystem::path& path);

// True when the last name of `path` is one no folder can hold: on Windows it holds a character
// kept out of file names (< > : " | ? * or a control character; a colon would name a stream
// of another file). Always false on POSIX, where only '/' and NUL are kept out of a name.
[[nodiscard]] bool name_refused(const std::filesystem::path& path);

// Creates `path` as a new file readable and writable by its owner only: on POSIX with mode
// 0600, on Windows with an access list, kept from taking its folder's, that lets in the current
// user alone. Fails (an invalid descriptor) when anything, a symbolic link included, is
// already at the name.
[[nodiscard]] Descriptor create_private(const std::filesystem::path& path);

// The user's folder for temporary files: on POSIX TMPDIR when it is set and not empty, else
// /tmp; on Windows the folder GetTempPathW names (from TMP, TEMP or the user's profile). Only
// the name: whether it exists or takes files is found out by making one there.
[[nodiscard]] std::filesystem::path temporary_folder();

// A file just made, and the name it was made under.
struct NewFile {
    Descriptor fd;
    std::filesystem::path path;
};

// Creates a new private file (create_private) in the folder of `beside`, named `prefix`
// followed by a random part. An invalid descriptor (and an empty path) when no name could be
// created.
[[nodiscard]] NewFile create_private_beside(const std::filesystem::path& beside,
                                            std::string_view prefix);

// Creates a new file as create_private_beside does, for a file that is to have the access of
// a plain new file there (see take_mode_of): on POSIX private until take_mode_of widens it; on
// Windows, where that access is the folder's access list, with that list from the start.
[[nodiscard]] NewFile create_beside(const std::filesystem::path& beside, std::string_view prefix);

// A folder just made, and what makes it itself.
struct NewFolder {
    std::filesystem::path path;
    Identity identity;
};

// Creates a new folder in the folder of `beside`, named `prefix` followed by a random part,
// that only its owner may enter: on POSIX its mode is 0700, which also masks every entry of
// an access list it takes from its parent, so that nobody else reaches what is made inside,
// whatever modes those files get. On Windows, where a file's own access list decides who opens
// it, whatever folders lie above, the folder gets a protected access list (none of its parent's
// entries) that lets in the current user alone and passes to every file and folder made in it.
// nullopt when no folder could be created.
[[nodiscard]] std::optional<NewFolder> create_private_folder_beside(
    const std::filesystem::path& beside, std::string_view prefix);

// What opening does with a symbolic link at the name itself.
enum class FinalLink {
    follow,  // open what the link leads to
    refuse,  // fail, so that a link put in place of a file is never read through
};

// Opens `path` for reading. Never waits: a FIFO without a writer opens at once and, unless a
// writer opens it before the first read, reads as empty.
[[nodiscard]] Descriptor open_for_reading(const std::filesystem::path& path,
                                          FinalLink final_link = FinalLink::follow);

// Opens an existing file for writing, neither creating nor truncating it. Never waits: a FIFO
// without a reader fails at once (see wait_for_reader). On Windows a file marked read-only
// fails, as Windows refuses to write it.
[[nodiscard]] Descriptor open_existing_for_writing(const std::filesystem::path& path);

// When `path` leads to a FIFO, opens it for writing, which waits until a reader opens it too,
// and returns that descriptor; an invalid one for anything else. Holding it while the output
// is opened (open_existing_for_writing) keeps the reader from seeing the end meanwhile. The
// wait ends early only by a signal: call it where signals are not deferred.
[[nodiscard]] Descriptor wait_for_reader(const std::filesystem::path& path);

// The size of the open file when it is a regular file; nullopt for anything else.
[[nodiscard]] std::optional<std::uint64_t> regular_size(int fd);

// True when the open file is a regular file.
[[nodiscard]] bool is_regular(int fd);

// The identity of the open file, or of what is at `path` (a final link not followed).
[[nodiscard]] std::optional<Identity> identity_of(int fd);
[[nodiscard]] std::optional<Identity> identity_at(const std::filesystem::path& path);

// Holds the file at `path` open when it is the file `identity` names and the system needs
// that for the identity to stay the file's own: on POSIX an inode number passes to the next
// new file once the last name and descriptor of the old one are gone. Windows file indexes
// carry a sequence number, and an open file's name could not be taken over: nothing is held
// there. An invalid descriptor when nothing is held.
[[nodiscard]] Descriptor hold_identity(const std::filesystem::path& path, const Identity& identity);

// True when `a` and `b` both exist and lead to the same file.
[[nodiscard]] bool same_file(const std::filesystem::path& a, const std::filesystem::path& b);

// `path` made absolute with every symbolic link followed, dangling ones included (a link to a
// missing name resolves to that name); lexically normal. Empty when it cannot be resolved.
[[nodiscard]] std::filesystem::path resolve(const std::filesystem::path& path);

// Renames `from` to `to`, replacing a file at `to` in one step.
[[nodiscard]] bool rename_into_place(const std::filesystem::path& from,
                                     const std::filesystem::path& to);

// Removes `path` when it is still the file `identity` names. A folder goes with the files in
// it (not with folders in it, which no run makes); on Windows each of its files is first moved
// out to a name of its own in the folder above, where it is deleted: a file that a program
// still has open stays, pending deletion and closed to anyone new, until that program lets go,
// and in the folder it would keep the folder from going. Returns false only when that file or
// folder is still there afterwards.
[[nodiscard]] bool remove_if_same(const std::filesystem::path& path, const Identity& identity);

// Removes the run's own file at `path`: with an identity, as remove_if_same; without one
// (a name the run held free for a program it started), whatever file is at the name. Returns
// false only when the run's file is still there afterwards. On POSIX it makes only
// async-signal-safe calls, so that a signal handler may use it, a folder's removal included.
[[nodiscard]] bool remove_if_ours(const std::filesystem::path& path,
                                  const std::optional<Identity>& identity);

// Flushes what was written to the open file `fd` through to the disk, so that it survives a
// crash. Returns false when the system reports a failure.
[[nodiscard]] bool flush_to_disk(int fd);

// Flushes the folder that holds `path` to the disk, so that a name just made or changed there
// survives a crash. Always true on Windows, whose file systems keep names in their own journal.
[[nodiscard]] bool flush_folder_of(const std::filesystem::path& path);

// The longest file name the folder of `path` takes; nullopt when that cannot be told.
[[nodiscard]] std::optional<std::size_t> longest_name_beside(const std::filesystem::path& path);

// False when renaming another file over `path`, which exists, is refused whatever is written:
// in a folder with the sticky bit only the owner of the file or of the folder (or root) may
// replace it, a file marked immutable or append-only (Linux) nobody may, and on Windows a
// file marked read-only is never replaced. True when nothing tells against it.
[[nodiscard]] bool rename_may_replace(const std::filesystem::path& path);

// N when `path`, its symbolic links followed, names descriptor N of this process itself
// (/dev/fd/N, /proc/self/fd/N, /proc/thread-self/fd/N, /dev/stdout, ...); nullopt for any
// other name (always on Windows). Such a name means whatever the process has open under N at the
// time it is opened.
[[nodiscard]] std::optional<int> descriptor_named(const std::filesystem::path& path);

// Why a file could not be made or written at `path`, as an errno value, found by looking
// only (nothing is made): ENOENT for an empty name, a missing folder or a dangling link's
// missing target folder, EISDIR for a folder, ENAMETOOLONG, or what the folder or the
// file refuses (EACCES, EROFS, ...); 0 when nothing explains it. Always 0 on Windows.
[[nodiscard]] int creation_error(const std::filesystem::path& path);

// True when `path`, its symbolic links followed, leads to a pipe (a FIFO, or the /dev/fd/N of
// a shell's process substitution). Always false on Windows.
[[nodiscard]] bool leads_to_pipe(const std::filesystem::path& path);

// True when `path`, its symbolic links followed, leads to a terminal (/dev/tty, a pts). Always
// false on Windows, where a console has a device's name (names_device).
[[nodiscard]] bool leads_to_terminal(const std::filesystem::path& path);

// True when `path`, its symbolic links followed, leads to the file open at descriptor `fd`:
// the same file, pipe, socket or terminal, whatever the name (/dev/stderr, /proc/N/fd/M for a
// duplicate of `fd`, the file a redirection opened). The null device is nobody's file and
// gives false, as do a missing file and a closed descriptor.
[[nodiscard]] bool leads_to_open_file(const std::filesystem::path& path, int fd);

// True when descriptor `fd` is open in this process.
[[nodiscard]] bool descriptor_is_open(int fd);

// Gives the open file the permission bits `model` has, or those a plain new file would get
// when `model` does not exist. Windows has no such bits, and a file made by create_beside has
// its folder's access list already: true there.
[[nodiscard]] bool take_mode_of(int fd, const std::filesystem::path& model);

// Which way a stream moves data.
enum class Direction { read, write };

// A C stream over `fd`, unbuffered (the cipher stage moves data in chunks of its own). Takes
// the descriptor; nullptr (descriptor closed) on failure.
[[nodiscard]] std::FILE* open_stream(Descriptor fd, Direction direction);

// The descriptor under a C stream.
[[nodiscard]] int descriptor_of(std::FILE* file);

// Moves the stream to `offset`; returns false on failure.
[[nodiscard]] bool seek(std::FILE* file, std::uint64_t offset);

// The stream's position, or nullopt.
[[nodiscard]] std::optional<std::uint64_t> tell(std::FILE* file);

// Cuts the stream's file to `size` bytes.
[[nodiscard]] bool truncate(std::FILE* file, std::uint64_t size);

// An advisory lock on the current folder that one run holds from start to end, so that two
// runs never share the temporary archive's name.
class FolderLock {
public:
    enum class State {
        held,         // this run has the folder
        busy,         // another run has it
        unsupported,  // the file system cannot lock; the run goes on without
        failed,       // the folder could not be locked where locks work (on POSIX: it cannot
                      // be read, so there is nothing to lock); the run must stop
    };
    // Takes the lock without waiting.
    [[nodiscard]] static FolderLock take();
    FolderLock(FolderLock&& other) noexcept;
    FolderLock& operator=(FolderLock&&) = delete;
    ~FolderLock();
    State state() const { return state_; }

private:
    FolderLock(State state, std::intptr_t handle) : state_(state), handle_(handle) {}
    State state_;
    std::intptr_t handle_;  // a descriptor on POSIX, a mutex handle on Windows; -1 for none
};

}  // namespace quorvel::files
