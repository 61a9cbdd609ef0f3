// File primitives on Windows (under Wine in CI): names Windows takes for devices, names no
// folder holds and files marked read-only.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "console/wtf8.h"
#include "files/files.h"
#include "support/test_support.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

std::string wtf8(const std::wstring& text) {
    return wtf8_from_utf16(std::u16string(text.begin(), text.end()));
}

TEST(WindowsFiles, DeviceNamesAreDevicesInAnyCaseWithAnyExtensionInAnyFolder) {
    for (const std::wstring name :
         {L"NUL",           L"nul",           L"Nul.txt",
          L"nul.tar.gz",    L"NUL ",          L"NUL:",
          L"nul .qv",       L"CON",           L"PRN",
          L"AUX",           L"aux.qv",        L"COM1",
          L"com9",          L"COM0",          L"LPT1",
          L"lpt9.txt",      L"LPT0",          L"COM\u00B9",
          L"lpt\u00B3.log", L"CONIN$",        L"conout$",
          L"CONOUT$.txt",   L"sub\\NUL",      L"C:\\any\\folder\\con.c",
          L"C:aux",         L"\\\\.\\NUL",    L"\\\\.\\COM1",
          L"\\\\.\\C:",     L"//./pipe/name", L"\\\\?\\GLOBALROOT\\Device\\Null"}) {
        EXPECT_TRUE(files::names_device(name)) << wtf8(name);
        EXPECT_EQ(files::kind_at(name), files::Kind::other) << wtf8(name);
        EXPECT_EQ(files::kind_behind(name), files::Kind::other) << wtf8(name);
    }
    // Names that only look alike, and full paths that Windows takes as written.
    for (const std::wstring name :
         {L"NULL", L"nul1", L"xnul", L"_nul.txt", L"COM10", L"COM", L"LPTX", L"CONIN", L"CONOUT",
          L"con-fig.txt", L"NUL\\out.qv", L" nul", L"\\\\?\\C:\\folder\\NUL",
          L"\\\\.\\C:\\folder\\out.qv", L"\\\\?\\UNC\\server\\share\\out.qv",
          L"\\\\?\\Volume{26a21bda-a627-11d7-9931-806e6f6e6963}\\out.qv"}) {
        EXPECT_FALSE(files::names_device(name)) << wtf8(name);
    }
}

TEST(WindowsFiles, NothingOpensADeviceByItsName) {
    test::ScratchDir dir;
    fs::create_directory(dir / "sub");
    // Names that lead to the null device, which opens at once where anything may open it.
    for (const fs::path& name : {fs::path(L"NUL"), dir / "nul.txt", dir / "sub" / "NUL"}) {
        EXPECT_FALSE(files::open_for_reading(name).valid()) << name;
        EXPECT_FALSE(files::open_existing_for_writing(name).valid()) << name;
        EXPECT_FALSE(files::create_private(name).valid()) << name;
        EXPECT_FALSE(files::identity_at(name)) << name;
    }
}

TEST(WindowsFiles, NamesNoFolderHolds) {
    for (const std::wstring name : {L"x<y", L"a>b", L"out.qv:stream", L"say\"what\"", L"a|b",
                                    L"why?", L"star*", L"tab\there", L"sub\\bell\a"}) {
        EXPECT_TRUE(files::name_refused(name)) << wtf8(name);
    }
    for (const std::wstring name : {L"out.qv", L"C:out.qv", L"C:\\folder\\out.qv",
                                    L"with space & more.qv", L"\u65E5\u672C.qv", L"odd.name."}) {
        EXPECT_FALSE(files::name_refused(name)) << wtf8(name);
    }
}

TEST(WindowsFiles, AFileMarkedReadOnlyIsNeitherReplacedNorWritten) {
    test::ScratchDir dir;
    test::write_file(dir / "plain", "plain");
    test::write_file(dir / "locked", "locked");
    ASSERT_TRUE(SetFileAttributesW((dir / "locked").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(files::rename_may_replace(dir / "plain"));
    EXPECT_TRUE(files::rename_may_replace(dir / "missing"));
    EXPECT_FALSE(files::rename_may_replace(dir / "locked"));
    EXPECT_TRUE(files::open_existing_for_writing(dir / "plain").valid());
    EXPECT_FALSE(files::open_existing_for_writing(dir / "locked").valid());
    SetFileAttributesW((dir / "locked").c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(test::read_file(dir / "locked"), test::to_bytes("locked"));
}

}  // namespace
}  // namespace quorvel
