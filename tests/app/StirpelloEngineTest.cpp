#include "app/StirpelloEngine.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "fileutil/PathText.h"
#include "tests/app/ProcessesTestStub.h"
#include "tests/support/TestSupport.h"

using testsupport::ExeDir;
using testsupport::TScratchDir;

namespace {

void CopyFixture(const std::string& fixture, const std::string& target) {
    ASSERT_TRUE(CopyFileA((ExeDir() + fixture).c_str(), target.c_str(), FALSE))
        << fixture << " -> " << target;
}

struct EngineCase {
    const char* fixture;
    const char* dotted;
    const char* edition;  // "" = undetermined
};

// Engines padded with zeros to the size in their name (8192 otherwise), with
// or without "Sti" at offset 4120.
const EngineCase kEngines[] = {
    {"engine_1095_marked.exe", "1.0.9.5", "Complete Edition"},
    {"engine_1095_plain.exe", "1.0.9.5", "Quillmere Edition"},
    // 10704 is in the partner list: the marker does not matter.
    {"engine_1074_marked.exe", "1.0.7.4", "Quillmere Edition"},
    {"engine_1074_plain.exe", "1.0.7.4", "Quillmere Edition"},
    // Only files longer than 4128 bytes are judged, marker or not.
    {"engine_1095_4128_marked.exe", "1.0.9.5", ""},
    {"engine_1095_4129_marked.exe", "1.0.9.5", "Complete Edition"},
    // No version resource: 0.0.0.0, and [0] is no partner build.
    {"engine_nover_marked.exe", "0.0.0.0", "Complete Edition"},
};

}  // namespace

TEST(StirpelloEngine, IdentifiesVersionAndEditionOfEachEngine) {
    for (const EngineCase& c : kEngines) {
        SCOPED_TRACE(c.fixture);
        TScratchDir dir("engine");
        CopyFixture(c.fixture, dir / "SPEngine.exe");
        TStirpelloEngine engine(dir.Path(), "SPEngine.exe");
        EXPECT_TRUE(engine.Valid);
        EXPECT_EQ(engine.EnginePath, dir / "SPEngine.exe");
        ASSERT_TRUE(engine.Version);
        EXPECT_EQ(engine.Version->DottedText(), c.dotted);
        EXPECT_EQ(engine.Edition, c.edition);
        std::string tail = *c.edition ? std::string(" ") + c.edition : " edition undetermined";
        EXPECT_EQ(engine.Describe(), dir / "SPEngine.exe" + " Version " + c.dotted + tail);
    }
}

TEST(StirpelloEngine, DirectoryWithoutSlashStillFindsTheEngine) {
    TScratchDir dir("engine");
    CopyFixture("engine_1095_marked.exe", dir / "SPEngine.exe");
    std::string bare = dir.Path().substr(0, dir.Path().size() - 1);
    TStirpelloEngine engine(bare, "SPEngine.exe");
    EXPECT_EQ(engine.Directory, bare);
    EXPECT_EQ(engine.DirectoryWithSlash(), dir.Path());
    EXPECT_EQ(engine.EnginePath, dir / "SPEngine.exe");
    EXPECT_TRUE(engine.Valid);
}

// A folder named 年表 (94 4E 95 5C in cp932) ends in the byte of a backslash
// but not in a backslash. Runs in the Japanese session of the test run only.
TEST(StirpelloEngine, DoubleByteFolderWithoutSlashFindsTheEngine) {
    if (AnsiCodePage() != 932) GTEST_SKIP() << "needs ANSI code page 932, not " << AnsiCodePage();
    TScratchDir dir("engine");
    const std::string folder = dir / "\x94\x4E\x95\x5C";
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    CopyFixture("engine_1095_marked.exe", folder + "\\SPEngine.exe");
    TStirpelloEngine engine(folder, "SPEngine.exe");
    EXPECT_EQ(engine.DirectoryWithSlash(), folder + "\\");
    EXPECT_EQ(engine.EnginePath, folder + "\\SPEngine.exe");
    EXPECT_TRUE(engine.Valid);
}

TEST(StirpelloEngine, MissingEngineIsInvalid) {
    TStirpelloEngine engine("C:\\Old\\", "Stirpello.exe");
    EXPECT_FALSE(engine.Valid);
    EXPECT_TRUE(engine.EnginePath.empty());
    EXPECT_FALSE(engine.Version);
    EXPECT_EQ(engine.Describe(), "(INVALID) C:\\Old\\ -> Stirpello.exe");

    // A folder named like the engine is not one.
    TScratchDir dir("engine");
    ASSERT_TRUE(CreateDirectoryA((dir / "SPEngine.exe").c_str(), nullptr));
    EXPECT_FALSE(TStirpelloEngine(dir.Path(), "x.exe").Valid);
}

TEST(StirpelloEngine, DirectoryWithSlash) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "\\"}, {"C:\\A", "C:\\A\\"}, {"C:\\A\\", "C:\\A\\"}, {"C:", "C:\\"}};
    for (const auto& c : cases) {
        TStirpelloEngine e;
        e.Directory = c.first;
        EXPECT_EQ(e.DirectoryWithSlash(), c.second) << c.first;
    }
}

TEST(StirpelloEngine, EngineHeldOpenElsewhereHasUndeterminedEdition) {
    TScratchDir dir("engine");
    CopyFixture("engine_1095_marked.exe", dir / "SPEngine.exe");
    CopyFixture("stubproc.exe", dir / "holder.exe");
    TStubProcess holder(dir / "holder.exe", "--hold \"" + dir / "SPEngine.exe" + "\"");
    TStirpelloEngine engine(dir.Path(), "SPEngine.exe");
    EXPECT_TRUE(engine.Valid);
    EXPECT_EQ(engine.Version->DottedText(), "1.0.9.5");
    EXPECT_EQ(engine.Edition, "");
    EXPECT_EQ(engine.Describe(), dir / "SPEngine.exe" + " Version 1.0.9.5 edition undetermined");
}

TEST(EditionName, JudgesWithTheVersionTheReaderHolds) {
    TScratchDir dir("edition");
    CopyFixture("engine_1095_marked.exe", dir / "SPEngine.exe");
    TrsFileVersion v;
    ASSERT_TRUE(v.ReadFromFile(dir / "SPEngine.exe"));
    EXPECT_EQ(v.EditionName(dir / "SPEngine.exe"), "Complete Edition");
    // Every partner build number, held by the reader, turns the same file
    // into the partner edition.
    for (int32_t number : {10603, 10704, 10806, 10902, 10911}) {
        v.Major = number / 10000;
        v.Minor = number / 1000 % 10;
        v.Release = number / 100 % 10;
        v.Build = number % 100;
        EXPECT_EQ(v.EditionName(dir / "SPEngine.exe"), "Quillmere Edition") << number;
    }
    v.Build = 3;  // 1.0.9.3: a neighbour of a partner build, not one
    EXPECT_EQ(v.EditionName(dir / "SPEngine.exe"), "Complete Edition");
    EXPECT_EQ(v.EditionName(dir / "missing.exe"), "");
}
