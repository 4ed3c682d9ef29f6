#include "catalogue/SoftwareUpdateList.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <functional>

#include "catalogue/Reader.h"
#include "fileutil/Errors.h"
#include "tests/catalogue/CatalogueFixtures.h"
#include "tests/catalogue/Hex.h"

using catfix::Hex;
using catfix::Plain;
using catfix::Update;
using catfix::WriteHeader;
using catfix::Zip;

namespace {

struct Outcome {
    std::string failure;
    std::vector<int32_t> versions;  // in list order
};

Outcome LoadPlain(const std::string& plain, TSoftwareUpdateList* into = nullptr) {
    TSoftwareUpdateList own;
    TSoftwareUpdateList& list = into ? *into : own;
    Outcome out;
    try {
        list.LoadFromString(Zip(plain));
    } catch (const EError& e) {
        out.failure = e.what();
    }
    for (int i = 0; i < list.Count(); ++i) out.versions.push_back(list[i].Version());
    return out;
}

std::string Rec(int32_t version, int32_t format = 100) {
    TWriter w;
    w.WriteSoftwareUpdate(Update(version, "R"), format);
    return w.Bytes();
}

std::string Head(int32_t records, int32_t format = 100) {
    TWriter w;
    WriteHeader(w, records, {}, format);
    return w.Bytes();
}

// The record without its last pair (S12 and its value).
std::string ShortRec(int32_t version) {
    std::string r = Rec(version);
    return r.substr(0, r.size() - 6);
}

// A record whose Kind is the integer 20 (the tag of a UTF-8 string).
std::string WrongType(int32_t version) {
    std::string r = Rec(version);
    std::string kind = Hex("06 03 53 30 33 06 01 52");
    return r.replace(r.find(kind), kind.size(), Hex("06 03 53 30 33 02 14"));
}

// Pads a value stream with a long string so that what follows starts at
// decompressed offset target.
std::string PadTo(std::string bytes, size_t target) {
    size_t gap = target - bytes.size();
    TWriter w;
    w.WriteLongString(std::string(gap - 5, 'p'));
    return bytes + w.Bytes();
}

TEST(SoftwareUpdateList, LoadingRules) {
    const std::string list = Hex("01 02 05 06 02 41 42 00");
    const std::string collection = Hex("0E 01 01 4E 06 04 3C 53 55 3E 00 00");
    struct Case {
        const char* name;
        std::string plain;
        std::string failure;
        std::vector<int32_t> versions;
    } cases[] = {
        {"empty", Head(0), "", {}},
        {"negative counts", [] {
             TWriter w;
             w.WriteInteger(0), w.WriteInteger(100), w.WriteString("h"), w.WriteInteger(-1), w.WriteInteger(-3);
             return w.Bytes();
         }(), "", {}},
        {"sorted newest first", Head(3) + Rec(20305) + Rec(20400) + Rec(20310), "", {20400, 20310, 20305}},
        {"format 199 loads", Head(1, 199) + Rec(20305), "", {20305}},
        {"format 200 fails", Head(1, 200) + Rec(20305), "You need a newer version of Stirpello for this function (TSU200", {}},
        {"newer record dropped", Head(3) + Rec(1) + Rec(2, 200) + Rec(3), "", {3, 1}},
        {"extras between records", Head(2) + Rec(1) + list + collection + Hex("06 03 49 30 30 12 01 00 00 00 41 00") + Rec(2),
         "", {2, 1}},
        {"marker only as tag 6", Head(1) + Hex("0C 04 00 00 00 3C 53 55 3E 14 04 00 00 00 3C 53 55 3E") + Rec(5), "", {5}},
        {"value after last record", Head(1) + Rec(1) + Hex("02 00"), "Invalid stream operation", {1}},
        {"value after header only", Head(0) + Hex("08"), "Invalid stream operation", {}},
        {"value after a record ending on a block", PadTo(Head(1), 1024 - Rec(1).size()) + Rec(1) + Hex("02 00"), "", {1}},
        // a refused value is passed over whole, even one whose payload
        // looks like the tag of a long string
        {"wrong value type", Head(2) + WrongType(1) + Rec(2), "", {2}},
        {"short record not last", Head(2) + ShortRec(1) + Rec(2), "Stream read error", {}},
        {"short record last", Head(2) + Rec(1) + ShortRec(2), "", {1}},
        {"more records announced", Head(3) + Rec(1) + Rec(2), "Stream read error", {1, 2}},
        {"header text not a string", [] {
             TWriter w;
             w.WriteInteger(0), w.WriteInteger(100), w.WriteInteger(5);
             return w.Bytes();
         }(), "Invalid property value", {}},
        {"format not an integer", Hex("02 00 06 01 41"), "Invalid property value", {}},
        {"ends in header", Head(2).substr(0, 5), "Stream read error", {}},
        {"empty stream", "", "Stream read error", {}},
    };
    for (const Case& c : cases) {
        Outcome o = LoadPlain(c.plain);
        EXPECT_EQ(o.failure, c.failure) << c.name;
        EXPECT_EQ(o.versions, c.versions) << c.name;
    }
}

TEST(SoftwareUpdateList, HeaderTextAndClassLinesAreKept) {
    TSoftwareUpdateList list;
    list.ClassLines = {"stale"};
    TWriter w;
    WriteHeader(w, 0, {"M/20304/20305/", "Q/20304/20400/"}, 100, "Updates for 2.3");
    list.LoadFromString(Zip(w.Bytes()));
    EXPECT_EQ(list.HeaderText, "Updates for 2.3");
    EXPECT_EQ(list.ClassLines, (std::vector<std::string>{"M/20304/20305/", "Q/20304/20400/"}));
    EXPECT_EQ(list.InstalledVersion, 0);
}

TEST(SoftwareUpdateList, LoadingAgainAppendsAndSortsTheWhole) {
    TSoftwareUpdateList list;
    LoadPlain(Plain({Update(20305, "R")}), &list);
    Outcome o = LoadPlain(Plain({Update(20400, "R"), Update(20100, "B")}), &list);
    EXPECT_EQ(o.versions, (std::vector<int32_t>{20400, 20305, 20100}));
    // After a failed load and after records were added by hand, the whole
    // list is sorted again, however the new records arrive.
    o = LoadPlain(Plain({Update(5, "R"), Update(20050, "R")}) + Hex("08"), &list);
    EXPECT_EQ(o.failure, "Invalid stream operation");
    EXPECT_EQ(o.versions, (std::vector<int32_t>{20400, 20305, 20100, 5, 20050}));
    o = LoadPlain(Plain({Update(1, "R")}), &list);
    EXPECT_EQ(o.versions, (std::vector<int32_t>{20400, 20305, 20100, 20050, 5, 1}));
    list.Add(std::make_unique<TSoftwareUpdate>(Update(30000, "R")));
    o = LoadPlain(Plain({Update(0, "R")}), &list);
    EXPECT_EQ(o.versions, (std::vector<int32_t>{30000, 20400, 20305, 20100, 20050, 5, 1, 0}));
}

TEST(SoftwareUpdateList, RecordsChangedInTheListAreResortedAndReleased) {
    TSoftwareUpdateList list;
    list.LoadFromString(Zip(Plain({Update(20400, "B"), Update(20310, "R"), Update(20305, "W")})));
    // Texts beyond the short-string size live in the record itself now; the
    // sanitizer build reports them if releasing skipped the record.
    list[2].SetVersion(20500);
    list[2].SetText05(std::string(100, 't'));
    list[1].SetText06(std::string(100, 'u'));
    TSoftwareUpdate copy = list[2];
    list.SelectFor(20304);
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(list[0].Version(), 20500);
    EXPECT_EQ(list[0].Text05(), std::string(100, 't'));
    EXPECT_EQ(list[1].Version(), 20310);
    EXPECT_TRUE(copy == list[0]);
    list.Delete(0);
    EXPECT_EQ(list.Count(), 1);
}

TEST(SoftwareUpdateList, CompressedDataFailures) {
    std::string good = Zip(Plain({Update(20305, "R")}));
    std::string badChecksum = good;
    badChecksum.back() ^= 1;
    std::string damaged = good;
    damaged[good.size() / 2] ^= 0x55;
    std::string dictionary = good;  // header asks for a preset dictionary
    dictionary[0] = '\x78', dictionary[1] = '\xBB';
    std::string wideWindow = good;  // header claims a 64 KiB window
    wideWindow[0] = '\x88', wideWindow[1] = '\x1C';
    struct Case {
        const char* name;
        std::string data;
        std::string failure;
    } cases[] = {
        {"html page", "<!DOCTYPE html><html><body>Not found</body></html>", "Error"},
        {"one byte", "x", "Stream read error"},  // too short to tell: nothing inflates
        {"bad checksum", badChecksum, "Error"},
        {"damaged", damaged, "Error"},
        {"preset dictionary", dictionary, "Error"},
        {"window too large", wideWindow, "Error"},
        {"cut inside the checksum", good.substr(0, good.size() - 2), ""},
        {"cut inside the record", good.substr(0, good.size() / 2), ""},  // loaded below
        {"bytes after the stream", good + "trailing junk", ""},
    };
    for (const Case& c : cases) {
        TSoftwareUpdateList list;
        std::string failure;
        try {
            list.LoadFromString(c.data);
        } catch (const EError& e) {
            failure = e.what();
        }
        if (std::string(c.name) == "cut inside the record") {
            // A cut stream reads as a shorter one: the record runs out of data
            // and is dropped, as a short last record is.
            EXPECT_EQ(list.Count(), 0) << c.name;
            continue;
        }
        EXPECT_EQ(failure, c.failure) << c.name;
    }
}

TEST(SoftwareUpdateList, InflatedSizeIsCapped) {
    // A header, then a long string that claims 2 GiB and holds zeros up to
    // just over the cap: about 65 KB on the wire.
    std::string prefix = Head(1) + Hex("0C FF FF FF 7F");
    std::string zeros(1 << 20, '\0');
    z_stream z{};
    ASSERT_EQ(deflateInit(&z, 1), Z_OK);
    std::string out;
    char buf[1 << 16];
    int64_t left = kMaxInflatedCatalogue + 1 - static_cast<int64_t>(prefix.size());
    z.next_in = reinterpret_cast<Bytef*>(&prefix[0]);
    z.avail_in = static_cast<uInt>(prefix.size());
    int rc = Z_OK;
    while (rc != Z_STREAM_END) {
        if (z.avail_in == 0 && left > 0) {
            size_t n = static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(zeros.size())));
            z.next_in = reinterpret_cast<Bytef*>(&zeros[0]);
            z.avail_in = static_cast<uInt>(n);
            left -= static_cast<int64_t>(n);
        }
        z.next_out = reinterpret_cast<Bytef*>(buf);
        z.avail_out = sizeof buf;
        rc = deflate(&z, left > 0 || z.avail_in > 0 ? Z_NO_FLUSH : Z_FINISH);
        ASSERT_TRUE(rc == Z_OK || rc == Z_STREAM_END || rc == Z_BUF_ERROR);
        out.append(buf, sizeof buf - z.avail_out);
    }
    deflateEnd(&z);

    TSoftwareUpdateList list;
    try {
        list.LoadFromString(out);
        FAIL() << "loaded";
    } catch (const EDecompressionError& e) {
        EXPECT_STREQ(e.what(), "The update catalogue is too large: it inflates to more than 67108864 bytes");
    }
    // Exactly at the limit is not too large.
    std::string plain = Plain({Update(20305, "R")});
    EXPECT_EQ(InflateAll(Zip(plain), static_cast<int64_t>(plain.size())), plain);
    EXPECT_THROW(InflateAll(Zip(plain), static_cast<int64_t>(plain.size()) - 1), EDecompressionError);
}

