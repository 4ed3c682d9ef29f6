#include <gtest/gtest.h>

#include "fileutil/FileVersion.h"
#include "tests/support/TestSupport.h"

namespace {

struct VersionCase {
    const char* fixture;
    const char* dotted;
    int32_t number;
    const char* shortDigits;
    const char* fullDigits;
};

// The product version of the last fixture is 7.7.7.7: the file version must win.
const VersionCase kCases[] = {
    {"ver_1_0_9_5.exe", "1.0.9.5", 10905, "109", "1095"},
    {"ver_1_4_0_0.exe", "1.4.0.0", 14000, "140", "1400"},
    {"ver_1_4_0_1.exe", "1.4.0.1", 14001, "140", "1401"},
    {"ver_10_2_3_4.exe", "10.2.3.4", 102304, "1023", "10234"},
    {"ver_1_0_9_11.exe", "1.0.9.11", 10911, "109", "10911"},
    {"ver_file_2_1_0_3_product_7_7_7_7.exe", "2.1.0.3", 21003, "210", "2103"},
};

}  // namespace

TEST(FileVersion, ReadsTheFileVersionInEveryForm) {
    for (const auto& c : kCases) {
        TrsFileVersion v;
        ASSERT_TRUE(v.ReadFromFile(testsupport::ExeDir() + c.fixture)) << c.fixture;
        EXPECT_EQ(v.DottedText(), c.dotted);
        EXPECT_EQ(v.VersionNumber(), c.number);
        EXPECT_EQ(v.ShortDigits(), c.shortDigits);
        EXPECT_EQ(v.FullDigits(), c.fullDigits);
    }
}

TEST(FileVersion, UnreadableFilesGiveZeroAndResetAnEarlierRead) {
    testsupport::TScratchDir dir("fileversion");
    testsupport::WriteFile(dir / "notes.exe", "this is text, not a program\r\n");
    const std::string paths[] = {testsupport::ExeDir() + "ver_none.exe", dir / "notes.exe",
                                 dir / "missing.exe"};
    for (const auto& path : paths) {
        TrsFileVersion v;
        ASSERT_TRUE(v.ReadFromFile(testsupport::ExeDir() + "ver_10_2_3_4.exe"));
        EXPECT_FALSE(v.ReadFromFile(path)) << path;
        EXPECT_EQ(v.DottedText(), "0.0.0.0");
        EXPECT_EQ(v.VersionNumber(), 0);
        EXPECT_EQ(v.ShortDigits(), "000");
        EXPECT_EQ(v.FullDigits(), "0000");
    }
}

TEST(FileVersion, GetFileVersionWritesOnlyThePlacesGiven) {
    uint16_t major = 99, build = 99;
    ASSERT_TRUE(TrsFileVersion::GetFileVersion(testsupport::ExeDir() + "ver_10_2_3_4.exe", &major,
                                               nullptr, nullptr, &build));
    EXPECT_EQ(major, 10);
    EXPECT_EQ(build, 4);
    major = 99;
    EXPECT_FALSE(TrsFileVersion::GetFileVersion(testsupport::ExeDir() + "ver_none.exe", &major,
                                                nullptr, nullptr, nullptr));
    EXPECT_EQ(major, 99);
}
