// The main window's side of the elevated step, with a starter in place of
// Windows' prompt.
#include "app/ElevatedWrites_win32.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string OwnExe() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return std::string(path, n);
}

}  // namespace

// Between the box that explains the prompt and the prompt itself, this
// program cannot be renamed or replaced: the prompt asks for this one.
TEST(ElevatedWrites, TheProgramIsHeldFromTheBoxToThePrompt) {
    TRunLog log;
    const std::string exe = OwnExe(), moved = exe + ".moved";
    std::vector<std::string> boxes;
    bool renamedAtBox = true, renamedAtPrompt = true;
    auto tryRename = [&] {
        if (!MoveFileA(exe.c_str(), moved.c_str())) return false;
        MoveFileA(moved.c_str(), exe.c_str());
        return true;
    };
    TElevatedWrites writes(
        log,
        [&](const std::string& text) {
            if (boxes.empty()) renamedAtBox = tryRename();
            boxes.push_back(text);
        },
        nullptr,
        [&](const std::wstring& path, const std::wstring&, DWORD* error) -> HANDLE {
            EXPECT_EQ(std::string(path.begin(), path.end()), exe);
            renamedAtPrompt = tryRename();
            *error = ERROR_CANCELLED;
            return nullptr;
        });
    TStepOutcome outcome = writes.Write(TStepWrite::RemovePostponingKeys, "C:\\Program Files\\Stirpello\\", "");
    EXPECT_FALSE(outcome.Done);
    EXPECT_EQ(outcome.Reason, "The request for administrator rights was declined");
    EXPECT_FALSE(renamedAtBox);
    EXPECT_FALSE(renamedAtPrompt);
    ASSERT_EQ(boxes.size(), 2u);  // the reason, then the refusal
    EXPECT_EQ(writes.Starts(), 1);
    // Held no longer.
    EXPECT_TRUE(tryRename());
}