TEST(SoftwareUpdateList, RecordsAcrossBlockEdgesLoadWhole) {
    // Records of drifting sizes put every kind of pair across the reader's
    // block edges; texts of every length up to 80 and integers of each width.
    std::vector<TSoftwareUpdate> updates;
    for (int i = 0; i < 300; ++i) {
        TSoftwareUpdate u = Update(900000 - i * 997, std::string(1, "BWSR"[i % 4]), std::string(i % 5, 'k'),
                                   i % 3 ? "" : "20304 20305", i % 2 ? "MQ" : "M");
        u.SetDate(44000.5 + i);
        u.SetText05(std::string(i % 81, static_cast<char>('a' + i % 26)));
        u.SetText06(std::string((i * 7) % 70, '\xE9'));
        u.SetNumber07(i % 2 ? -i : i * 1000);
        u.SetNumber08(i * 100003);
        u.SetText10(i % 4 ? "x" : "");
        updates.push_back(u);
    }
    TSoftwareUpdateList list;
    list.LoadFromString(Zip(Plain(updates)));
    ASSERT_EQ(list.Count(), 300);
    for (int i = 0; i < 300; ++i) EXPECT_TRUE(list[i] == updates[static_cast<size_t>(i)]) << i;
}

// A loaded record keeps one byte of length per text and the arena the rest;
// texts repeated from the record before are shared. Lengths around that byte's
// limit and the arena's block sizes, repeated and changed, must read back
// whole, in the list, in copies, and after a change to the copy.
TEST(SoftwareUpdateList, TextsOfAnyLengthAndRepeatsReadBackWhole) {
    const size_t lengths[] = {1, 2, 254, 255, 256, 1000, 16383, 16385, 70000};
    std::vector<TSoftwareUpdate> updates;
    int version = 900000;
    for (size_t n : lengths)
        for (char c : {'a', 'a', 'b'}) {
            TSoftwareUpdate u = Update(version--, "B", std::string(n, c), std::string(n, c), "M");
            u.SetText05(std::string(n, static_cast<char>(c + 1)) + std::to_string(n));
            u.SetText09(std::string(n, c));
            updates.push_back(u);
        }
    TSoftwareUpdateList list;
    list.LoadFromString(Zip(Plain(updates)));
    ASSERT_EQ(list.Count(), static_cast<int>(updates.size()));
    for (int i = 0; i < list.Count(); ++i) {
        const TSoftwareUpdate& want = updates[static_cast<size_t>(i)];
        EXPECT_TRUE(list[i] == want) << i;
        TSoftwareUpdate copy = list[i];
        EXPECT_TRUE(copy == want) << i;
        copy.SetText09(std::string(want.Text09().size() + 1, 'z'));
        EXPECT_EQ(copy.Text09(), std::string(want.Text09().size() + 1, 'z')) << i;
        EXPECT_EQ(copy.OrderKey(), want.OrderKey()) << i;
    }
}

