// Who the Windows tests run as, and whether Wine runs them: for the test programs that read
// access lists back (files_windows_test, read_back.exe).
#pragma once

#include <windows.h>
#include <sddl.h>

#include <string>
#include <vector>

namespace quorvel::test {

// `sid` as SID text ("S-1-5-..."); "?" when it cannot be told.
inline std::wstring sid_text(PSID sid) {
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) return L"?";
    std::wstring result(text);
    LocalFree(text);
    return result;
}

// The current user's SID text; empty when it cannot be told.
inline std::wstring current_user() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return L"";
    std::vector<char> buffer(256);
    DWORD size = 0;
    const bool told = GetTokenInformation(token, TokenUser, buffer.data(),
                                          static_cast<DWORD>(buffer.size()), &size) != 0;
    CloseHandle(token);
    return told ? sid_text(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid) : L"";
}

// Wine keeps an access list only as far as POSIX modes carry it: no protected flag, an entry
// for the system on every file, and every folder's entries shown as passing on, whatever list
// it was given.
inline bool under_wine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

}  // namespace quorvel::test
