#include <windows.h>
#include <sddl.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cwchar>
#include <cwctype>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "files/files.h"

namespace quorvel::files {

namespace fs = std::filesystem;

namespace {

// Others may read, write and delete while the run has a file open: a file this run made can
// then be removed by the interrupt handler while the writer still holds it.
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr int NAME_ATTEMPTS = 32;
// The name a file of a folder being removed is moved out to, before the file's index.
constexpr std::wstring_view GONE_PREFIX = L".quorvel-gone-";

class Handle {
public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() {
        if (valid()) CloseHandle(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE get() const { return handle_; }
    HANDLE release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }

private:
    HANDLE handle_;
};

bool same_letters(std::wstring_view text, std::wstring_view upper_case) {
    return std::equal(text.begin(), text.end(), upper_case.begin(), upper_case.end(),
                      [](wchar_t a, wchar_t b) { return std::towupper(a) == b; });
}

// True for the names Windows keeps for devices in every folder, given as written before any
// extension or colon.
bool reserved_name(std::wstring_view base) {
    while (!base.empty() && base.back() == L' ') base.remove_suffix(1);
    for (const std::wstring_view device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"}) {
        if (same_letters(base, device)) return true;
    }
    if (base.size() != 4 ||
        !(same_letters(base.substr(0, 3), L"COM") || same_letters(base.substr(0, 3), L"LPT"))) {
        return false;
    }
    const wchar_t digit = base[3];
    return (digit >= L'0' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' ||
           digit == L'\u00B3';
}

bool is_separator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// True when `rest`, a path after the device namespace's "\\.\" or "\\?\", goes on as a folder
// of a drive ("C:\"), a share ("UNC\") or a volume ("Volume{...}\"): a file's path written in
// full rather than a device.
bool goes_on_as_folder(std::wstring_view rest) {
    const auto separator = std::find_if(rest.begin(), rest.end(), is_separator);
    if (separator == rest.end()) return false;  // "\\.\C:" is the volume itself, a device
    const std::wstring_view root =
        rest.substr(0, static_cast<std::size_t>(separator - rest.begin()));
    if (root.size() == 2 && root[1] == L':' && std::iswalpha(root[0])) return true;
    if (same_letters(root, L"UNC")) return true;
    return root.size() > 8 && same_letters(root.substr(0, 7), L"VOLUME{") && root.back() == L'}';
}

// True when the path `text` names a device (names_device). Allocates nothing, as the removal of
// files may run with no memory left.
bool device_name(std::wstring_view text) {
    if (text.size() >= 4 && is_separator(text[0]) && is_separator(text[1]) &&
        (text[2] == L'.' || text[2] == L'?') && is_separator(text[3])) {
        return !goes_on_as_folder(text.substr(4));
    }
    // The last name: after the last separator, or after a drive ("C:aux").
    std::wstring_view name = text;
    if (const auto separator = name.find_last_of(L"\\/"); separator != name.npos) {
        name.remove_prefix(separator + 1);
    } else if (name.size() >= 2 && name[1] == L':') {
        name.remove_prefix(2);
    }
    return reserved_name(name.substr(0, name.find_first_of(L".:")));
}

// The errno value for the Windows error `error`, for the messages that tell why a file did not
// open; 0 for one without a close match.
int errno_of(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return EACCES;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_WRITE_PROTECT:
            return EROFS;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        default:
            return 0;
    }
}

// The handle is not inheritable (no security attributes, or attributes that say so), so a
// started archiver never holds one of the run's files. A device's name is never opened. On
// failure errno says why, as the C library's open would.
HANDLE open_handle(const wchar_t* path, DWORD access, DWORD disposition, DWORD flags,
                   SECURITY_ATTRIBUTES* security = nullptr) {
    if (device_name(path)) {
        SetLastError(ERROR_ACCESS_DENIED);
        errno = EACCES;
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE handle =
        CreateFileW(path, access, SHARE_ALL, security, disposition, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) errno = errno_of(GetLastError());
    return handle;
}

Descriptor adopt(HANDLE raw, int mode) {
    Handle handle(raw);
    if (!handle.valid()) return {};
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle.get()), mode | _O_BINARY);
    if (fd >= 0) handle.release();
    return Descriptor(fd);
}

HANDLE os_handle(int fd) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

std::optional<Identity> identity_of_handle(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) return std::nullopt;
    return Identity{info.dwVolumeSerialNumber,
                    (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

// Opens what is at `path` itself, link or folder included, with `access`.
HANDLE open_entry(const wchar_t* path, DWORD access) {
    return open_handle(path, access, OPEN_EXISTING,
                       FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS);
}

// A path of the longest length Windows takes, in fixed storage: the interrupt cleanup and the
// last resort remove a folder's files with no memory to allocate (the run may have run out).
constexpr std::size_t LONGEST_PATH = 32767;
using PathBuffer = std::array<wchar_t, LONGEST_PATH + 1>;

// Puts `folder`, a separator and `name` into `buffer` (only `name` when `folder` is empty).
// False when they do not fit.
bool join(PathBuffer& buffer, std::wstring_view folder, std::wstring_view name) {
    const std::size_t separator = folder.empty() ? 0 : 1;
    if (folder.size() + separator + name.size() > LONGEST_PATH) return false;
    wchar_t* end = std::copy(folder.begin(), folder.end(), buffer.data());
    if (separator != 0) *end++ = L'\\';
    end = std::copy(name.begin(), name.end(), end);
    *end = L'\0';
    return true;
}

// Writes `value` as 16 hexadecimal digits at `at`.
void put_hex(wchar_t* at, std::uint64_t value) {
    for (int i = 15; i >= 0; --i, value >>= 4) at[i] = L"0123456789abcdef"[value & 0xF];
}

// Deletes the file at `path` when it is still the one `identity` names, through one handle.
// False when that file stays, not even pending deletion.
bool delete_if_same(const wchar_t* path, const Identity& identity) {
    const Handle handle(open_entry(path, DELETE | FILE_READ_ATTRIBUTES));
    if (!handle.valid()) return false;
    if (identity_of_handle(handle.get()) != identity) return true;
    FILE_DISPOSITION_INFO disposition{TRUE};
    return SetFileInformationByHandle(handle.get(), FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

// Deletes the file `name` of the folder `folder`, moved out first to a name of its own in the
// folder above: a file that a program (this one too) still has open stays, pending deletion,
// until that program lets go, and as long as it stays in the folder, the folder cannot go. Out
// there it keeps its access list and nobody may open it any more. One that cannot be moved is
// deleted where it is. False when the file stays, not even pending deletion: one moved out
// that cannot be deleted there is moved back, so that its folder stays with it in view.
bool delete_out_of(std::wstring_view folder, const wchar_t* name) {
    PathBuffer path;
    if (!join(path, folder, name)) return false;
    std::optional<Identity> identity;
    {
        const Handle handle(open_entry(path.data(), FILE_READ_ATTRIBUTES));
        if (handle.valid()) identity = identity_of_handle(handle.get());
    }
    if (!identity) return false;
    const std::size_t separator = folder.find_last_of(L"\\/");
    const std::wstring_view above =
        separator == folder.npos ? std::wstring_view() : folder.substr(0, separator);
    // ".quorvel-gone-", the file's index, "-" and the attempt: the index alone is the file's
    // own on its volume; the attempt gets past a name left by another run's file.
    std::array<wchar_t, GONE_PREFIX.size() + 16 + 3> gone{};
    std::copy(GONE_PREFIX.begin(), GONE_PREFIX.end(), gone.data());
    put_hex(gone.data() + GONE_PREFIX.size(), identity->index);
    gone[GONE_PREFIX.size() + 16] = L'-';
    PathBuffer away;
    for (wchar_t attempt = L'0'; attempt <= L'9'; ++attempt) {
        gone[GONE_PREFIX.size() + 17] = attempt;
        if (!join(away, above, gone.data())) break;
        if (MoveFileExW(path.data(), away.data(), 0)) {
            if (delete_if_same(away.data(), *identity)) return true;
            MoveFileExW(away.data(), path.data(), 0);
            return false;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) break;
    }
    return delete_if_same(path.data(), *identity);
}

// Removes the files in the folder `folder`. False when one of them stays (delete_out_of).
bool remove_files_in(std::wstring_view folder) {
    PathBuffer pattern;
    if (!join(pattern, folder, L"*")) return false;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(pattern.data(), &found);
    if (search == INVALID_HANDLE_VALUE) return true;  // the folder's removal tells
    bool removed = true;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            removed = delete_out_of(folder, found.cFileName) && removed;
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return removed;
}

// Removes the folder `path`, waiting a little for files deleted in it to be gone: a file
// another program still had open stays, pending deletion, until that program lets go.
bool remove_empty_folder(const fs::path& path) {
    constexpr int ATTEMPTS = 5;  // half a second at most
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        if (RemoveDirectoryW(path.c_str())) return true;
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
        if (error != ERROR_DIR_NOT_EMPTY) return false;
        Sleep(100);
    }
    return false;
}

// The current user's security identifier as text ("S-1-5-21-..."); empty when it cannot be
// told.
std::wstring current_user_sid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
    const Handle held(token);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::string buffer(size, '\0');
    if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return {};
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
        return {};
    }
    std::wstring sid(text);
    LocalFree(text);
    return sid;
}

// Security attributes whose access list lets in the current user alone, with full access, and
// is protected: it takes none of the entries the folder it is made in passes on (to everyone,
// to a team, on a share). A folder's entry passes to every file and folder made in it, so that
// what another program (the archiver) creates there is the user's alone too. Nothing when the
// current user cannot be told: then nothing private can be made.
class OwnerOnly {
public:
    enum class Object { file, folder };

    explicit OwnerOnly(Object object) {
        const std::wstring sid = current_user_sid();
        if (sid.empty()) return;
        const std::wstring text =
            std::wstring(object == Object::folder ? L"D:P(A;OICI;FA;;;" : L"D:P(A;;FA;;;") + sid +
            L")";
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1,
                                                                  &descriptor_, nullptr)) {
            descriptor_ = nullptr;
            return;
        }
        attributes_ = {sizeof attributes_, descriptor_, FALSE};
    }
    ~OwnerOnly() {
        if (descriptor_ != nullptr) LocalFree(descriptor_);
    }
    OwnerOnly(const OwnerOnly&) = delete;
    OwnerOnly& operator=(const OwnerOnly&) = delete;

