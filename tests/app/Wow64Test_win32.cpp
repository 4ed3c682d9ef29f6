// What a 32-bit build sees on 64-bit Windows (WOW64): the system folders as
// the file-system redirection shows them, and an embedding host of the other
// bitness. Elsewhere (the 64-bit build) these skip: there is no WOW64 view.
#include "app/Processes.h"

#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/app/ProcessesTestStub.h"
#include "tests/support/TestSupport.h"

using testsupport::ExeDir;
using testsupport::TScratchDir;

namespace {

bool UnderWow64() {
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

#define SKIP_UNLESS_WOW64()                                                                   \
    if (!UnderWow64())                                                                        \
    GTEST_SKIP() << "only a 32-bit process on 64-bit Windows (WOW64) has a redirected view " \
                    "and processes of the other bitness"

std::string Lower(std::string s) {
    CharLowerBuffA(&s[0], static_cast<DWORD>(s.size()));
    return s;
}

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && Lower(s.substr(s.size() - tail.size())) == Lower(tail);
}

// The machine field of a PE file's header (0x14C i386, 0x8664 AMD64); 0
// when the file cannot be read.
WORD FileMachine(const std::string& path) {
    std::string bytes = testsupport::ReadFile(path);
    if (bytes.size() < 0x40) return 0;
    DWORD pe = *reinterpret_cast<const DWORD*>(&bytes[0x3C]);
    if (pe + 6 > bytes.size()) return 0;
    return *reinterpret_cast<const WORD*>(&bytes[pe + 4]);
}

std::string WindowsDir() {
    char dir[MAX_PATH] = {};
    UINT n = GetWindowsDirectoryA(dir, MAX_PATH);
    return std::string(dir, n);
}

}  // namespace

// System32 is the 32-bit folder (SysWOW64) to a 32-bit process; Sysnative is
// the way to the 64-bit one, and turning the redirection off shows it too.
TEST(Wow64, SystemFoldersAsA32BitProcessSeesThem) {
    SKIP_UNLESS_WOW64();
    char system[MAX_PATH] = {}, wow64[MAX_PATH] = {};
    ASSERT_GT(GetSystemDirectoryA(system, MAX_PATH), 0u);
    ASSERT_GT(GetSystemWow64DirectoryA(wow64, MAX_PATH), 0u);
    EXPECT_TRUE(EndsWith(system, "\\system32")) << system;
    EXPECT_TRUE(EndsWith(wow64, "\\syswow64")) << wow64;

    const std::string windows = WindowsDir();
    EXPECT_EQ(FileMachine(windows + "\\system32\\kernel32.dll"), IMAGE_FILE_MACHINE_I386);
    EXPECT_EQ(FileMachine(std::string(wow64) + "\\kernel32.dll"), IMAGE_FILE_MACHINE_I386);
    EXPECT_EQ(FileMachine(windows + "\\Sysnative\\kernel32.dll"), IMAGE_FILE_MACHINE_AMD64);

    PVOID old = nullptr;
    ASSERT_TRUE(Wow64DisableWow64FsRedirection(&old));
    WORD unredirected = FileMachine(windows + "\\system32\\kernel32.dll");
    Wow64RevertWow64FsRedirection(old);
    EXPECT_EQ(unredirected, IMAGE_FILE_MACHINE_AMD64);
}

// A 64-bit program embedding the library: the 32-bit utility finds the
// process with its full path, and the library loaded in it.
TEST(Wow64, EmbeddingHostOfTheOtherBitnessIsFound) {
    SKIP_UNLESS_WOW64();
    TScratchDir dir("wow64host");
    ASSERT_TRUE(CopyFileA((ExeDir() + "stubproc64.exe").c_str(), (dir / "Host64.exe").c_str(), FALSE));
    ASSERT_TRUE(CopyFileA((ExeDir() + "stub_spexec64.dll").c_str(), (dir / "SPExec.dll").c_str(), FALSE));
    TStubProcess host(dir / "Host64.exe", "--load \"" + (dir / "SPExec.dll") + "\"");

    TProcessList procs = FindProcesses("host64.exe");
    ASSERT_EQ(procs.Count(), 1);
    EXPECT_EQ(procs.Items(0).ProcessID, host.Pid());
    EXPECT_EQ(Lower(procs.Items(0).ExePath), Lower(dir / "Host64.exe"));

    // The way into a 64-bit process's loader data from a 32-bit one. Wine's
    // 32-bit ntdll lacks it (measured with Wine 8): the host's modules then
    // stay unread, as they did before the utility asked for them this way.
    if (!GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtWow64QueryInformationProcess64"))
        GTEST_SKIP() << "this ntdll has no NtWow64QueryInformationProcess64 (Wine's 32-bit one): "
                        "only Windows shows a 64-bit process's modules to a 32-bit one";

    TModuleList modules = FindLoadedModules("SPExec.dll");
    int found = 0;
    for (int i = 0; i < modules.Count(); ++i) {
        TModuleEntry m = modules.Items(i);
        if (m.Process.ProcessID != host.Pid()) continue;
        ++found;
        EXPECT_EQ(Lower(m.FileName), Lower(dir / "SPExec.dll"));
        EXPECT_NE(m.ModuleHandle, 0u);
    }
    EXPECT_EQ(found, 1);
    // The same library by its full path, and not in some other folder.
    EXPECT_GE(FindLoadedModules(dir / "SPExec.dll").Count(), 1);
    EXPECT_EQ(FindLoadedModules(dir / "other\\SPExec.dll").Count(), 0);
}
