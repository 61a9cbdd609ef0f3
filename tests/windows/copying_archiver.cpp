// A stand-in for 7z.exe in the Windows interrupt test: "a ARCHIVE ... INPUT" copies the input
// (its last argument) as the archive, "x ARCHIVE ..." copies the archive to extracted.bin. A
// copy takes as long as the data is large, which holds the run in a known phase, and its sizes
// are known, so the test can tell when the cipher stage has started.
#include <windows.h>

#include <string>

namespace {

bool copy_file(const wchar_t* from, const wchar_t* to) {
    return CopyFileW(from, to, FALSE) != 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    const std::wstring command = argv[1];
    if (command == L"a") return copy_file(argv[argc - 1], argv[2]) ? 0 : 2;
    if (command == L"x") return copy_file(argv[2], L"extracted.bin") ? 0 : 2;
    return 2;
}
