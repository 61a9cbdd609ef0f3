// A stand-in for 7z.exe in the Windows interrupt test: "a ARCHIVE ... INPUT" copies the input
// (its last argument) as the archive, "x ARCHIVE ..." copies the archive to extracted.bin, and
// "t ... ARCHIVE" and "l ... ARCHIVE" (a test, a listing) read the archive, their last argument,
// copying it to the file COPYING_ARCHIVER_READ_INTO names, outside the run's folders. A
// copy takes as long as the data is large, which holds the run in a known phase, and its sizes
// are known, so the test can tell when the cipher stage has started. With the environment
// variable COPYING_ARCHIVER_PAUSE_MS set, it copies a mebibyte at a time and pauses that many
// milliseconds after each, so that the test can interrupt the run while it packs or unpacks.
// With COPYING_ARCHIVER_NEEDS_JOB set it fails (status 3) unless it runs inside a job object.
#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

class Handle {
public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() {
        if (valid()) CloseHandle(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

bool copy_slowly(const wchar_t* from, const wchar_t* to, DWORD pause_ms) {
    const Handle input(CreateFileW(from, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
    // Held as 7-Zip holds its archive: nobody may delete it while it is written.
    const Handle output(
        CreateFileW(to, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!input.valid() || !output.valid()) return false;
    std::vector<char> chunk(1 << 20);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(input.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr)) {
            return false;
        }
        if (got == 0) return true;
        DWORD written = 0;
        if (!WriteFile(output.get(), chunk.data(), got, &written, nullptr) || written != got) {
            return false;
        }
        Sleep(pause_ms);
    }
}

bool copy_file(const wchar_t* from, const wchar_t* to) {
    const wchar_t* pause = _wgetenv(L"COPYING_ARCHIVER_PAUSE_MS");
    if (pause != nullptr) return copy_slowly(from, to, static_cast<DWORD>(_wtoi(pause)));
    return CopyFileW(from, to, FALSE) != 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    BOOL in_job = FALSE;
    if (_wgetenv(L"COPYING_ARCHIVER_NEEDS_JOB") != nullptr &&
        (!IsProcessInJob(GetCurrentProcess(), nullptr, &in_job) || !in_job)) {
        return 3;
    }
    const std::wstring command = argv[1];
    if (command == L"a") return copy_file(argv[argc - 1], argv[2]) ? 0 : 2;
    if (command == L"x") return copy_file(argv[2], L"extracted.bin") ? 0 : 2;
    const wchar_t* read_into = _wgetenv(L"COPYING_ARCHIVER_READ_INTO");
    if ((command == L"t" || command == L"l") && read_into != nullptr) {
        return copy_file(argv[argc - 1], read_into) ? 0 : 2;
    }
    return 2;
}
