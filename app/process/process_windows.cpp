#include <windows.h>

#include <cwchar>
#include <system_error>
#include <utility>
#include <vector>

#include "app/process/process.h"
#include "app/process/windows_command_line.h"
#include "app/signals/interrupt_cleanup.h"
#include "app/signals/signals_windows.h"
#include "console/console.h"
#include "console/wtf8.h"

namespace quorvel {

namespace {

namespace fs = std::filesystem;

std::u16string_view units_of(const std::wstring& text) {
    return {reinterpret_cast<const char16_t*>(text.data()), text.size()};
}

std::optional<std::wstring> wide_from_wtf8(std::string_view text) {
    const auto units = utf16_from_wtf8(text);
    if (!units) return std::nullopt;
    return std::wstring(units->begin(), units->end());
}

fs::path own_folder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            return fs::path(path).parent_path();
        }
        path.resize(path.size() * 2);
    }
}

// Where a program is looked for: the folder of this program (an archiver installed beside
// it), then each folder of PATH in order (";"-separated, an entry possibly in double
// quotes, relative ones skipped), then the current folder last, so that a program of that
// name extracted there by an earlier decryption does not win over an installed one.
std::vector<fs::path> search_folders() {
    std::vector<fs::path> folders;
    if (auto own = own_folder(); !own.empty()) folders.push_back(std::move(own));
    const wchar_t* path = _wgetenv(L"PATH");
    const std::wstring_view list = path != nullptr ? path : L"";
    std::size_t start = 0;
    while (start < list.size()) {
        const std::size_t end = std::min(list.find(L';', start), list.size());
        std::wstring_view folder = list.substr(start, end - start);
        if (folder.size() >= 2 && folder.front() == L'"' && folder.back() == L'"') {
            folder = folder.substr(1, folder.size() - 2);
        }
        if (fs::path(folder).is_absolute()) folders.emplace_back(folder);
        start = end + 1;
    }
    std::error_code error;
    auto current = fs::current_path(error);
    if (!error) folders.push_back(std::move(current));
    return folders;
}

// The null device, opened inheritable, as the archiver's standard output once ours is gone:
// writing its report into a closed pipe would fail and end its work early.
class NullOutput {
public:
    NullOutput() {
        if (output_available()) return;
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        handle_ = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              OPEN_EXISTING, 0, nullptr);
    }
    ~NullOutput() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    NullOutput(const NullOutput&) = delete;
    NullOutput& operator=(const NullOutput&) = delete;
    // The handle to give the child as its standard output: the null device, or ours.
    HANDLE output() const {
        return handle_ != INVALID_HANDLE_VALUE ? handle_ : GetStdHandle(STD_OUTPUT_HANDLE);
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// The standard handles, made inheritable so that the archiver writes where this program does,
// be it a console, a pipe or a file. No other handle is inheritable while a child runs: files
// are opened after packing and closed before unpacking.
void share_standard_handles(STARTUPINFOW& startup, HANDLE output) {
    startup.dwFlags |= STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    for (const HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) {
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
            SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
        }
    }
}

// A job object that ends every process in it when its last handle closes: the archiver dies
// with the run however the run ends (a console event, the task manager, a crash).
class KillingJob {
public:
    KillingJob() : handle_(CreateJobObjectW(nullptr, nullptr)) {
        if (handle_ == nullptr) return;
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (!SetInformationJobObject(handle_, JobObjectExtendedLimitInformation, &limits,
                                     sizeof limits)) {
            CloseHandle(std::exchange(handle_, nullptr));
        }
    }
    ~KillingJob() {
        if (handle_ != nullptr) CloseHandle(handle_);
    }
    KillingJob(const KillingJob&) = delete;
    KillingJob& operator=(const KillingJob&) = delete;

    // Puts `process` (not yet running) into the job; false when it cannot be.
    bool take(HANDLE process) const {
        return handle_ != nullptr && AssignProcessToJobObject(handle_, process);
    }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

}  // namespace

void prepare_process() {}

bool reopened_at_start(int) {
    return false;
}

std::optional<std::filesystem::path> find_program(std::span<const std::string_view> names) {
    const auto folders = search_folders();
    for (const auto name : names) {
        const auto wide_name = wide_from_wtf8(name);
        if (!wide_name) continue;
        for (const auto& folder : folders) {
            auto candidate = folder / *wide_name;
            std::error_code error;
            if (fs::is_regular_file(candidate, error)) return candidate;
        }
    }
    return std::nullopt;
}

// `new_files` has no effect here: a file the child creates takes the access list its folder
// passes on, which in the user's own folders lets only the user (and administrators) read it.
ProcessResult run_process(const std::filesystem::path& program,
                          std::span<const std::string> arguments, NewFiles /*new_files*/) {
    flush_output();
    ProcessResult result;
    // The only program started here is the archiver, so the line follows its splitting rule.
    const auto line =
        seven_zip_command_line(wtf8_from_utf16(units_of(program.native())), arguments);
    if (!line) return result;
    auto command_line = wide_from_wtf8(*line);
    if (!command_line) return result;

    const NullOutput null_output;
    const bool had_output = output_available();
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    share_standard_handles(startup, null_output.output());
    const KillingJob job;
    PROCESS_INFORMATION process{};
    {
        // Started suspended and put in the job before it runs, so that nothing it starts
        // escapes the job; the console-event handler knows it from the start.
        const InterruptsDeferred deferred;
        // The program is named directly: no command interpreter, and no second search that
        // could find a different file than the one found above.
        if (!CreateProcessW(program.c_str(), command_line->data(), nullptr, nullptr, TRUE,
                            CREATE_SUSPENDED, nullptr, nullptr, &startup, &process)) {
            return result;
        }
        // Where jobs cannot nest (before Windows 8, inside a job that forbids it) the child
        // runs outside one; the handler still ends it.
        set_interrupted_child(job.take(process.hProcess) ? job.get() : nullptr, process.hProcess);
        ResumeThread(process.hThread);
    }
    CloseHandle(process.hThread);
    DWORD code = 0;
    if (WaitForSingleObject(process.hProcess, INFINITE) == WAIT_OBJECT_0 &&
        GetExitCodeProcess(process.hProcess, &code)) {
        result.outcome = ProcessResult::Outcome::exited;
        result.code = static_cast<int>(code);
    }
    {
        // Waits here while the handler ends the run.
        const InterruptsDeferred deferred;
        set_interrupted_child(nullptr, nullptr);
    }
    CloseHandle(process.hProcess);
    flush_output();
    result.lost_output = had_output && !output_available();
    return result;
}

}  // namespace quorvel
