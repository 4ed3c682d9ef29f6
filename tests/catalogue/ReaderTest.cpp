#include "catalogue/Reader.h"

#include <gtest/gtest.h>

#include <functional>

#include "catalogue/Inflate.h"
#include "fileutil/Errors.h"
#include "tests/catalogue/Hex.h"

using catfix::Hex;

namespace {

// The message of what f throws, or "" when it throws nothing.
std::string Failure(const std::function<void()>& f) {
    try {
        f();
    } catch (const EError& e) {
        return e.what();
    }
    return "";
}

TEST(Reader, IntegersOfEveryWidthAreSignExtended) {
    struct Case {
        const char* bytes;
        int64_t value;
    } cases[] = {
        {"02 FF", -1},
        {"02 7F", 127},
        {"02 80", -128},
        {"03 51 4F", 20305},
        {"03 00 80", -32768},
        {"04 FF FF FF 7F", 2147483647},
        {"04 00 00 00 80", -2147483647 - 1},
    };
    for (const Case& c : cases) {
        TStringStream s(Hex(c.bytes));
        TReader r(s);
        EXPECT_EQ(r.ReadInteger(), c.value) << c.bytes;
    }
    TStringStream s(Hex("13 01 00 00 00 01 00 00 00  13 FE FF FF FF FF FF FF FF  02 05"));
    TReader r(s);
    EXPECT_EQ(r.ReadInt64(), 0x100000001LL);
    EXPECT_EQ(r.ReadInt64(), -2);
    EXPECT_EQ(r.ReadInt64(), 5);
}

TEST(Reader, StringsOfEveryTagArriveAsEightBitText) {
    struct Case {
        const char* bytes;
        std::string text;
    } cases[] = {
        {"06 03 49 30 30", "I00"},
        {"06 00", ""},
        {"0C 03 00 00 00 61 62 63", "abc"},
        {"0C FF FF FF FF", ""},  // a negative length reads as empty
        // e-acute, euro sign, a CJK character outside the code page
        {"12 03 00 00 00 E9 00 AC 20 2D 4E", "\xE9\x80?"},
        // a surrogate pair is one character; an unpaired one is one '?'
        {"12 03 00 00 00 3D D8 00 DE 00 DC", "??"},
        {"14 09 00 00 00 C3 A9 E2 82 AC F0 9F 98 80", "\xE9\x80?"},
        // malformed UTF-8: a stray continuation byte, a cut sequence, an overlong form
        {"14 06 00 00 00 80 41 E2 82 C0 AF", "?A????"},
    };
    for (const Case& c : cases) {
        TStringStream s(Hex(c.bytes));
        TReader r(s);
        EXPECT_EQ(r.ReadString(), c.text) << c.bytes;
    }
}

TEST(Reader, DatesAcceptIntegersToo) {
    TStringStream s(Hex("11 00 00 00 00 00 00 F8 3F  02 FE  13 00 00 00 00 01 00 00 00"));
    TReader r(s);
    EXPECT_EQ(r.ReadDate(), 1.5);
    EXPECT_EQ(r.ReadDate(), -2.0);
    EXPECT_EQ(r.ReadDate(), 4294967296.0);
}

TEST(Reader, RefusedValueIsReportedAndLeftOnTheStream) {
    struct Case {
        const char* bytes;
        std::function<void(TReader&)> read;
    } cases[] = {
        {"06 01 41 2A", [](TReader& r) { r.ReadInteger(); }},
        {"07 01 41 2A", [](TReader& r) { r.ReadString(); }},  // identifiers are not strings
        {"02 05 2A", [](TReader& r) { r.ReadString(); }},
        {"09 2A", [](TReader& r) { r.ReadDate(); }},
        {"11 2A", [](TReader& r) { r.ReadInt64(); }},
    };
    for (const Case& c : cases) {
        TStringStream s(Hex(c.bytes));
        TReader r(s);
        EXPECT_EQ(Failure([&] { c.read(r); }), "Invalid property value") << c.bytes;
        EXPECT_EQ(r.NextTag(), static_cast<uint8_t>(Hex(c.bytes)[0])) << c.bytes;
    }
}

TEST(Reader, RunningOutInsideAValueIsAReadError) {
    struct Case {
        const char* bytes;
        std::function<void(TReader&)> read;
    } cases[] = {
        {"", [](TReader& r) { r.NextTag(); }},
        {"02", [](TReader& r) { r.ReadInteger(); }},
        {"04 01 02 03", [](TReader& r) { r.ReadInteger(); }},
        {"06 05 41 42", [](TReader& r) { r.ReadString(); }},
        {"0C 05 00 00", [](TReader& r) { r.ReadString(); }},
        {"12 02 00 00 00 41 00 42", [](TReader& r) { r.ReadString(); }},
        {"11 00 00", [](TReader& r) { r.ReadDate(); }},
        {"01 02 05", [](TReader& r) { r.SkipValue(); }},
        {"0E 01 06 41", [](TReader& r) { r.SkipValue(); }},
        // a length far beyond the data fails without reserving it
        {"0C FF FF FF 7F 41", [](TReader& r) { r.ReadString(); }},
        {"12 FF FF FF 7F 41 00", [](TReader& r) { r.SkipValue(); }},
    };
    for (const Case& c : cases) {
        TStringStream s(Hex(c.bytes));
        TReader r(s);
        EXPECT_EQ(Failure([&] { c.read(r); }), "Stream read error") << c.bytes;
    }
}

TEST(Reader, FailedStringReadLeavesTheTargetAlone) {
    TStringStream s(Hex("06 05 41 42"));
    TReader r(s);
    std::string out = "before";
    EXPECT_THROW(r.ReadString(out), EReadError);
    EXPECT_EQ(out, "before");
}

TEST(Reader, SkipValueConsumesExactlyOneValueOfEveryTag) {
    const char* values[] = {
        "00", "08", "09", "0D",
        "02 01", "03 01 02", "04 01 02 03 04", "13 01 02 03 04 05 06 07 08",
        "05 01 02 03 04 05 06 07 08 09 0A",
        "06 02 41 42", "07 01 41", "0C 02 00 00 00 41 42", "14 01 00 00 00 41",
        "12 02 00 00 00 41 00 42 00", "0A 03 00 00 00 00 00 00", "0C FF FF FF FF",
        "0F 00 00 80 3F", "10 01 02 03 04 05 06 07 08", "11 01 02 03 04 05 06 07 08",
        "0B 01 41 02 42 43 00",
        "01 00", "01 02 05 01 06 01 41 00 00",
        // a byte with only the high bit set is a value inside a list, not its end
        "01 80 00",
        // tags count by their low seven bits; tags above 20 carry nothing
        "86 01 41", "81 02 01 00", "15", "7F", "FF",
        // a collection: items with and without an order number, properties
        // being an untagged name and a value
        "0E 00",
        "0E 01 04 4E 61 6D 65 06 01 41 03 41 67 65 02 07 00 00",
        "0E 02 03 01 02 41 42 03 10 00 00 01 00 00",
        "0E 01 01 4C 01 0E 01 00 00 00 00 00",
    };
    for (const char* v : values) {
        TStringStream s(Hex(v) + "\x2A");
        TReader r(s);
        r.SkipValue();
        EXPECT_EQ(r.NextTag(), 0x2A) << v;
    }
}

TEST(Reader, DeepNestingIsSkippedWithoutExhaustingTheStack) {
    const size_t depth = 2000000;
    std::string bytes(depth, '\x01');
    bytes.append(depth, '\x00');
    bytes += '\x2A';
    TStringStream s(bytes);
    TReader r(s);
    r.SkipValue();
    EXPECT_EQ(r.NextTag(), 0x2A);
}

TEST(Reader, CloseHandsTheReadAheadBack) {
    TStringStream s(Hex("02 01 02 02") + std::string(3000, '\x08'));
    TReader r(s);
    r.ReadInteger();
    EXPECT_EQ(s.Position(), TReader::BufferSize);  // read ahead one block
    r.Close();
    EXPECT_EQ(s.Position(), 2);
}

TEST(Reader, ForwardOnlySourceRefusesToTakeBytesBack) {
    std::string plain(2 * TReader::BufferSize, '\x08');
    for (int consumed : {TReader::BufferSize - 1, TReader::BufferSize, TReader::BufferSize + 1}) {
        const std::string zipped = Deflate(plain);
        TInflateStream source(zipped);
        TReader r(source);
        for (int i = 0; i < consumed; ++i) r.SkipValue();
        std::string failure = Failure([&] { r.Close(); });
        EXPECT_EQ(failure, consumed == TReader::BufferSize ? "" : "Invalid stream operation") << consumed;
    }
}

}  // namespace
