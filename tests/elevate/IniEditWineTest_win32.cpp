// The settings edits against the profile functions on real files: the step
// edits bytes itself, and must land where WritePrivateProfileStringA would.
#include <windows.h>

#include <gtest/gtest.h>

#include "elevate/IniEdit.h"
#include "tests/elevate/IniEditCases.h"
#include "tests/support/TestSupport.h"

namespace {

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// Wine rewrites the whole file on a write, in its own form (WINE-NOTES:
// CR LF, no blank lines, "key=value", "[name]"); Windows rewrites only the
// lines it changes, as the step does. So a file that Wine rewrote is compared
// with the step's result put in that form; where the input already is in it,
// byte for byte.
std::string WineForm(const std::string& bytes) {
    std::string out, rest = bytes;
    if (rest.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        out = rest.substr(0, 3);
        rest = rest.substr(3);
    }
    for (size_t pos = 0; pos < rest.size();) {
        size_t end = rest.find_first_of("\r\n", pos);
        if (end == std::string::npos) end = rest.size();
        std::string line = Trim(rest.substr(pos, end - pos));
        pos = end + (rest.compare(end, 2, "\r\n") == 0 ? 2 : 1);
        if (line.empty()) continue;
        size_t close = line.find(']'), eq = line.find('=');
        if (line[0] == '[' && close != std::string::npos) line = "[" + Trim(line.substr(1, close - 1)) + "]";
        else if (line[0] != ';' && eq != std::string::npos) line = Trim(line.substr(0, eq)) + "=" + Trim(line.substr(eq + 1));
        out += line + "\r\n";
    }
    return out;
}

void ApplyByProfile(TIniOp op, const std::string& path) {
    const char* ic = "Internet Connection";
    switch (op) {
    case TIniOp::RemovePostponing:
        // As the run always did: a key goes when it reads as not empty.
        for (const char* key : {"CheckOnOrAfterDate", "NotifyAfterUpdateTo"}) {
            char value[256] = {};
            GetPrivateProfileStringA("Updates", key, "", value, sizeof value, path.c_str());
            if (value[0]) {
                ASSERT_TRUE(WritePrivateProfileStringA("Updates", key, nullptr, path.c_str()));
            }
        }
        break;
    case TIniOp::SetNotify: ASSERT_TRUE(WritePrivateProfileStringA(ic, "notifyForAnyUpdate", "TRUE", path.c_str())); break;
    case TIniOp::SetWantsTrue: ASSERT_TRUE(WritePrivateProfileStringA(ic, "wantsUpdate", "TRUE", path.c_str())); break;
    case TIniOp::SetWantsFalse: ASSERT_TRUE(WritePrivateProfileStringA(ic, "wantsUpdate", "FALSE", path.c_str())); break;
    }
}

TEST(IniEditAgainstProfile, SameResultAsWritePrivateProfileString) {
    testsupport::TScratchDir dir("iniedit");
    int n = 0;
    for (const TIniCase& c : IniCases()) {
        const std::string path = dir / ("case" + std::to_string(++n) + ".ini");
        testsupport::WriteFile(path, c.in);
        ApplyByProfile(c.op, path);
        const std::string byProfile = testsupport::ReadFile(path);
        if (c.in == c.out) {
            // Nothing to change: the profile functions leave the file alone too.
            EXPECT_EQ(byProfile, c.in) << c.name;
        } else if (WineForm(c.in) == c.in) {
            EXPECT_EQ(byProfile, c.out) << c.name;
        } else {
            EXPECT_EQ(byProfile, WineForm(c.out)) << c.name;
        }
    }
}

}  // namespace
