#include "elevate/StepProtocol.h"

#include <gtest/gtest.h>

#include <cstring>

#include "fileutil/Errors.h"

namespace {

constexpr size_t ModuleSize = 40;

TRequest Make(TStepKind kind, uint32_t sequence) {
    TRequest r;
    r.kind = kind;
    r.sequence = sequence;
    if (kind == TStepKind::OpenFolder) r.folder = L"C:\\Program Files (x86)\\Stirpello";
    if (kind == TStepKind::InstallModule) r.module = std::string(ModuleSize, 'M');
    if (kind == TStepKind::WriteWantsUpdate) r.wantsUpdate = true;
    return r;
}

std::string Read(const std::string& bytes, TRequest* out) {
    return ReadRequest(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), ModuleSize, out);
}

void Poke32(std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
void Poke16(std::string& s, size_t at, uint16_t v) {
    s[at] = static_cast<char>(v & 0xFF);
    s[at + 1] = static_cast<char>(v >> 8);
}

TEST(StepRequest, EachKindSurvivesTheTripAndHasItsFixedSize) {
    const size_t sizes[] = {0, 2048, 0, 0, ModuleSize, 4, 0, 0};
    for (uint16_t k = 1; k <= 7; ++k) {
        TRequest in = Make(static_cast<TStepKind>(k), 100u + k);
        std::string bytes = WriteRequest(in);
        ASSERT_EQ(bytes.size(), StepHeaderSize + sizes[k]) << k;
        TRequest out;
        ASSERT_EQ(Read(bytes, &out), "") << k;
        EXPECT_EQ(out.kind, in.kind);
        EXPECT_EQ(out.sequence, in.sequence);
        EXPECT_EQ(out.folder, in.folder);
        EXPECT_EQ(out.module, in.module);
        EXPECT_EQ(out.wantsUpdate, in.wantsUpdate);
    }
    // The layout, little-endian, as another implementation would read it.
    std::string b = WriteRequest(Make(TStepKind::WriteWantsUpdate, 0x01020304));
    EXPECT_EQ(b.substr(0, 16), std::string("SPST\x01\x00\x05\x00\x04\x03\x02\x01\x04\x00\x00\x00", 16));
    EXPECT_EQ(b.substr(16), std::string("\x01\x00\x00\x00", 4));
}

TEST(StepRequest, MalformedRecordsAreRefused) {
    const std::string folder = WriteRequest(Make(TStepKind::OpenFolder, 1));
    const std::string wants = WriteRequest(Make(TStepKind::WriteWantsUpdate, 1));
    const std::string quit = WriteRequest(Make(TStepKind::Quit, 1));
    const std::string module = WriteRequest(Make(TStepKind::InstallModule, 1));
    struct TCase {
        const char* name;
        std::string bytes;
        const char* reason;  // a part of the expected reason
    };
    std::vector<TCase> cases;
    auto add = [&](const char* name, std::string bytes, const char* reason) { cases.push_back({name, bytes, reason}); };
    add("empty", "", "shorter than its header");
    add("header cut", quit.substr(0, 15), "shorter than its header");
    { std::string s = quit; Poke32(s, 0, 0x50525053); add("a reply's magic", s, "not a request"); }
    { std::string s = quit; Poke16(s, 4, 2); add("version 2", s, "version 2"); }
    for (uint16_t k : {0, 8, 0xFFFF}) { std::string s = quit; Poke16(s, 6, k); add("unknown kind", s, "unknown request kind"); }
    { std::string s = quit; Poke32(s, 12, 1); s += 'x'; add("quit with a payload", s, "payload of 1 bytes"); }
    { std::string s = quit; Poke32(s, 12, 0xFFFFFFF0u); add("huge claim", s, "payload of 4294967280"); }
    { std::string s = quit; s += 'x'; add("quit, trailing byte", s, "trailing"); }
    add("folder cut", folder.substr(0, folder.size() - 1), "cut short");
    add("folder, trailing byte", folder + '\0', "trailing");
    { std::string s = folder; std::memset(&s[16], 'A', 2048); add("folder never terminated", s, "not NUL-terminated"); }
    { std::string s = folder; s[16 + 2000] = 'x'; add("bytes after the NUL", s, "after the folder"); }
    { std::string s = wants; Poke32(s, 16, 2); add("wantsUpdate 2", s, "0 or 1"); }
    { std::string s = module; Poke32(s, 12, ModuleSize + 1); s += 'x'; add("module one byte long", s, "payload of 41"); }
    add("module cut", module.substr(0, module.size() - 1), "cut short");
    for (const TCase& c : cases) {
        TRequest out;
        std::string why = Read(c.bytes, &out);
        EXPECT_NE(why.find(c.reason), std::string::npos) << c.name << ": " << why;
    }
    // Without a known module size no module is taken.
    TRequest out;
    std::string empty = WriteRequest(Make(TStepKind::InstallModule, 1)).substr(0, 16);
    Poke32(empty, 12, 0);
    EXPECT_NE(ReadRequest(reinterpret_cast<const uint8_t*>(empty.data()), empty.size(), 0, &out), "");
}

TEST(StepRequest, WriterRefusesWhatCannotBeSent) {
    TRequest r = Make(TStepKind::OpenFolder, 1);
    r.folder = L"C:\\" + std::wstring(1020, L'a');  // 1023 characters: the most
    EXPECT_EQ(WriteRequest(r).size(), StepHeaderSize + StepFolderFieldSize);
    r.folder += L'a';
    EXPECT_THROW(WriteRequest(r), EError);
    r.folder = std::wstring(L"C:\\a\0b", 6);
    EXPECT_THROW(WriteRequest(r), EError);
}

TEST(StepReply, SurvivesTheTripAndMalformedOnesAreRefused) {
    TStepReply in{4, 9, TStepResult::NothingToChange, "already\tin place"};
    std::string bytes = WriteReply(in);
    ASSERT_EQ(bytes.size(), StepReplySize);
    TStepReply out;
    ASSERT_EQ(ReadReply(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &out), "");
    EXPECT_EQ(out.kind, 4);
    EXPECT_EQ(out.sequence, 9u);
    EXPECT_EQ(out.result, TStepResult::NothingToChange);
    EXPECT_EQ(out.reason, "already?in place");
    // A long reason is cut so that its NUL stays inside the field.
    in.reason = std::string(400, 'r');
    bytes = WriteReply(in);
    ASSERT_EQ(ReadReply(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &out), "");
    EXPECT_EQ(out.reason.size(), 255u);

    const std::string good = WriteReply({4, 9, TStepResult::Done, "ok"});
    std::vector<std::pair<std::string, const char*>> bad;
    bad.push_back({good.substr(0, 271), "reply of 271"});
    bad.push_back({good + '\0', "reply of 273"});
    { std::string s = good; Poke32(s, 0, StepRequestMagic); bad.push_back({s, "not a reply"}); }
    { std::string s = good; Poke16(s, 4, 0); bad.push_back({s, "version"}); }
    { std::string s = good; Poke32(s, 12, 4); bad.push_back({s, "unknown result"}); }
    { std::string s = good; s[16 + 1] = '\n'; bad.push_back({s, "unprintable"}); }
    { std::string s = good; std::memset(&s[16], 'x', 256); bad.push_back({s, "not NUL-terminated"}); }
    { std::string s = good; s[271] = 'x'; bad.push_back({s, "after the reason"}); }
    for (const auto& [b, reason] : bad) {
        std::string why = ReadReply(reinterpret_cast<const uint8_t*>(b.data()), b.size(), &out);
        EXPECT_NE(why.find(reason), std::string::npos) << reason << ": " << why;
    }
}

TEST(FolderPath, OnlyPlainPathsOnADriveLetter) {
    for (const wchar_t* ok : {L"C:\\Program Files (x86)\\Stirpello", L"d:\\Stirpello\\", L"C:\\Pro.gram\\St irpello",
                              L"C:\\Programme\\\u00dcbersicht \u00e9t\u00e9", L"C:\\CONTROL\\COM10\\nul_\\Console"})
        EXPECT_EQ(FolderPathRefusal(ok), "") << ok;
    for (const wchar_t* bad :
         {L"", L"\\\\server\\share\\Stirpello", L"\\\\?\\C:\\Stirpello", L"\\\\.\\C:\\Stirpello", L"\\??\\C:\\Stirpello",
          L"Stirpello", L"C:Stirpello", L"\\Stirpello", L"C:/Stirpello", L"C:\\Stirpello/x", L"C:\\Stirpello:stream",
          L"C:\\Stirpello::$DATA", L"1:\\Stirpello", L"C:\\", L"C:\\\\Stirpello", L"C:\\a\\\\b", L"C:\\a\\.\\b",
          L"C:\\a\\..\\b", L"C:\\a\\..", L"C:\\Stirpello.", L"C:\\Stirpello \\x", L"C:\\Stir\tpello", L"C:\\Stir*",
          L"C:\\St?", L"C:\\x\\NUL", L"C:\\x\\con.txt\\y", L"C:\\Com1", L"C:\\lpt9 .log", L"C:\\CONOUT$", L"C:\\a<b", L"C:\\a>b", L"C:\\a\"b", L"C:\\a|b"})
        EXPECT_NE(FolderPathRefusal(bad), "") << bad;
    std::wstring longest = L"C:\\" + std::wstring(1020, L'a');
    EXPECT_EQ(FolderPathRefusal(longest), "");
    EXPECT_NE(FolderPathRefusal(longest + L'a'), "");
}

// Runs kinds through a fresh session in order, with sequences 1, 2, ...;
// returns '+' for each accepted and '-' for each refused.
std::string RunSession(const std::vector<uint16_t>& kinds) {
    TStepSession s;
    std::string out;
    uint32_t seq = 0;
    for (uint16_t k : kinds) {
        TRequest r = Make(static_cast<TStepKind>(k), ++seq);
        out += s.Accept(r).empty() ? '+' : '-';
    }
    return out;
}

TEST(StepSession, HoldsRequestsToTheProceduresOrder) {
    struct TCase {
        std::vector<uint16_t> kinds;
        const char* expected;
    } cases[] = {
        {{1, 2, 3, 4, 5, 6}, "++++++"},  // a whole update
        {{1, 2, 5, 6}, "++++"},          // steps may be left out
        {{1, 7}, "++"},
        {{7, 1}, "+-"},                  // nothing after Quit
        {{2, 1, 2}, "-++"},              // the folder first
        {{6}, "-"},
        {{1, 1}, "+-"},                  // and once
        {{1, 3, 2}, "++-"},              // never back
        {{1, 4, 4}, "++-"},              // each once
        {{1, 6, 7}, "++-"},              // launching is the last act
        {{1, 6, 5}, "++-"},
        {{1, 5, 7, 6}, "+++-"},
    };
    for (const TCase& c : cases) EXPECT_EQ(RunSession(c.kinds), c.expected) << ::testing::PrintToString(c.kinds);
}

TEST(StepSession, SequencesAndFolders) {
    TStepSession s;
    TRequest bad = Make(TStepKind::OpenFolder, 1);
    bad.folder = L"\\\\server\\share";
    EXPECT_NE(s.Accept(bad), "");           // refused, but its sequence counts
    EXPECT_NE(s.Accept(Make(TStepKind::OpenFolder, 1)), "");  // 1 again
    EXPECT_NE(s.Accept(Make(TStepKind::OpenFolder, 3)), "");  // a gap
    EXPECT_EQ(s.Accept(Make(TStepKind::OpenFolder, 2)), "");
    EXPECT_EQ(s.Folder(), L"C:\\Program Files (x86)\\Stirpello");
    EXPECT_NE(s.Accept(Make(TStepKind::RemovePostponingKeys, 0xFFFFFFFFu)), "");
    EXPECT_EQ(s.Accept(Make(TStepKind::RemovePostponingKeys, 3)), "");
    s.End();  // e.g. the folder could not be held
    EXPECT_NE(s.Accept(Make(TStepKind::WriteNotify, 4)), "");
}

}  // namespace
