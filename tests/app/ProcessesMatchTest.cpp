#include <gtest/gtest.h>

#include "app/Processes.h"

TEST(ProcessNameMatches, Rules) {
    struct Case {
        const char* name;
        const char* exe;
        bool match;
    };
    const Case cases[] = {
        {"", "C:\\Apps\\x.exe", true},
        {"*", "C:\\Apps\\x.exe", true},
        {"*.*", "[System Process]", true},
        {"*.exe", "C:\\Apps\\x.exe", false},  // only the three exact wildcards
        {"Stirpello.exe", "C:\\Program Files\\Stirpello\\Stirpello.exe", true},
        {"stirpello.EXE", "C:\\Apps\\STIRPELLO.EXE", true},
        {"Stirpello.exe", "Stirpello.exe", true},  // listed by image name only
        {"Stirpello.exe", "C:\\Apps\\Stirpello.exe.bak", false},
        {"Stirpello.exe", "C:\\Apps\\MyStirpello.exe", false},
        {"Stirpello.exe", "C:\\Stirpello.exe\\Other.exe", false},
        {"Stirpello.exe", "[System Process]", false},
        {"C:\\Apps\\Stirpello.exe", "c:\\APPS\\stirpello.exe", true},
        {"C:\\Apps\\Stirpello.exe", "D:\\Apps\\Stirpello.exe", false},
        {"C:\\Apps\\Stirpello.exe", "C:\\Apps\\Sub\\Stirpello.exe", false},
        // Without a folder in the listing only the file names can be compared.
        {"C:\\Apps\\Stirpello.exe", "Stirpello.exe", true},
        {"C:\\Apps\\Stirpello.exe", "Other.exe", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ProcessNameMatches(c.name, c.exe), c.match) << c.name << " vs " << c.exe;
}

TEST(ModuleNameMatches, Rules) {
    EXPECT_TRUE(ModuleNameMatches("SPExec.dll", "C:\\Program Files\\Stirpello\\SPEXEC.DLL"));
    EXPECT_TRUE(ModuleNameMatches("c:\\p\\spexec.dll", "C:\\P\\SPExec.dll"));
    EXPECT_FALSE(ModuleNameMatches("C:\\P\\SPExec.dll", "C:\\Q\\SPExec.dll"));
    EXPECT_FALSE(ModuleNameMatches("SPExec.dll", "C:\\P\\SPExec.dll.old"));
    EXPECT_FALSE(ModuleNameMatches("SPExec.dll", "C:\\P\\MySPExec.dll"));
}

TEST(SnapshotList, IndexOutOfRangeGivesAnEmptyEntryWithAnError) {
    TProcessList processes;
    TProcessEntry e;
    e.ProcessID = 42;
    e.ExePath = "C:\\x.exe";
    processes.Add(e);
    EXPECT_EQ(processes.Items(0).ProcessID, 42u);
    EXPECT_EQ(processes.Items(0).Error, "");
    for (int bad : {-1, 1, 1000}) {
        TProcessEntry out = processes.Items(bad);
        EXPECT_EQ(out.ProcessID, 0u);
        EXPECT_EQ(out.ExePath, "");
        EXPECT_EQ(out.Error, "Index out of range.");
    }
    TModuleList modules;
    TModuleEntry m = modules.Items(0);
    EXPECT_EQ(m.Error, "Index out of range.");
    EXPECT_EQ(m.ModuleHandle, 0u);
    EXPECT_EQ(m.Process.ProcessID, 0u);
}
