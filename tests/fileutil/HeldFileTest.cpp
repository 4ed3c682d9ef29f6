// Files held for a moment by another program, as security software does
// with fresh executables: the wait, its log lines and its bound.
#include "fileutil/HeldFile.h"

#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/StandInScanner_win32.h"
#include "tests/support/TestSupport.h"

using testsupport::TScratchDir;

namespace {

uint32_t DeleteAttempt(const std::string& path) {
    return DeleteFileA(path.c_str()) ? 0u : static_cast<uint32_t>(GetLastError());
}

}  // namespace

TEST(HeldFile, AFileTheScannerHoldsIsWaitedForThenDeleted) {
    TScratchDir dir("heldfile_wait");
    testsupport::TStandInScanner scanner(dir.Path(), 700, {".exe"});
    std::string path = dir / "Stirpello.exe";
    testsupport::WriteFile(path, "MZ module");
    for (int i = 0; i < 200 && scanner.Holds() == 0; ++i) Sleep(5);
    ASSERT_EQ(scanner.Holds(), 1) << "the scanner never got hold of the file";

    std::vector<std::string> notes;
    uint32_t result = RetryWhileHeld([&] { return DeleteAttempt(path); }, path,
                                     [&](const std::string& n) { notes.push_back(n); }, 10000);
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].rfind(path + " is in use by another program (", 0), 0u) << notes[0];
}

TEST(HeldFile, AFileHeldPastTheBoundGivesUpWithTheSystemsReason) {
    TScratchDir dir("heldfile_bound");
    std::string path = dir / "Stirpello.exe";
    testsupport::WriteFile(path, "MZ module");
    HANDLE holder = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    std::vector<std::string> notes;
    uint32_t result = RetryWhileHeld([&] { return DeleteAttempt(path); }, path,
                                     [&](const std::string& n) { notes.push_back(n); }, 300);
    CloseHandle(holder);
    EXPECT_TRUE(IsHeldFileError(result)) << result;
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_NE(notes[0].find(" is in use by another program ("), std::string::npos);
    EXPECT_EQ(notes[1].rfind(path + " is still in use by another program (", 0), 0u) << notes[1];
    EXPECT_NE(notes[1].find(", giving up"), std::string::npos);
    EXPECT_NE(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES) << "nothing was lost";
}

TEST(HeldFile, OtherFailuresAreFinalAtOnce) {
    TScratchDir dir("heldfile_other");
    std::vector<std::string> notes;
    uint32_t result = RetryWhileHeld([&] { return DeleteAttempt(dir / "missing.exe"); },
                                     dir / "missing.exe",
                                     [&](const std::string& n) { notes.push_back(n); }, 10000);
    EXPECT_EQ(result, static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(notes.empty());
}
