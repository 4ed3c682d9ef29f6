// The settings file through the real profile functions.
#include "app/Settings.h"

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