TEST(SoftwareUpdateList, ChecksumCoversEveryWindow) {
    // Several inflate windows of bytes that do not repeat, with any byte
    // value: the checksum must carry across windows and match zlib's.
    std::string plain(700 * 1024 + 13, '\0');
    uint32_t x = 12345;
    for (char& c : plain) c = static_cast<char>((x = x * 1103515245 + 12345) >> 23);
    const std::string zipped = Zip(plain);
    EXPECT_EQ(InflateAll(zipped), plain);
    for (size_t at : {zipped.size() - 4, zipped.size() - 1}) {
        std::string bad = zipped;
        bad[at] ^= 0x10;
        EXPECT_THROW(InflateAll(bad), EDecompressionError) << at;
    }
}

TEST(SoftwareUpdateList, OrderIsVersionThenOrderKeyDescending) {
    TSoftwareUpdateList list;
    for (auto u : {Update(20305, "R", "a"), Update(20400, "B", "a"), Update(20305, "R", "\xE0"),
                   Update(20305, "R", "ab"), Update(-1, "R"), Update(20305, "R", "b")})
        list.Add(std::make_unique<TSoftwareUpdate>(u));
    list.Sort();
    std::vector<std::string> got;
    for (int i = 0; i < list.Count(); ++i) got.push_back(std::to_string(list[i].Version()) + ":" + std::string(list[i].OrderKey()));
    // bytes compare unsigned (0xE0 above 'b'); a prefix sorts below the longer key
    EXPECT_EQ(got, (std::vector<std::string>{"20400:a", "20305:\xE0", "20305:b", "20305:ab", "20305:a", "-1:"}));
    EXPECT_EQ(TSoftwareUpdateList::CompareUpdates(Update(1, "R", "k"), Update(1, "B", "k")), 0);
    EXPECT_LT(TSoftwareUpdateList::CompareUpdates(Update(2, "R"), Update(1, "R", "z")), 0);
    EXPECT_GT(TSoftwareUpdateList::CompareUpdates(Update(1, "R", "a"), Update(1, "R", "b")), 0);
}

