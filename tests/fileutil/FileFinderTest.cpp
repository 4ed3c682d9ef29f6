#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <utility>

#include "fileutil/Errors.h"
#include "fileutil/FileFinder.h"
#include "tests/support/TestSupport.h"

using testsupport::TScratchDir;
using testsupport::WriteFile;

namespace {

// Runs a finder and returns (folder, name) of every entry reported.
std::set<std::pair<std::string, std::string>> Found(TFileFinder& f) {
    std::set<std::pair<std::string, std::string>> seen;
    f.OnFound = [&](const std::string& folder, const TSearchRec& e) { seen.insert({folder, e.Name}); };
    f.Execute();
    return seen;
}

}  // namespace

TEST(FileFinder, MaskSelectsShortcutsWithoutDescending) {
    TScratchDir dir("finder-desktop");
    std::string root = dir.Path().substr(0, dir.Path().size() - 1);
    WriteFile(dir / "Stirpello.lnk", "a");
    WriteFile(dir / "Stirpello Update.lnk", "b");
    WriteFile(dir / "Notes.txt", "c");
    CreateDirectoryA((dir / "stirpello stuff").c_str(), nullptr);
    WriteFile(dir / "stirpello stuff\\Stirpello inner.lnk", "d");

    TFileFinder f;
    f.RootDir = root;
    f.Mask = "*stirpello*.*";
    f.Recursive = false;
    auto seen = Found(f);
    std::set<std::pair<std::string, std::string>> want = {{root, "Stirpello.lnk"}, {root, "Stirpello Update.lnk"}};
    EXPECT_EQ(seen, want);
}

TEST(FileFinder, DescendsOnlyIntoFoldersWhoseAttributesAreExactlyDirectory) {
    TScratchDir dir("finder-tree");
    std::string root = dir.Path().substr(0, dir.Path().size() - 1);
    WriteFile(dir / "top.txt", "a");
    CreateDirectoryA((dir / "Sub").c_str(), nullptr);
    WriteFile(dir / "Sub\\inner.txt", "b");
    // Wine keeps hidden and system on folders but drops archive and read-only,
    // so a hidden folder (18) stands for every folder with an extra attribute.
    CreateDirectoryA((dir / "Hidden").c_str(), nullptr);
    WriteFile(dir / "Hidden\\tucked-away.txt", "c");
    ASSERT_TRUE(SetFileAttributesA((dir / "Hidden").c_str(), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN));
    ASSERT_EQ(GetFileAttributesA((dir / "Hidden").c_str()), 18u);

    TFileFinder f;
    f.RootDir = root;
    auto seen = Found(f);
    std::set<std::pair<std::string, std::string>> want = {
        {root, "top.txt"}, {root + "\\Sub", "inner.txt"}, {root, "Hidden"}};
    EXPECT_EQ(seen, want);
}

TEST(FileFinder, ErrorInCallbackEndsTheSearch) {
    TScratchDir dir("finder-error");
    for (const char* n : {"a.txt", "b.txt", "c.txt"}) WriteFile(dir / n, "x");
    TFileFinder f;
    f.RootDir = dir.Path().substr(0, dir.Path().size() - 1);
    int calls = 0;
    f.OnFound = [&](const std::string&, const TSearchRec&) {
        ++calls;
        throw EError("stop");
    };
    EXPECT_THROW(f.Execute(), EError);
    EXPECT_EQ(calls, 1);
}

TEST(FileFinder, MissingFolderAndNoCallbackFindNothing) {
    TFileFinder f;
    f.RootDir = "C:\\no\\such\\folder";
    EXPECT_TRUE(Found(f).empty());
    TFileFinder idle;  // defaults: C:\ and *.*, but nothing to call
    EXPECT_EQ(idle.RootDir, "C:\\");
    EXPECT_EQ(idle.Mask, "*.*");
    EXPECT_TRUE(idle.Recursive);
    idle.Execute();
}
