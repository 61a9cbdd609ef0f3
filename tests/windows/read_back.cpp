// What the Windows path tests read back from the system, run under Wine beside quorvel.exe:
//   read_back.exe setting PROGRAM NAME  the value PROGRAM's manifest gives the Windows setting
//                                     NAME (longPathAware or activeCodePage), as Windows reads
//                                     it; "-" when there is none
//   read_back.exe others PATH           who but the current user the access list of PATH lets
//                                     in, as SID text, one a line; "-" when nobody. The
//                                     system's entry, which Wine lists on every file whatever
//                                     its access list, is left aside there.
// Exits with 2 when it cannot tell.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <string>
#include <vector>

#include "windows/windows_identity.h"

namespace {

using quorvel::test::current_user;
using quorvel::test::sid_text;
using quorvel::test::under_wine;

int setting(const wchar_t* program, const std::wstring& name) {
    const wchar_t* space = nullptr;
    if (name == L"longPathAware") space = L"http://schemas.microsoft.com/SMI/2016/WindowsSettings";
    if (name == L"activeCodePage") space = L"http://schemas.microsoft.com/SMI/2019/WindowsSettings";
    if (space == nullptr) return 2;
    ACTCTXW context{};
    context.cbSize = sizeof context;
    context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    context.lpSource = program;
    context.lpResourceName = MAKEINTRESOURCEW(1);
    const HANDLE activation = CreateActCtxW(&context);
    if (activation == INVALID_HANDLE_VALUE) {
        // No manifest at all: no setting either.
        if (GetLastError() != ERROR_RESOURCE_NAME_NOT_FOUND &&
            GetLastError() != ERROR_RESOURCE_TYPE_NOT_FOUND) {
            return 2;
        }
        std::wprintf(L"-\n");
        return 0;
    }
    wchar_t value[64] = {};
    SIZE_T size = 0;
    const bool found = QueryActCtxSettingsW(0, activation, space, name.c_str(), value, 64, &size);
    ReleaseActCtx(activation);
    std::wprintf(L"%ls\n", found ? value : L"-");
    return 0;
}

int others(const wchar_t* path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL dacl = nullptr;
    if (GetNamedSecurityInfoW(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return 2;
    }
    const std::wstring user = current_user();
    bool any = false;
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(dacl, i, &entry) ||
            static_cast<ACE_HEADER*>(entry)->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            continue;
        }
        const std::wstring sid = sid_text(&static_cast<ACCESS_ALLOWED_ACE*>(entry)->SidStart);
        if (sid == user || (under_wine() && sid == L"S-1-5-18")) continue;
        std::wprintf(L"%ls\n", sid.c_str());
        any = true;
    }
    LocalFree(descriptor);
    if (!any) std::wprintf(L"-\n");
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"setting" && argc == 4) return setting(argv[2], argv[3]);
    if (command == L"others" && argc == 3) return others(argv[2]);
    return 2;
}