struct Selection {
    std::vector<std::string> kept;  // "version kind"
    int32_t latest;
    bool major;
};

Selection Select(const std::vector<TSoftwareUpdate>& updates, int32_t v,
                 const std::vector<std::string>& classLines = {}) {
    TSoftwareUpdateList list;
    list.LoadFromString(Zip(Plain(updates, classLines)));
    list.SelectFor(v);
    Selection s;
    for (int i = 0; i < list.Count(); ++i)
        s.kept.push_back(std::to_string(list[i].Version()) + " " + std::string(list[i].Kind()));
    s.latest = list.LatestVersion();
    s.major = list.NewestIsMajor();
    EXPECT_EQ(list.InstalledVersion, v);
    return s;
}

TEST(SoftwareUpdateList, ClassFilter) {
    std::vector<TSoftwareUpdate> updates = {
        Update(20310, "B", "", "", "MQ"), Update(20309, "W", "", "", "QM"),
        Update(20308, "S", "", "", "M"), Update(20307, "R", "", "", "Q"),
        Update(20306, "R", "", "", ""), Update(20305, "R", "", "", "m"),
    };
    // Both lines cover 20304: both letters are needed.
    EXPECT_EQ(Select(updates, 20304, {"M/20304/", "Q/20304/20400/"}).kept,
              (std::vector<std::string>{"20310 B", "20309 W"}));
    // A line covers a version only between slashes.
    EXPECT_EQ(Select(updates, 20304, {"M/203040/", "Q/120304/", "X 20304"}).kept,
              (std::vector<std::string>{"20310 B", "20309 W", "20308 S", "20307 R"}));
    EXPECT_EQ(Select(updates, 20304, {"M/20304/20305/"}).kept,
              (std::vector<std::string>{"20310 B", "20309 W", "20308 S"}));
}