    // The attributes to create with; nullptr when there are none.
    SECURITY_ATTRIBUTES* attributes() { return descriptor_ != nullptr ? &attributes_ : nullptr; }

private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
    SECURITY_ATTRIBUTES attributes_{};
};

// Creates `path` as a new file with `security` (nullptr: the access list its folder gives).
Descriptor create_new(const fs::path& path, SECURITY_ATTRIBUTES* security) {
    return adopt(open_handle(path.c_str(), GENERIC_READ | GENERIC_WRITE, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, security),
                 _O_WRONLY);
}

NewFile create_new_beside(const fs::path& beside, std::string_view prefix,
                          SECURITY_ATTRIBUTES* security) {
    std::random_device random;
    const fs::path folder = beside.parent_path();
    for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        const std::string name = std::string(prefix) + std::to_string(random()) + ".tmp";
        const fs::path candidate = folder.empty() ? fs::path(name) : folder / name;
        Descriptor fd = create_new(candidate, security);
        if (fd.valid()) return {std::move(fd), candidate};
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
    }
    return {};
}

std::wstring lock_name(const std::wstring& prefix, const fs::path& folder) {
    // FNV-1a over the lower-cased full path: names of mutexes are short, and Windows
    // compares paths without regard to case.
    std::uint64_t hash = 14695981039346656037ull;
    for (const wchar_t c : folder.wstring()) {
        hash ^= static_cast<std::uint64_t>(std::towlower(static_cast<wint_t>(c)));
        hash *= 1099511628211ull;
    }
    wchar_t hex[17];
    put_hex(hex, hash);
    hex[16] = L'\0';
    return prefix + L"quorvel-folder-" + hex;
}

}  // namespace

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) _close(fd_);
        fd_ = other.release();
    }
    return *this;
}

