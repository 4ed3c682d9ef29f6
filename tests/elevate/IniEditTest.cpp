#include "elevate/IniEdit.h"

#include <gtest/gtest.h>

#include "fileutil/Errors.h"
#include "tests/elevate/IniEditCases.h"

namespace {

TIniResult Apply(TIniOp op, const std::string& in) {
    switch (op) {
    case TIniOp::RemovePostponing: return RemovePostponingKeys(in);
    case TIniOp::SetNotify: return SetNotifyForAnyUpdate(in);
    case TIniOp::SetWantsTrue: return SetWantsUpdate(in, true);
    case TIniOp::SetWantsFalse: return SetWantsUpdate(in, false);
    }
    return {};
}

TEST(IniEdit, Table) {
    for (const TIniCase& c : IniCases()) {
        TIniResult r = Apply(c.op, c.in);
        EXPECT_EQ(r.bytes, c.out) << c.name;
        EXPECT_EQ(r.changed, c.in != c.out) << c.name;
    }
}

TEST(IniEdit, ReadsValuesAsTheProfileFunctionsDo) {
    const std::string ini = "[Internet Connection]\r\n proxyName =  'a b' \r\nportNumber=\"8080\"\r\nx = \"odd'\r\n";
    std::string v;
    ASSERT_TRUE(IniReadValue(ini, "internet connection", "PROXYNAME", &v));
    EXPECT_EQ(v, "a b");
    ASSERT_TRUE(IniReadValue(ini, "Internet Connection", "portNumber", &v));
    EXPECT_EQ(v, "8080");
    ASSERT_TRUE(IniReadValue(ini, "Internet Connection", "x", &v));
    EXPECT_EQ(v, "\"odd'");
    EXPECT_FALSE(IniReadValue(ini, "Internet Connection", "missing", &v));
    EXPECT_FALSE(IniReadValue(ini, "Updates", "x", &v));
}

TEST(IniEdit, RefusesFilesItCannotEditFaithfully) {
    const std::string utf16le("\xFF\xFE[\0U\0]\0", 8);
    const std::string utf16be("\xFE\xFF\0[\0U\0]", 8);
    const std::string nul("[Updates]\r\nx=1\0\r\n", 16);
    const std::string big(IniMaxSize + 1, 'x');
    for (const std::string* bad : {&utf16le, &utf16be, &nul, &big}) {
        EXPECT_NE(IniRefusal(*bad), "");
        EXPECT_THROW(RemovePostponingKeys(*bad), EError);
        EXPECT_THROW(SetWantsUpdate(*bad, true), EError);
    }
    try {
        SetNotifyForAnyUpdate(big);
        ADD_FAILURE();
    } catch (const EError& e) {
        EXPECT_EQ(e.Message(), "Stirpello.ini is larger than 1 MiB");
    }
    // The largest file still taken.
    std::string largest = "[Internet Connection]\r\nwantsUpdate=TRUE\r\n";
    largest.resize(IniMaxSize, ';');
    EXPECT_EQ(IniRefusal(largest), "");
    EXPECT_FALSE(SetWantsUpdate(largest, true).changed);
}

}  // namespace
