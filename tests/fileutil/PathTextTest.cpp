// Backslash tests on double-byte path text: the same cases natively (the
// built-in lead-byte ranges) and under Wine (Windows' own answer).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "fileutil/PathText.h"

namespace {

// Shift-JIS (cp932): 年 94 4E, 表 95 5C, ソ 83 5C, 能 94 5C. Big5 (cp950): 許 B3 5C.
const std::string kYear = "\x94\x4E", kTable = "\x95\x5C", kSo = "\x83\x5C", kNou = "\x94\x5C";
const std::string kKyo = "\xB3\x5C";

TEST(PathText, OnlyAWholeBackslashCharacterEndsThePath) {
    const struct {
        const char* name;
        std::string text;
        unsigned codePage;
        bool ends;
    } cases[] = {
        {"empty", "", 932, false},
        {"plain folder", "C:\\Apps", 932, false},
        {"plain folder with slash", "C:\\Apps\\", 932, true},
        {"root", "\\", 932, true},
        {"year table", "D:\\Apps\\" + kYear + kTable, 932, false},
        {"year table with slash", "D:\\Apps\\" + kYear + kTable + "\\", 932, true},
        {"katakana so", "D:\\" + kSo, 932, false},
        {"nou", "D:\\" + kNou, 932, false},
        // The byte before the 5C is a trail byte here (81 81 is one
        // character), so the 5C stands alone: a look at the last two bytes
        // alone cannot tell this from the cases above.
        {"backslash after a pair", "D:\\\x81\x81\\", 932, true},
        {"trail 5C then backslash", "D:\\" + kTable + "\\", 932, true},
        {"lone lead byte at the end", "D:\\\x95", 932, false},
        {"kyo in Big5", "D:\\" + kKyo, 950, false},
        {"kyo in Big5 with slash", "D:\\" + kKyo + "\\", 950, true},
        {"GBK pair", "D:\\\x81\x5C", 936, false},
        // In a single-byte code page every 5C is a backslash.
        {"same bytes in Western", "D:\\Apps\\" + kYear + kTable, 1252, true},
        {"kyo in Western", "D:\\" + kKyo, 1252, true},
    };
    for (const auto& c : cases) EXPECT_EQ(EndsWithBackslash(c.text, c.codePage), c.ends) << c.name;
}

// Where a path's file name starts: a 5C trail byte inside a folder or file
// name is no separator ("表Stirpello.exe" is not "Stirpello.exe").
TEST(PathText, LastSeparatorIsAWholeCharacter) {
    const struct {
        const char* name;
        std::string text;
        const char* separators;
        unsigned codePage;
        size_t at;
    } cases[] = {
        {"empty", "", "\\:", 932, std::string::npos},
        {"plain", "C:\\Apps\\x.exe", "\\:", 932, 7},
        {"drive only", "C:x.exe", "\\:", 932, 1},
        {"trail 5C in the name", "C:\\" + kTable + "Stirpello.exe", "\\:", 932, 2},
        {"trail 5C then separator", "C:\\" + kTable + "\\a", "\\:", 932, 5},
        {"dot after a pair", "D:\\" + kSo + ".exe", ".\\:", 932, 5},
        {"Big5", "D:\\" + kKyo + "x", "\\/", 950, 2},
        {"same bytes in Western", "C:\\" + kTable + "Stirpello.exe", "\\:", 1252, 4},
    };
    for (const auto& c : cases) EXPECT_EQ(LastSeparator(c.text, c.separators, c.codePage), c.at) << c.name;
}

// The lead-byte ranges of the four double-byte ANSI code pages. Under Wine
// this checks Windows' answer against the table the native build carries.
TEST(PathText, LeadBytesOfTheDoubleByteCodePages) {
    const struct {
        unsigned codePage;
        int from1, to1, from2, to2;
    } pages[] = {{932, 0x81, 0x9F, 0xE0, 0xFC}, {936, 0x81, 0xFE, 0, -1}, {949, 0x81, 0xFE, 0, -1},
                 {950, 0x81, 0xFE, 0, -1},      {1252, 0, -1, 0, -1}};
    for (const auto& p : pages) {
        for (int b = 0; b < 256; ++b) {
            const bool lead = (b >= p.from1 && b <= p.to1) || (b >= p.from2 && b <= p.to2);
            EXPECT_EQ(IsLeadByte(p.codePage, static_cast<unsigned char>(b)), lead)
                << "code page " << p.codePage << ", byte " << b;
        }
    }
}

// The one-argument form reads by the system's ANSI code page. The test run
// also starts this case under a Japanese locale, naming the code page Windows
// must then report in STIRPELLO_EXPECT_ACP.
TEST(PathText, FollowsTheAnsiCodePage) {
    const std::string path = "D:\\Apps\\" + kYear + kTable;
    EXPECT_EQ(EndsWithBackslash(path), EndsWithBackslash(path, AnsiCodePage()));
    const char* expected = std::getenv("STIRPELLO_EXPECT_ACP");
    if (expected == nullptr) return;
    ASSERT_EQ(AnsiCodePage(), static_cast<unsigned>(std::atoi(expected)));
    EXPECT_FALSE(EndsWithBackslash(path));
    EXPECT_TRUE(EndsWithBackslash(path + "\\"));
}

}  // namespace
