// The process and module queries against real processes started here.
#include "app/Processes.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "tests/app/ProcessesTestStub.h"
#include "tests/support/TestSupport.h"

using testsupport::ExeDir;
using testsupport::TScratchDir;

namespace {

bool SameText(const std::string& a, const std::string& b) {
    return lstrcmpiA(a.c_str(), b.c_str()) == 0;
}

std::vector<DWORD> Pids(const TProcessList& list) {
    std::vector<DWORD> pids;
    for (int i = 0; i < list.Count(); ++i) pids.push_back(list.Items(i).ProcessID);
    return pids;
}

std::string OwnPath() {
    char buf[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, buf, MAX_PATH);
    return std::string(buf, n);
}

}  // namespace

// One set of stub processes for the whole suite:
//   "Long Folder Name\Stirpello.exe", two "TMG.exe", "MyStirpello.exe",
//   "Stirpello.exe.bak", and two hosts that load "SPExec.dll".
class Processes : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TScratchDir("processes");
        std::string stub = ExeDir() + "stubproc.exe";
        CreateDirectoryA(StirpelloDir().c_str(), nullptr);
        CreateDirectoryA((dir_->Path() + "tmg").c_str(), nullptr);
        auto copy = [&](const std::string& from, const std::string& to) {
            if (!CopyFileA(from.c_str(), to.c_str(), FALSE))
                throw std::runtime_error("cannot copy to " + to);
        };
        copy(stub, StirpelloExe());
        copy(stub, dir_->Path() + "tmg\\TMG.exe");
        copy(stub, dir_->Path() + "MyStirpello.exe");
        copy(stub, dir_->Path() + "Stirpello.exe.bak");
        copy(stub, dir_->Path() + "Host.exe");
        copy(ExeDir() + "stub_spexec.dll", SPExecPath());
        procs_ = new std::vector<std::unique_ptr<TStubProcess>>;
        auto start = [](const std::string& exe, const std::string& args = "") {
            procs_->push_back(std::make_unique<TStubProcess>(exe, args));
            return procs_->back()->Pid();
        };
        stirpello_ = start(StirpelloExe());
        tmg1_ = start(dir_->Path() + "tmg\\TMG.exe");
        tmg2_ = start(dir_->Path() + "tmg\\TMG.exe");
        start(dir_->Path() + "MyStirpello.exe");
        start(dir_->Path() + "Stirpello.exe.bak");
        host1_ = start(dir_->Path() + "Host.exe", "--load \"" + SPExecPath() + "\"");
        host2_ = start(dir_->Path() + "Host.exe", "--load \"" + SPExecPath() + "\"");
    }
    static void TearDownTestSuite() {
        delete procs_;
        delete dir_;
    }
    static std::string StirpelloDir() { return dir_->Path() + "Long Folder Name"; }
    static std::string StirpelloExe() { return StirpelloDir() + "\\Stirpello.exe"; }
    static std::string SPExecPath() { return dir_->Path() + "SPExec.dll"; }

    static TScratchDir* dir_;
    static std::vector<std::unique_ptr<TStubProcess>>* procs_;
    static DWORD stirpello_, tmg1_, tmg2_, host1_, host2_;
};
TScratchDir* Processes::dir_;
std::vector<std::unique_ptr<TStubProcess>>* Processes::procs_;
DWORD Processes::stirpello_, Processes::tmg1_, Processes::tmg2_, Processes::host1_,
    Processes::host2_;

TEST_F(Processes, FindsTheUpdateModuleByFileNameInAnyLetterCase) {
    for (const char* name : {"Stirpello.exe", "stirpello.exe", "STIRPELLO.EXE"}) {
        TProcessList list = FindProcesses(name);
        ASSERT_EQ(list.Count(), 1) << name;  // not MyStirpello.exe, not Stirpello.exe.bak
        EXPECT_EQ(list.Items(0).ProcessID, stirpello_);
        EXPECT_TRUE(SameText(list.Items(0).ExePath, StirpelloExe())) << list.Items(0).ExePath;
    }
    // The near-misses do run: they were left out by name, not by accident.
    EXPECT_EQ(FindProcesses("MyStirpello.exe").Count(), 1);
    EXPECT_EQ(FindProcesses("Stirpello.exe.bak").Count(), 1);
}

TEST_F(Processes, FullPathsCompareWholeAfterNormalising) {
    EXPECT_EQ(Pids(FindProcesses(StirpelloExe())), std::vector<DWORD>{stirpello_});
    EXPECT_EQ(Pids(FindProcesses(StirpelloExe() + "\\")), std::vector<DWORD>{stirpello_});
    EXPECT_EQ(FindProcesses(dir_->Path() + "Stirpello.exe").Count(), 0);  // other folder

    char shortPath[MAX_PATH] = {};
    ASSERT_NE(GetShortPathNameA(StirpelloExe().c_str(), shortPath, MAX_PATH), 0u);
    ASSERT_NE(std::string(shortPath).find('~'), std::string::npos) << shortPath;
    EXPECT_EQ(Pids(FindProcesses(shortPath)), std::vector<DWORD>{stirpello_}) << shortPath;
}