TEST(SoftwareUpdateList, VersionFilter) {
    struct Case {
        const char* name;
        std::vector<TSoftwareUpdate> updates;
        int32_t v;
        std::vector<std::string> kept;
        int32_t latest;
        bool major;
    } cases[] = {
        {"empty", {}, 20304, {}, 0, false},
        {"rising ranks only",
         {Update(20310, "B", "e"), Update(20309, "W"), Update(20308, "B"), Update(20307, "R"), Update(20306, "R")},
         20304, {"20310 B", "20309 W", "20307 R"}, 20310, false},
        {"rank 0 never kept", {Update(20310, "X"), Update(20309, ""), Update(20308, "S")}, 20304, {"20308 S"}, 20308, false},
        {"same or older removed", {Update(20304, "R"), Update(20303, "R"), Update(20305, "B")}, 20304, {"20305 B"}, 20305, false},
        {"newest major", {Update(20400, "R"), Update(20310, "B")}, 20304, {"20400 R"}, 20400, true},
        {"newest minor then major", {Update(20400, "B"), Update(20310, "R")}, 20304, {"20400 B", "20310 R"}, 20400, false},
        {"from versions",
         {Update(20400, "R", "", "20300 20301"), Update(20310, "S", "", " \t "), Update(20309, "W", "", "20304")},
         20304, {"20310 S"}, 20310, false},
        {"from versions is a substring test", {Update(20, "R", "", "112")}, 12, {"20 R"}, 20, true},
        {"from versions above space counts", {Update(20, "R", "", "\xA0")}, 12, {}, 0, false},
        {"negative versions", {Update(-5, "R"), Update(-9, "B")}, -10, {"-5 R"}, 0, true},
    };
    for (const Case& c : cases) {
        Selection s = Select(c.updates, c.v);
        EXPECT_EQ(s.kept, c.kept) << c.name;
        EXPECT_EQ(s.latest, c.latest) << c.name;
        EXPECT_EQ(s.major, c.major) << c.name;
    }
}

}  // namespace
