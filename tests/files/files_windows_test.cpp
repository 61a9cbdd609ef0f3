// File primitives on Windows (under Wine in CI): names Windows takes for devices, names no
// folder holds, files marked read-only, the access lists of what the run makes private, and a
// folder removed while a file in it is still open.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/wtf8.h"
#include "files/files.h"
#include "support/test_support.h"
#include "windows/windows_identity.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using test::current_user;
using test::sid_text;
using test::under_wine;

std::string wtf8(const std::wstring& text) {
    return wtf8_from_utf16(std::u16string(text.begin(), text.end()));
}

// An access list as read back from a file or folder.
struct AccessList {
    bool read = false;
    bool protected_from_folder = false;
    std::vector<std::wstring> others;  // everyone let in but the user (the system left aside
                                       // under Wine), as SID text
    ACCESS_MASK user_mask = 0;
    BYTE user_flags = 0;
};

AccessList access_list_of(const fs::path& path) {
    AccessList list;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL dacl = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return list;
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    list.protected_from_folder = (control & SE_DACL_PROTECTED) != 0;
    const std::wstring user = current_user();
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(dacl, i, &entry)) continue;
        const auto* header = static_cast<ACE_HEADER*>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        const std::wstring sid = sid_text(&allowed->SidStart);
        if (sid == user) {
            list.user_mask |= allowed->Mask;
            list.user_flags |= header->AceFlags;
        } else if (!(under_wine() && sid == L"S-1-5-18")) {
            list.others.push_back(sid);
        }
    }
    LocalFree(descriptor);
    list.read = true;
    return list;
}

// A folder as a shared one is (C:\Users\Public, a team's folder): everyone may read what is
// made in it, unless it keeps that out.
void share_with_everyone(const fs::path& folder) {
    const std::wstring text = L"D:P(A;OICI;FA;;;" + current_user() + L")(A;OICI;FR;;;WD)";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1,
                                                                     &descriptor, nullptr));
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    std::wstring name = folder.native();
    EXPECT_EQ(SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, dacl, nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));
    LocalFree(descriptor);
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

// In a folder whose access list lets everyone read, what the run makes private lets in the
// user alone, and a folder's entry passes to what is made in it; an output's file gets the
// folder's list, as any new file there does.
TEST(WindowsFiles, PrivateFilesAndFoldersLetInTheUserAloneWhateverTheFolderSays) {
    test::ScratchDir dir;
    const fs::path shared = dir / "shared";
    fs::create_directory(shared);
    share_with_everyone(shared);
    const AccessList folder_list = access_list_of(shared);
    ASSERT_TRUE(folder_list.read);
    ASSERT_EQ(folder_list.others, std::vector<std::wstring>{L"S-1-1-0"}) << "not shared";

    const auto folder = files::create_private_folder_beside(shared / "archive", ".pack-");
    ASSERT_TRUE(folder);
    const AccessList private_folder = access_list_of(folder->path);
    ASSERT_TRUE(private_folder.read);
    EXPECT_TRUE(private_folder.others.empty()) << wtf8(private_folder.others.front());
    EXPECT_EQ(private_folder.user_mask, static_cast<ACCESS_MASK>(FILE_ALL_ACCESS));
    if (!under_wine()) {
        EXPECT_TRUE(private_folder.protected_from_folder);
        EXPECT_EQ(private_folder.user_flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE),
                  OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    }

    const auto key_file = files::create_private(shared / "key.bin");
    ASSERT_TRUE(key_file.valid());
    const auto pending = files::create_private_beside(shared / "archive.7z", ".new-");
    ASSERT_TRUE(pending.fd.valid());
    for (const fs::path& file : {shared / "key.bin", pending.path}) {
        const AccessList list = access_list_of(file);
        ASSERT_TRUE(list.read) << file;
        EXPECT_TRUE(list.others.empty()) << file << ": " << wtf8(list.others.front());
        EXPECT_NE(list.user_mask & FILE_GENERIC_READ, 0u) << file;
        if (!under_wine()) {
            EXPECT_TRUE(list.protected_from_folder) << file;
        }
    }

    const auto output = files::create_beside(shared / "out.qv", ".out-");
    ASSERT_TRUE(output.fd.valid());
    test::write_file(shared / "plain", "");
    EXPECT_EQ(access_list_of(output.path).others, access_list_of(shared / "plain").others);
}

// A file held open (the run reading the archive when an interrupt comes) keeps neither its
// folder from going nor anything behind once let go.
TEST(WindowsFiles, APrivateFolderGoesWhileAFileInItIsStillOpen) {
    test::ScratchDir dir;
    const auto folder = files::create_private_folder_beside(dir / "archive", ".pack-");
    ASSERT_TRUE(folder);
    test::write_file(folder->path / "archive.7z", "plaintext");
    auto reader = files::open_for_reading(folder->path / "archive.7z");
    ASSERT_TRUE(reader.valid());
    EXPECT_TRUE(files::remove_if_same(folder->path, folder->identity));
    EXPECT_FALSE(fs::exists(folder->path));
    reader = files::Descriptor();
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

}  // namespace
}  // namespace quorvel
