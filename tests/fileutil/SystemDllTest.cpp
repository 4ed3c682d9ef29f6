#include <windows.h>
#include <commdlg.h>

#include <gtest/gtest.h>

#include <string>

#include "fileutil/Errors.h"
#include "fileutil/SystemDll_win32.h"

namespace {

std::string Lower(std::string s) {
    CharLowerBuffA(&s[0], static_cast<DWORD>(s.size()));
    return s;
}

}  // namespace

// The test program does not import comdlg32: the first use loads it, from the
// system folder, and the typed address is callable.
TEST(SystemDll, LoadsOnFirstUseFromTheSystemFolder) {
    ASSERT_EQ(GetModuleHandleA("comdlg32.dll"), nullptr);
    auto extendedError = SystemDllFunction<decltype(&CommDlgExtendedError)>("comdlg32.dll", "CommDlgExtendedError");
    EXPECT_EQ(extendedError(), 0u);

    HMODULE module = GetModuleHandleA("comdlg32.dll");
    ASSERT_NE(module, nullptr);
    char path[MAX_PATH] = {}, system[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameA(module, path, MAX_PATH), 0u);
    ASSERT_GT(GetSystemDirectoryA(system, MAX_PATH), 0u);
    EXPECT_EQ(Lower(path), Lower(std::string(system) + "\\comdlg32.dll"));
    EXPECT_EQ(SystemDllProc("comdlg32.dll", "CommDlgExtendedError"), GetProcAddress(module, "CommDlgExtendedError"));
}

TEST(SystemDll, MissingDllOrFunctionIsAnOSErrorNamingIt) {
    struct TCase {
        const char* dll;
        const char* name;
        const char* mentioned;
    };
    for (const TCase& c : {TCase{"stirpello_no_such.dll", "Anything", "stirpello_no_such.dll"},
                           TCase{"comdlg32.dll", "NoSuchFunctionA", "NoSuchFunctionA"}}) {
        try {
            SystemDllProc(c.dll, c.name);
            ADD_FAILURE() << c.dll << " " << c.name << " was found";
        } catch (const EOSError& e) {
            EXPECT_NE(std::string(e.what()).find(c.mentioned), std::string::npos) << e.what();
            EXPECT_NE(e.Code, 0u) << e.what();
        }
    }
}
