// The settings file through the real profile functions.
#include "app/Settings.h"

#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include "fileutil/Errors.h"
#include "tests/support/TestSupport.h"

using testsupport::ReadFile;
using testsupport::TScratchDir;
using testsupport::WriteFile;

TEST(SettingsFile, ReadsDeletesAndWrites) {
    TScratchDir dir("settings");
    const std::string path = dir / "Stirpello.ini";
    WriteFile(path,
              "[Internet Connection]\r\nuseProxy=true\r\nportNumber=abc\r\n"
              "[Updates]\r\nCheckOnOrAfterDate=2024-01-01\r\nNotifyAfterUpdateTo=\r\n");
    TSettingsFile ini(path);
    EXPECT_EQ(ini.ReadString("internet connection", "USEPROXY", "FALSE"), "true");
    EXPECT_EQ(ini.ReadString("Internet Connection", "proxyName", "unspecified"), "unspecified");
    EXPECT_EQ(ini.ReadString("Updates", "NotifyAfterUpdateTo", "x"), "");
    EXPECT_EQ(ini.ReadString("Missing", "key", "dflt"), "dflt");

    ini.DeleteKey("Updates", "CheckOnOrAfterDate");
    EXPECT_EQ(ReadFile(path).find("CheckOnOrAfterDate"), std::string::npos);
    ini.DeleteKey("Updates", "NoSuchKey");  // ignored

    ini.WriteString("Internet Connection", "wantsUpdate", "FALSE");
    EXPECT_NE(ReadFile(path).find("wantsUpdate=FALSE"), std::string::npos);
    EXPECT_EQ(ini.ReadString("Internet Connection", "portNumber", "0"), "abc");
}

TEST(SettingsFile, WriteCreatesTheFileAndValuesAreCapped) {
    TScratchDir dir("settings-new");
    TSettingsFile ini(dir / "Stirpello.ini");
    ini.WriteString("Internet Connection", "notifyForAnyUpdate", "TRUE");
    EXPECT_EQ(ini.ReadString("Internet Connection", "notifyForAnyUpdate", ""), "TRUE");
    ini.WriteString("Files", "long", std::string(3000, 'x'));
    EXPECT_EQ(ini.ReadString("Files", "long", ""), std::string(2047, 'x'));
}

TEST(SettingsFile, FailedWriteNamesTheFile) {
    TScratchDir dir("settings-fail");
    const std::string path = dir / "no such folder\\Stirpello.ini";
    TSettingsFile ini(path);
    try {
        ini.WriteString("Internet Connection", "wantsUpdate", "TRUE");
        FAIL() << "no error";
    } catch (const EError& e) {
        EXPECT_EQ(e.Message(), "Unable to write to " + path);
    }
    EXPECT_EQ(ini.ReadString("Internet Connection", "wantsUpdate", "none"), "none");
}

TEST(VirtualStore, PathDropsTheDriveUnderTheUsersFolder) {
    const struct {
        const char* path;
        const char* appData;
        const char* want;
    } cases[] = {
        {"C:\\Program Files\\Stirpello\\Stirpello.ini", "C:\\Users\\ann\\AppData\\Local",
         "C:\\Users\\ann\\AppData\\Local\\VirtualStore\\Program Files\\Stirpello\\Stirpello.ini"},
        {"d:\\Stirpello\\Stirpello.ini", "C:\\Local\\", "C:\\Local\\VirtualStore\\Stirpello\\Stirpello.ini"},
        // Only drive paths are redirected; nor is there a copy without a user folder.
        {"\\\\server\\share\\Stirpello.ini", "C:\\Local", ""},
        {"Stirpello.ini", "C:\\Local", ""},
        {"C:\\Program Files\\Stirpello\\Stirpello.ini", "", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(VirtualStorePath(c.path, c.appData), c.want) << c.path;
}

TEST(VirtualStore, OnlyAPlainFileIsTakenAsTheCopy) {
    TScratchDir local("virtualstore");
    const std::string real = "C:\\Program Files\\Stirpello\\Stirpello.ini";
    const std::string folder = local / "VirtualStore\\Program Files\\Stirpello";
    const std::string copy = folder + "\\Stirpello.ini";
    EXPECT_EQ(FindVirtualStoreCopy(real, local.Path()), "");  // no copy

    ASSERT_TRUE(CreateDirectoryA((local / "VirtualStore").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((local / "VirtualStore\\Program Files").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(copy.c_str(), nullptr));
    EXPECT_EQ(FindVirtualStoreCopy(real, local.Path()), "");  // a folder by that name
    ASSERT_TRUE(RemoveDirectoryA(copy.c_str()));

    WriteFile(copy, "[Updates]\r\nCheckOnOrAfterDate=2031-01-01\r\n");
    EXPECT_EQ(FindVirtualStoreCopy(real, local.Path()), copy);

    // A second name for the file could be another file the user may not
    // write: an elevated write through it must not happen.
    const std::string other = local / "other.ini";
    ASSERT_TRUE(CreateHardLinkA(other.c_str(), copy.c_str(), nullptr));
    EXPECT_EQ(FindVirtualStoreCopy(real, local.Path()), "");
    DeleteFileA(other.c_str());
    EXPECT_EQ(FindVirtualStoreCopy(real, local.Path()), copy);
}

// Not elevated with another account, the shell's user is this process's own.
TEST(VirtualStore, SignedInUsersFolderIsTheShellsUsers) {
    char own[MAX_PATH] = {};
    ASSERT_TRUE(SHGetSpecialFolderPathA(nullptr, own, CSIDL_LOCAL_APPDATA, FALSE));
    EXPECT_EQ(SignedInUserLocalAppData(), own);
}
