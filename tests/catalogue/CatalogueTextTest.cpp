#include "tools/updcat/CatalogueText.h"

#include <gtest/gtest.h>

#include "catalogue/Inflate.h"
#include "catalogue/SoftwareUpdateList.h"
#include "tests/catalogue/Hex.h"

using catfix::Hex;

namespace {

// The bytes a lone top-level value compiles to: the default intro, header,
// counts and then the value.
const std::string kEmptyHead = Hex("02 00 02 64 06 00 02 00 02 00");

std::string ValueBytes(const std::string& value) {
    std::string all = CompileCatalogue("value " + value);
    EXPECT_EQ(all.substr(0, kEmptyHead.size()), kEmptyHead);
    return all.substr(kEmptyHead.size());
}

TEST(CatalogueText, EveryTagHasAForm) {
    struct Case {
        const char* source;
        const char* bytes;
    } cases[] = {
        {"null", "00"},
        {"list [ 1 list [ ] ]", "01 02 01 01 00 00"},
        {"-1", "02 FF"},
        {"20305", "03 51 4F"},
        {"0x10000", "04 00 00 01 00"},
        {"5000000000", "13 00 F2 05 2A 01 00 00 00"},
        {"int8 5", "02 05"},
        {"int16 5", "03 05 00"},
        {"int32 -2", "04 FE FF FF FF"},
        {"int64 1", "13 01 00 00 00 00 00 00 00"},
        {"extended 0102030405060708090A", "05 01 02 03 04 05 06 07 08 09 0A"},
        {"\"I00\"", "06 03 49 30 30"},
        {"\"a\\\"\\\\\\x00\\n\"", "06 05 61 22 5C 00 0A"},
        {"short \"\"", "06 00"},
        {"ident \"Ab\"", "07 02 41 62"},
        {"false", "08"},
        {"true", "09"},
        {"bytes \"\\x01\\xFF\"", "0A 02 00 00 00 01 FF"},
        {"set [ a \"b c\" ]", "0B 01 61 03 62 20 63 00"},
        {"long \"ab\"", "0C 02 00 00 00 61 62"},
        {"nil", "0D"},
        {"collection [ item { N 1 } item 3 { } ]", "0E 01 01 4E 02 01 00 02 03 01 00 00"},
        {"single 1", "0F 00 00 80 3F"},
        {"currency 15000", "10 98 3A 00 00 00 00 00 00"},
        {"date 1.5", "11 00 00 00 00 00 00 F8 3F"},
        {"1.5", "11 00 00 00 00 00 00 F8 3F"},
        {"date bits:7FF8000000000001", "11 01 00 00 00 00 00 F8 7F"},
        {"wide \"\xC3\xA9\xF0\x9F\x98\x80\"", "12 03 00 00 00 E9 00 3D D8 00 DE"},
        {"utf8 \"\xC3\xA9\"", "14 02 00 00 00 C3 A9"},
        {"raw \"15 FF\"", "15 FF"},
        {"raw 2a", "2A"},
    };
    for (const Case& c : cases) EXPECT_EQ(ValueBytes(c.source), Hex(c.bytes)) << c.source;
    EXPECT_EQ(ValueBytes("\"" + std::string(256, 'x') + "\"").substr(0, 5), Hex("0C 00 01 00 00"));
}

TEST(CatalogueText, RecordsCountsAndOverrides) {
    std::string src =
        "catalogue 3 150\n"
        "header \"H\"\n"
        "class \"M/1/\"\n"
        "records 9           # a count that does not match\n"
        "record exact 120\n"
        "  I01 5\n"
        "  value nil         # a loose value inside the record\n"
        "  \"<SU>\" 1\n"
        "end\n"
        "record\n"
        "  marker none\n"
        "  id wide \"I00\"\n"
        "  S12 \"Q\"\n"
        "  X99 list [ ]\n"
        "end\n"
        "truncate 68\n";
    std::string want = Hex("02 03 03 96 00 06 01 48 02 01 06 04 4D 2F 31 2F 02 09"
                           "06 04 3C 53 55 3E 06 03 49 30 30 02 78 06 03 49 30 31 02 05 0D 06 04 3C 53 55 3E 02 01"
                           "12 03 00 00 00 49 00 30 00 30 00 02 64 06 03 53 31 32 06 01 51");
    EXPECT_EQ(CompileCatalogue(src), want);
    // The second record is completed with the standard codes it does not name.
    std::string full = CompileCatalogue(src.substr(0, src.find("truncate")));
    EXPECT_NE(full.find(Hex("06 03 58 39 39 01 00 06 03 49 30 31 02 00 06 03 53 30 32 06 00")), std::string::npos);
    const std::string lastPair = Hex("06 03 53 31 31 06 00");  // S11 "", and no second S12
    EXPECT_EQ(full.substr(full.size() - lastPair.size()), lastPair);
}

TEST(CatalogueText, MistakesNameTheirLine) {
    struct Case {
        const char* source;
        const char* message;
    } cases[] = {
        {"record\n  I01 20310\n", "line 1: record without 'end'"},
        {"header \"a\n", "line 1: unterminated string"},
        {"\n\nheader R", "line 3: unknown value 'R'"},
        {"value int8 300", "line 1: integer out of range: 300"},
        {"value short \"\\q\"", "line 1: unknown escape \\q"},
        {"value raw 123", "line 1: odd number of hex digits"},
        {"value list [ 1", "line 1: expected ']' at the end of the source"},
        {"bogus 1", "line 1: unknown statement 'bogus'"},
        {"value wide \"\xFF\"", "line 1: a wide string's text must be UTF-8"},
    };
    for (const Case& c : cases) {
        try {
            CompileCatalogue(c.source);
            ADD_FAILURE() << "compiled: " << c.source;
        } catch (const ESourceError& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

TEST(CatalogueText, BuildDumpBuildGivesTheSameBytes) {
    const std::string source =
        "catalogue -4 199\n"
        "header \"Stirpello \\\"updates\\\" \\xE9\\x01\"\n"
        "class \"M/20304/20305/\"\n"
        "class \"\"\n"
        "record\n"
        "  I01 2147483647\n  S02 \"zz\"\n  S03 \"R\"\n  D04 date 45123.123456789012\n"
        "  S05 \"" + std::string(400, 'L') + "\"\n  S06 \"\\\\\"\n  I07 -2147483648\n  I08 300\n"
        "  S09 \"\\x00\\xFF\"\n  S10 \"ten\"\n  S11 \"20304 20305\"\n  S12 \"MQ\"\n"
        "end\n"
        "record\n"
        "  I01 20305\n  S02 \"\"\n  S03 \"B\"\n  D04 date bits:FFF8000000000123\n"
        "  S05 \"\"\n  S06 \"\"\n  I07 0\n  I08 -1\n  S09 \"\"\n  S10 \"\"\n  S11 \"\"\n  S12 \"\"\n"
        "end\n"
        "record\n"
        "  I01 -20\n  S02 \"\"\n  S03 \"\"\n  D04 date -0\n"
        "  S05 \"\"\n  S06 \"\"\n  I07 0\n  I08 0\n  S09 \"\"\n  S10 \"\"\n  S11 \"\"\n  S12 \"\"\n"
        "end\n";
    std::string first = CompileCatalogue(source);
    TSoftwareUpdateList list;
    list.LoadFromString(Deflate(first));
    ASSERT_EQ(list.Count(), 3);
    int32_t intro = 0, format = 0;
    ReadCatalogueIntro(Deflate(first), intro, format);
    std::string dumped = DumpCatalogue(intro, format, list);
    std::string second = CompileCatalogue(dumped);
    EXPECT_EQ(second, first);
    TSoftwareUpdateList again;
    again.LoadFromString(Deflate(second));
    EXPECT_EQ(DumpCatalogue(intro, format, again), dumped);
}

TEST(CatalogueText, SelectionReport) {
    TSoftwareUpdateList list;
    list.LoadFromString(Deflate(CompileCatalogue(
        "record\n I01 20310\n S03 \"B\"\n S02 \"k\"\nend\n"
        "record\n I01 20400\n S03 \"R\"\n S12 \"MQ\"\n S11 \"20304\"\nend\n")));
    list.SelectFor(20304);
    EXPECT_EQ(SelectionReport(list),
              "20400 [R] order \"\" from \"20304\" classes \"MQ\"\n"
              "latest 20400, newest is major: yes\n");
    TSoftwareUpdateList empty;
    EXPECT_EQ(SelectionReport(empty), "latest 0, newest is major: no\n");
}

}  // namespace