Descriptor::~Descriptor() {
    if (fd_ >= 0) _close(fd_);
}

int Descriptor::release() {
    return std::exchange(fd_, -1);
}

bool names_device(const fs::path& path) {
    return device_name(path.native());
}

bool name_refused(const fs::path& path) {
    const std::wstring name = path.filename().native();
    return std::any_of(name.begin(), name.end(), [](wchar_t c) {
        return c < L' ' || std::wcschr(L"<>:\"|?*", c) != nullptr;
    });
}

Descriptor create_private(const fs::path& path) {
    OwnerOnly owner_only(OwnerOnly::Object::file);
    if (owner_only.attributes() == nullptr) return {};
    return create_new(path, owner_only.attributes());
}

fs::path temporary_folder() {
    wchar_t folder[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    // A folder that does not fit gives a name where nothing can be made.
    if (length == 0 || length > MAX_PATH) return fs::path();
    return fs::path(std::wstring(folder, length));
}

NewFile create_private_beside(const fs::path& beside, std::string_view prefix) {
    OwnerOnly owner_only(OwnerOnly::Object::file);
    if (owner_only.attributes() == nullptr) return {};
    return create_new_beside(beside, prefix, owner_only.attributes());
}

NewFile create_beside(const fs::path& beside, std::string_view prefix) {
    return create_new_beside(beside, prefix, nullptr);
}

std::optional<NewFolder> create_private_folder_beside(const fs::path& beside,
                                                      std::string_view prefix) {
    OwnerOnly owner_only(OwnerOnly::Object::folder);
    if (owner_only.attributes() == nullptr) return std::nullopt;
    std::random_device random;
    const fs::path folder = beside.parent_path();
    for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        const std::string name = std::string(prefix) + std::to_string(random());
        const fs::path candidate = folder.empty() ? fs::path(name) : folder / name;
        if (CreateDirectoryW(candidate.c_str(), owner_only.attributes())) {
            const auto identity = identity_at(candidate);
            if (identity) return NewFolder{candidate, *identity};
            RemoveDirectoryW(candidate.c_str());
            return std::nullopt;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    return std::nullopt;
}

Descriptor open_for_reading(const fs::path& path, FinalLink final_link) {
    const DWORD flags = FILE_ATTRIBUTE_NORMAL |
                        (final_link == FinalLink::refuse ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    return adopt(open_handle(path.c_str(), GENERIC_READ, OPEN_EXISTING, flags), _O_RDONLY);
}

Descriptor open_existing_for_writing(const fs::path& path) {
    Handle handle(open_handle(path.c_str(), GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL));
    // Windows refuses this itself; a system that lets the file open (Wine run as root) must
    // not have it written either.
    BY_HANDLE_FILE_INFORMATION info;
    if (handle.valid() && GetFileInformationByHandle(handle.get(), &info) &&
        (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        return {};
    }
    return adopt(handle.release(), _O_WRONLY);
}

std::optional<std::uint64_t> regular_size(int fd) {
    const HANDLE handle = os_handle(fd);
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info)) {
        return std::nullopt;
    }
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        return std::nullopt;
    }
    return (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
}

bool is_regular(int fd) {
    return regular_size(fd).has_value();
}

std::optional<Identity> identity_of(int fd) {
    return identity_of_handle(os_handle(fd));
}

std::optional<Identity> identity_at(const fs::path& path) {
    const Handle handle(open_entry(path.c_str(), FILE_READ_ATTRIBUTES));
    if (!handle.valid()) return std::nullopt;
    return identity_of_handle(handle.get());
}

// A pipe's server is not waited for: opening one without a server fails at once.
Descriptor wait_for_reader(const fs::path&) {
    return {};
}

Descriptor hold_identity(const fs::path&, const Identity&) {
    return {};
}

bool rename_into_place(const fs::path& from, const fs::path& to) {
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool remove_if_same(const fs::path& path, const Identity& identity) {
    // The check and the removal go through one handle, so the name cannot change between.
    Handle handle(open_entry(path.c_str(), DELETE | FILE_READ_ATTRIBUTES));
    if (!handle.valid()) return identity_at(path) != identity;
    if (identity_of_handle(handle.get()) != identity) return true;
    // A folder goes only once empty, its files first, and by its name: a folder's handle
    // does not delete it while the files just deleted may still be on their way out.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        // Let go first: a search of the folder shares no deletion with a handle that may
        // delete it.
        CloseHandle(handle.release());
        const bool emptied = remove_files_in(path.native());
        return remove_empty_folder(path) && emptied;
    }
    FILE_DISPOSITION_INFO disposition{TRUE};
    return SetFileInformationByHandle(handle.get(), FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

bool remove_if_ours(const fs::path& path, const std::optional<Identity>& identity) {
    if (identity) return remove_if_same(path, *identity);
    if (DeleteFileW(path.c_str())) return true;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool flush_to_disk(int fd) {
    return FlushFileBuffers(os_handle(fd)) != 0;
}

bool flush_folder_of(const fs::path&) {
    return true;
}

std::optional<std::size_t> longest_name_beside(const fs::path&) {
    return MAX_PATH - 5;  // 255 characters: what NTFS, FAT32 and exFAT take
}

bool rename_may_replace(const fs::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0;
}

std::optional<int> descriptor_named(const fs::path&) {
    return std::nullopt;
}

bool leads_to_open_file(const fs::path& path, int fd) {
    const auto named = identity_at(path);
    const HANDLE handle = os_handle(fd);
    if (!named || handle == INVALID_HANDLE_VALUE) return false;
    return identity_of_handle(handle) == named;
}

int creation_error(const fs::path&) {
    return 0;
}

bool leads_to_pipe(const fs::path&) {
    return false;
}

bool leads_to_terminal(const fs::path&) {
    return false;
}

bool descriptor_is_open(int fd) {
    return _get_osfhandle(fd) != -1;
}

bool take_mode_of(int, const fs::path&) {
    return true;
}

std::FILE* open_stream(Descriptor fd, Direction direction) {
    std::FILE* file = _fdopen(fd.get(), direction == Direction::write ? "wb" : "rb");
    if (file == nullptr) return nullptr;
    static_cast<void>(fd.release());  // the stream closes it now
    std::setvbuf(file, nullptr, _IONBF, 0);
    return file;
}

int descriptor_of(std::FILE* file) {
    return _fileno(file);
}

bool seek(std::FILE* file, std::uint64_t offset) {
    return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
}

std::optional<std::uint64_t> tell(std::FILE* file) {
    const __int64 position = _ftelli64(file);
    if (position < 0) return std::nullopt;
    return static_cast<std::uint64_t>(position);
}

bool truncate(std::FILE* file, std::uint64_t size) {
    return _chsize_s(descriptor_of(file), static_cast<__int64>(size)) == 0;
}

FolderLock FolderLock::take() {
    std::error_code error;
    const fs::path folder = fs::current_path(error);
    // Named mutexes work whatever the file system, so every failure here stops the run.
    if (error) return FolderLock(State::failed, -1);
    // Global, so that runs of other users' sessions are seen too; Local when that is refused.
    HANDLE mutex = CreateMutexW(nullptr, FALSE, lock_name(L"Global\\", folder).c_str());
    if (mutex == nullptr)
        mutex = CreateMutexW(nullptr, FALSE, lock_name(L"Local\\", folder).c_str());
    if (mutex == nullptr) return FolderLock(State::failed, -1);
    const DWORD waited = WaitForSingleObject(mutex, 0);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
        return FolderLock(State::held, reinterpret_cast<std::intptr_t>(mutex));
    }
    CloseHandle(mutex);
    return FolderLock(waited == WAIT_TIMEOUT ? State::busy : State::failed, -1);
}

FolderLock::FolderLock(FolderLock&& other) noexcept
    : state_(other.state_), handle_(std::exchange(other.handle_, -1)) {}

FolderLock::~FolderLock() {
    if (handle_ == -1) return;
    const auto mutex = reinterpret_cast<HANDLE>(handle_);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}

}  // namespace quorvel::files
