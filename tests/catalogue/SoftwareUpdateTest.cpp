#include "catalogue/SoftwareUpdate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <utility>

#include "catalogue/Reader.h"
#include "catalogue/Writer.h"
#include "fileutil/Errors.h"
#include "tests/catalogue/Hex.h"

using catfix::Hex;

namespace {

using WriteValue = std::function<void(TWriter&)>;
using Pair = std::pair<std::string, WriteValue>;

WriteValue Int(int64_t v) { return [v](TWriter& w) { w.WriteInteger(v); }; }
WriteValue Str(const std::string& s) { return [s](TWriter& w) { w.WriteString(s); }; }
WriteValue Date(double d) { return [d](TWriter& w) { w.WriteDate(d); }; }

std::vector<Pair> TwelvePairs() {
    return {{"I01", Int(20310)},      {"S02", Str("b")},       {"S03", Str("R")},
            {"D04", Date(45123.25)},  {"S05", Str("five")},    {"S06", Str("six")},
            {"I07", Int(-7)},         {"I08", Int(80000)},     {"S09", Str("nine")},
            {"S10", Str(std::string(300, 'x'))}, {"S11", Str("20304 20305")}, {"S12", Str("MQ")}};
}

// A record with the pairs given and a sentinel byte after it.
std::string Record(const std::vector<Pair>& pairs, int32_t format = 100, const std::string& id = "I00") {
    TWriter w;
    w.WriteString(id);
    w.WriteInteger(format);
    for (const Pair& p : pairs) {
        w.WriteString(p.first);
        p.second(w);
    }
    w.WriteTag(0x2A);
    return w.Bytes();
}

struct Loaded {
    TSoftwareUpdate update;
    std::string failure;  // "" when the record loaded
    bool atSentinel = false;
};

Loaded Load(const std::string& bytes) {
    Loaded out;
    TStringStream s(bytes);
    TReader r(s);
    try {
        out.update.LoadFromReader(r);
        out.atSentinel = r.NextTag() == 0x2A;
    } catch (const EError& e) {
        out.failure = e.what();
    }
    return out;
}

TSoftwareUpdate Expected() {
    TSoftwareUpdate u;
    u.SetVersion(20310);
    u.SetOrderKey("b");
    u.SetKind("R");
    u.SetDate(45123.25);
    u.SetText05("five");
    u.SetText06("six");
    u.SetNumber07(-7);
    u.SetNumber08(80000);
    u.SetText09("nine");
    u.SetText10(std::string(300, 'x'));
    u.SetFromVersions("20304 20305");
    u.SetClassLetters("MQ");
    return u;
}

TEST(SoftwareUpdate, ReadsTwelvePairsInAnyOrder) {
    std::vector<Pair> pairs = TwelvePairs();
    Loaded inOrder = Load(Record(pairs));
    EXPECT_EQ(inOrder.failure, "");
    EXPECT_TRUE(inOrder.update == Expected());
    EXPECT_TRUE(inOrder.atSentinel);

    std::reverse(pairs.begin(), pairs.end());
    std::rotate(pairs.begin(), pairs.begin() + 5, pairs.end());
    Loaded shuffled = Load(Record(pairs));
    EXPECT_TRUE(shuffled.update == Expected());
    EXPECT_TRUE(shuffled.atSentinel);
}

TEST(SoftwareUpdate, LaterPairWinsAndExactlyTwelveAreRead) {
    std::vector<Pair> pairs = TwelvePairs();
    pairs[8] = {"I01", Int(20400)};  // I01 twice, S09 never
    pairs.push_back({"S09", Str("thirteenth pair")});
    Loaded l = Load(Record(pairs));
    EXPECT_EQ(l.failure, "");
    EXPECT_EQ(l.update.Version(), 20400);
    EXPECT_EQ(l.update.Text09(), "");
    TStringStream s(Record(pairs));
    TReader r(s);
    l.update.LoadFromReader(r);
    EXPECT_EQ(r.ReadString(), "S09");  // the thirteenth pair is left on the stream
}

TEST(SoftwareUpdate, UnknownCodesHaveTheirWholeValueSkipped) {
    std::vector<Pair> pairs = TwelvePairs();
    pairs[4] = {"X99", [](TWriter& w) { w.WriteRaw(Hex("01 02 05 01 06 03 49 30 31 00 00")); }};
    pairs[5] = {"i01", [](TWriter& w) { w.WriteSet({"a", "b"}); }};
    pairs[8] = {"s09", [](TWriter& w) { w.WriteRaw(Hex("0E 01 01 4C 06 03 53 30 39 00 00")); }};
    Loaded l = Load(Record(pairs));
    EXPECT_EQ(l.failure, "");
    EXPECT_TRUE(l.atSentinel);
    TSoftwareUpdate want = Expected();
    want.SetText05("");
    want.SetText06("");
    want.SetText09("");
    EXPECT_TRUE(l.update == want);
}

TEST(SoftwareUpdate, CodeStraddlingTwoSlotsBelongsToTheFirst) {
    struct Case {
        const char* code;
        WriteValue value;
        std::function<bool(const TSoftwareUpdate&)> check;
    } cases[] = {
        {"1S0", Int(777), [](const TSoftwareUpdate& u) { return u.Version() == 777; }},
        {"01S", Int(778), [](const TSoftwareUpdate& u) { return u.Version() == 778; }},
        {"3D0", Str("K"), [](const TSoftwareUpdate& u) { return u.Kind() == "K"; }},
        {"S1", Str("?"), nullptr},  // two characters: SU02
    };
    for (const Case& c : cases) {
        std::vector<Pair> pairs = TwelvePairs();
        pairs[11] = {c.code, c.value};
        Loaded l = Load(Record(pairs));
        if (c.check) {
            EXPECT_EQ(l.failure, "") << c.code;
            EXPECT_TRUE(c.check(l.update)) << c.code;
        } else {
            EXPECT_EQ(l.failure, "SU02-2 - Invalid software update stream");
        }
    }
}

TEST(SoftwareUpdate, HeaderAndCodeFailures) {
    std::vector<Pair> marker = TwelvePairs();
    marker[3] = {"<SU>", Str("x")};
    std::vector<Pair> empty = TwelvePairs();
    empty[0] = {"", Int(1)};
    struct Case {
        std::string bytes;
        std::string failure;
    } cases[] = {
        {Record(TwelvePairs(), 100, "I0O"), "SU00 - Invalid software update stream"},
        {Record(TwelvePairs(), 100, "i00"), "SU00 - Invalid software update stream"},
        {Record(TwelvePairs(), 199), ""},
        {Record(TwelvePairs(), 0), ""},
        {Record(TwelvePairs(), -5), ""},
        {Record(TwelvePairs(), 200), "You need a newer version of Stirpello for this function (SU01-200)"},
        {Record(TwelvePairs(), 70000), "You need a newer version of Stirpello for this function (SU01-70000)"},
        {Record(marker), "SU02-4 - Invalid software update stream"},
        {Record(empty), "SU02-0 - Invalid software update stream"},
        // the record id in a long, wide or UTF-8 string is still "I00"
        {Hex("0C 03 00 00 00 49 30 30") + Record(TwelvePairs()).substr(5), ""},
        {Hex("12 03 00 00 00 49 00 30 00 30 00") + Record(TwelvePairs()).substr(5), ""},
        {Hex("14 03 00 00 00 49 30 30") + Record(TwelvePairs()).substr(5), ""},
        {Hex("07 03 49 30 30") + Record(TwelvePairs()).substr(5), "Invalid property value"},
        {Record(TwelvePairs()).substr(0, 40), "Stream read error"},
    };
    for (const Case& c : cases) EXPECT_EQ(Load(c.bytes).failure, c.failure) << c.failure;
}

TEST(SoftwareUpdate, ValuesInAnyAcceptedEncodingReadTheSame) {
    struct Case {
        const char* slot;
        const char* bytes;
        std::function<bool(const TSoftwareUpdate&)> check;
    } cases[] = {
        {"I01", "02 FF", [](const TSoftwareUpdate& u) { return u.Version() == -1; }},
        {"I01", "03 51 4F", [](const TSoftwareUpdate& u) { return u.Version() == 20305; }},
        {"I01", "04 51 4F 00 00", [](const TSoftwareUpdate& u) { return u.Version() == 20305; }},
        {"I07", "02 05", [](const TSoftwareUpdate& u) { return u.Number07() == 5; }},
        {"I07", "04 05 00 00 00", [](const TSoftwareUpdate& u) { return u.Number07() == 5; }},
        {"S03", "0C 01 00 00 00 57", [](const TSoftwareUpdate& u) { return u.Kind() == "W"; }},
        {"S03", "12 01 00 00 00 57 00", [](const TSoftwareUpdate& u) { return u.Kind() == "W"; }},
        {"S03", "14 01 00 00 00 57", [](const TSoftwareUpdate& u) { return u.Kind() == "W"; }},
        {"S12", "12 02 00 00 00 4D 00 E9 00", [](const TSoftwareUpdate& u) { return u.ClassLetters() == "M\xE9"; }},
        {"D04", "02 03", [](const TSoftwareUpdate& u) { return u.Date() == 3.0; }},
        {"D04", "13 00 00 00 00 01 00 00 00", [](const TSoftwareUpdate& u) { return u.Date() == 4294967296.0; }},
    };
    for (const Case& c : cases) {
        std::vector<Pair> pairs = TwelvePairs();
        std::string bytes = Hex(c.bytes);
        pairs.push_back({c.slot, [bytes](TWriter& w) { w.WriteRaw(bytes); }});
        pairs.erase(pairs.begin() + 1);  // keep twelve pairs: drop S02
        Loaded l = Load(Record(pairs));
        EXPECT_EQ(l.failure, "") << c.slot << " " << c.bytes;
        EXPECT_TRUE(c.check(l.update)) << c.slot << " " << c.bytes;
    }
}

TEST(SoftwareUpdate, WrongValueTypeFailsAndKeepsEarlierFields) {
    std::vector<Pair> pairs = TwelvePairs();
    pairs[2] = {"S03", Int(4)};
    Loaded l = Load(Record(pairs));
    EXPECT_EQ(l.failure, "Invalid property value");
    EXPECT_EQ(l.update.Version(), 20310);
    EXPECT_EQ(l.update.OrderKey(), "b");
    EXPECT_EQ(l.update.Kind(), "");
    pairs[2] = {"S03", Str("R")};
    pairs[0] = {"I01", Str("20310")};
    EXPECT_EQ(Load(Record(pairs)).failure, "Invalid property value");
}

TEST(SoftwareUpdate, KindRankAndIsMajor) {
    struct Case {
        const char* kind;
        int rank;
        bool major;
    } cases[] = {
        {"B", 1, false}, {"W", 2, false}, {"S", 3, false}, {"R", 4, true}, {"X", 0, false},
        {"", 0, false},  {"SR", 3, false}, {"BWSR", 1, false}, {"RR", 0, false}, {"r", 0, false},
    };
    for (const Case& c : cases) {
        TSoftwareUpdate u;
        u.SetKind(c.kind);
        EXPECT_EQ(u.KindRank(), c.rank) << c.kind;
        EXPECT_EQ(u.IsMajor(), c.major) << c.kind;
    }
}

}  // namespace
