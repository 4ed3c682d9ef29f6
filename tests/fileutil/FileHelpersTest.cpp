#include <windows.h>

#include <gtest/gtest.h>

#include "fileutil/Errors.h"
#include "fileutil/FileHelpers.h"
#include "tests/support/TestSupport.h"

using testsupport::ReadFile;
using testsupport::TScratchDir;
using testsupport::WriteFile;

namespace {

FILETIME WriteTime(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA d{};
    GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &d);
    return d.ftLastWriteTime;
}

void SetWriteTime(const std::string& path, uint64_t t) {
    HANDLE h = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    FILETIME ft{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
    SetFileTime(h, nullptr, nullptr, &ft);
    CloseHandle(h);
}

// Only the files a test made may remain: no temporary copies left behind.
size_t EntryCount(const TScratchDir& dir) {
    size_t n = 0;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((dir.Path() + "*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return 0;
    do {
        std::string name = fd.cFileName;
        if (name != "." && name != "..") ++n;
    } while (FindNextFileA(h, &fd));
    FindClose(h);
    return n;
}

}  // namespace

TEST(FileCopy, CopiesContentDateAndAttributesOverALargerTarget) {
    TScratchDir dir("copy-ok");
    std::string data(5000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
    WriteFile(dir / "new.exe", data);
    WriteFile(dir / "old.exe", std::string(9000, 'x'));
    SetWriteTime(dir / "new.exe", 0x01D0000012345678ull);
    SetFileAttributesA((dir / "new.exe").c_str(), FILE_ATTRIBUTE_HIDDEN);

    ASSERT_TRUE(TFileCopy::CopyFile(dir / "new.exe", dir / "old.exe"));
    EXPECT_EQ(ReadFile(dir / "old.exe"), data);
    FILETIME a = WriteTime(dir / "new.exe"), b = WriteTime(dir / "old.exe");
    EXPECT_EQ(a.dwLowDateTime, b.dwLowDateTime);
    EXPECT_EQ(a.dwHighDateTime, b.dwHighDateTime);
    EXPECT_TRUE(GetFileAttributesA((dir / "old.exe").c_str()) & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(EntryCount(dir), 2u);
}

TEST(FileCopy, EmptySourceGivesEmptyTargetWithItsAttributes) {
    TScratchDir dir("copy-empty");
    WriteFile(dir / "empty.exe", "");
    SetFileAttributesA((dir / "empty.exe").c_str(), FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(TFileCopy::CopyFile(dir / "empty.exe", dir / "copy.exe"));
    EXPECT_EQ(TEasyFile::FileSize(dir / "copy.exe"), 0);
    EXPECT_TRUE(GetFileAttributesA((dir / "copy.exe").c_str()) & FILE_ATTRIBUTE_READONLY);
}

// Every refusal leaves the target exactly as it stood and no stray file.
TEST(FileCopy, RefusalsLeaveBothFilesAlone) {
    TScratchDir dir("copy-refused");
    WriteFile(dir / "src.exe", "new module");
    WriteFile(dir / "dst.exe", "old module");

    EXPECT_FALSE(TFileCopy::CopyFile(dir / "src.exe", dir / "src.exe"));
    // The same file in another letter case: it is held open without sharing.
    EXPECT_FALSE(TFileCopy::CopyFile(dir / "src.exe", dir / "SRC.EXE"));
    EXPECT_FALSE(TFileCopy::CopyFile(dir / "missing.exe", dir / "dst.exe"));

    SetFileAttributesA((dir / "dst.exe").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_FALSE(TFileCopy::CopyFile(dir / "src.exe", dir / "dst.exe"));
    SetFileAttributesA((dir / "dst.exe").c_str(), FILE_ATTRIBUTE_NORMAL);

    {  // a running update module holds its file open
        HANDLE h = CreateFileA((dir / "dst.exe").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_FALSE(TFileCopy::CopyFile(dir / "src.exe", dir / "dst.exe"));
        CloseHandle(h);
    }
    {  // a source locked by a writer cannot be opened
        HANDLE h = CreateFileA((dir / "src.exe").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_FALSE(TFileCopy::CopyFile(dir / "src.exe", dir / "dst.exe"));
        CloseHandle(h);
    }
    EXPECT_EQ(ReadFile(dir / "src.exe"), "new module");
    EXPECT_EQ(ReadFile(dir / "dst.exe"), "old module");
    EXPECT_EQ(EntryCount(dir), 2u);
}

TEST(FileCopy, TargetInMissingFolderIsRefused) {
    TScratchDir dir("copy-nofolder");
    WriteFile(dir / "src.exe", "x");
    EXPECT_FALSE(TFileCopy::CopyFile(dir / "src.exe", dir / "no\\such\\dst.exe"));
    EXPECT_EQ(EntryCount(dir), 1u);
}