TEST_F(Processes, TwoInstancesComeInTheSystemsOrder) {
    TProcessList tmg = FindProcesses("TMG.exe");
    ASSERT_EQ(tmg.Count(), 2);
    std::vector<DWORD> all = Pids(FindProcesses("*"));
    auto pos = [&](DWORD pid) { return std::find(all.begin(), all.end(), pid) - all.begin(); };
    EXPECT_LT(pos(tmg.Items(0).ProcessID), pos(tmg.Items(1).ProcessID));
    std::vector<DWORD> got = Pids(tmg);
    std::sort(got.begin(), got.end());
    std::vector<DWORD> want{tmg1_, tmg2_};
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
    EXPECT_TRUE(SameText(tmg.Items(1).ExePath, dir_->Path() + "tmg\\TMG.exe"));
}

TEST_F(Processes, WildcardsListEveryProcessTheCallerIncluded) {
    for (const char* name : {"", "*", "*.*"}) {
        TProcessList list = FindProcesses(name);
        bool self = false;
        for (int i = 0; i < list.Count(); ++i)
            if (list.Items(i).ProcessID == GetCurrentProcessId()) {
                self = true;
                EXPECT_TRUE(SameText(list.Items(i).ExePath, OwnPath())) << list.Items(i).ExePath;
            }
        EXPECT_TRUE(self) << name;
        EXPECT_GE(list.Count(), 8) << name;  // the stubs, the caller, Wine's services
    }
}

// Wine's own services are 64-bit: a 32-bit build cannot read their loader
// data (as on 64-bit Windows), yet both builds name their full path.
TEST_F(Processes, ProcessesOfEitherBitnessGiveTheirFullPath) {
    TProcessList list = FindProcesses("services.exe");
    ASSERT_GE(list.Count(), 1);
    std::string path = list.Items(0).ExePath;
    EXPECT_TRUE(path.size() > 14 && SameText(path.substr(path.size() - 13), "\\services.exe") &&
                path[1] == ':')
        << path;
    EXPECT_NE(list.Items(0).ProcessID, 0u);
    // The idle process has no image: it keeps the name the system gives it.
    TProcessList idle = FindProcesses("[System Process]");
    if (idle.Count() > 0) {
        EXPECT_EQ(idle.Items(0).ExePath, "[System Process]");
    }
}

TEST_F(Processes, ToolhelpListingFindsTheSameProcesses) {
    TProcessList list = FindProcesses("stirpello.exe", TProcessSource::Toolhelp);
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(list.Items(0).ProcessID, stirpello_);
    EXPECT_EQ(FindProcesses("TMG.exe", TProcessSource::Toolhelp).Count(), 2);
}

TEST_F(Processes, ModulesOfOtherProcessesAreFound) {
    for (TProcessSource source : {TProcessSource::System, TProcessSource::Toolhelp}) {
        TModuleList list = FindLoadedModules("spexec.DLL", source);
        ASSERT_EQ(list.Count(), 2);
        std::vector<DWORD> owners;
        for (int i = 0; i < 2; ++i) {
            TModuleEntry m = list.Items(i);
            EXPECT_TRUE(SameText(m.FileName, SPExecPath())) << m.FileName;
            EXPECT_NE(m.ModuleHandle, 0u);
            EXPECT_TRUE(SameText(m.Process.ExePath, dir_->Path() + "Host.exe") ||
                        SameText(m.Process.ExePath, "Host.exe"));
            owners.push_back(m.Process.ProcessID);
        }
        std::sort(owners.begin(), owners.end());
        std::vector<DWORD> want{host1_, host2_};
        std::sort(want.begin(), want.end());
        EXPECT_EQ(owners, want);
    }
    EXPECT_EQ(FindLoadedModules(SPExecPath()).Count(), 2);
    EXPECT_EQ(FindLoadedModules(dir_->Path() + "tmg\\SPExec.dll").Count(), 0);
    EXPECT_EQ(FindLoadedModules("SPExec.dll.old").Count(), 0);
}

TEST_F(Processes, ModulesOfTheCallingProcessCountToo) {
    HMODULE own = LoadLibraryA(SPExecPath().c_str());
    ASSERT_NE(own, nullptr);
    TModuleList list = FindLoadedModules("SPExec.dll");
    FreeLibrary(own);
    ASSERT_EQ(list.Count(), 3);
    bool self = false;
    for (int i = 0; i < list.Count(); ++i)
        if (list.Items(i).Process.ProcessID == GetCurrentProcessId()) {
            self = true;
            EXPECT_EQ(list.Items(i).ModuleHandle, reinterpret_cast<uintptr_t>(own));
        }
    EXPECT_TRUE(self);
    // The executable itself is the first module of its own list.
    TModuleList exe = FindLoadedModules(OwnPath());
    ASSERT_EQ(exe.Count(), 1);
    EXPECT_EQ(exe.Items(0).ModuleHandle, reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr)));
}
