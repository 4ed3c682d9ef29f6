// Writes with administrator rights refuse a link a user planted at the name
// or in place of the folder, and leave its target as it was. The links are
// Linux's own, made before this test (Wine enforces no file access lists,
// but it does report links).
#include <windows.h>

#include <gtest/gtest.h>

#include "app/Settings.h"
#include "fileutil/Errors.h"
#include "fileutil/PlainFile_win32.h"
#include "fileutil/Stream.h"
#include "tests/support/TestSupport.h"

using testsupport::ReadFile;
using testsupport::WriteFile;

namespace {

const char* const kVictim = "links\\other\\victim.txt";

// The profile functions want a full path.
std::string Full(const char* relative) {
    char full[MAX_PATH] = {};
    GetFullPathNameA(relative, MAX_PATH, full, nullptr);
    return full;
}

// The reason a write stream on path was refused, or "" when it opened.
std::string StreamRefusal(const std::string& path, unsigned mode) {
    try {
        TFileStream stream(path, mode);
        stream.Write("overwritten", 11);
        return "";
    } catch (const EFOpenError& e) {
        return e.what();
    }
}

}  // namespace

TEST(PlainFile, WritesThroughLinksAreRefused) {
    struct {
        const char* path;
        const char* why;  // in the refusal; nullptr: the write goes ahead
    } cases[] = {
        {"links\\real\\link.txt", "links\\real\\link.txt"},     // a symbolic link at the name
        {"links\\linkdir\\far.txt", "leads elsewhere"},         // the folder is a link
        {"links\\real\\hard.txt", "has 2 names (hard links)"},  // a second name
        {"links\\real\\plain.txt", nullptr},
        {"links\\real\\new.txt", nullptr},
    };
    WriteFile("links\\real\\plain.txt", "old and longer");
    for (const auto& c : cases) {
        for (unsigned mode : {unsigned(fmCreate), unsigned(fmOpenWrite | fmShareExclusive), unsigned(fmOpenReadWrite)}) {
            SCOPED_TRACE(std::string(c.path) + " mode " + std::to_string(mode));
            if (!c.why && mode != fmCreate) continue;
            std::string refusal = StreamRefusal(c.path, mode);
            if (c.why) {
                EXPECT_NE(refusal.find("Refused to write: "), std::string::npos) << refusal;
                EXPECT_NE(refusal.find(c.why), std::string::npos) << refusal;
            } else {
                EXPECT_EQ(refusal, "");
                // Emptied first: nothing of the longer old text is left.
                EXPECT_EQ(ReadFile(c.path), "overwritten");
            }
            EXPECT_EQ(ReadFile(kVictim), "precious\n");
            EXPECT_EQ(ReadFile("links\\other\\far.txt"), "precious\n");
        }
    }
    // A download resumed into a hard-linked file is refused the same way.
    EXPECT_THROW(TDownloadFileStream("links\\real\\hard.txt", fmOpenWrite | fmShareExclusive), EFOpenError);
    EXPECT_EQ(ReadFile(kVictim), "precious\n");
}

TEST(PlainFile, SettingsAreNotWrittenThroughALink) {
    TSettingsFile linked(Full("links\\real\\link.ini"));
    try {
        linked.WriteString("Internet Connection", "wantsUpdate", "FALSE");
        ADD_FAILURE() << "written through the link";
    } catch (const EError& e) {
        EXPECT_NE(std::string(e.what()).find("link"), std::string::npos) << e.what();
    }
    linked.DeleteKey("Internet Connection", "wantsUpdate");
    EXPECT_EQ(ReadFile("links\\other\\victim.ini"), "precious\n");

    // A plain file is written while held, and a missing one is made.
    TSettingsFile plain(Full("links\\real\\Stirpello.ini"));
    DeleteFileA("links\\real\\Stirpello.ini");
    plain.WriteString("Internet Connection", "wantsUpdate", "FALSE");
    EXPECT_EQ(plain.ReadString("Internet Connection", "wantsUpdate", ""), "FALSE");
    plain.DeleteKey("Internet Connection", "wantsUpdate");
    EXPECT_EQ(plain.ReadString("Internet Connection", "wantsUpdate", "gone"), "gone");
}
