// updlog: run logs written by real runs (the end-to-end scenarios under Wine
// keep them; copies are in logs/), read back after the things mail does to a
// paste; every run message known; access logs counted exactly.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#include "app/RunMessages.h"
#include "fileutil/HeldFile.h"
#include "tests/support/TestSupport.h"
#include "tools/updlog/Explain.h"
#include "tools/updlog/Trails.h"
#include "tools/updlog/TrailsView.h"

namespace {

const std::string kData = UPDLOG_DATA;

std::string Slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::string Join(const std::vector<std::string>& lines, const std::string& end) {
    std::string out;
    for (const auto& l : lines) out += l + end;
    return out;
}

// As a mail program wraps: at the last blank that keeps the line within width.
std::string Wrap(const std::string& text, size_t width, const std::string& prefix = "") {
    std::vector<std::string> out;
    for (std::string line : Lines(text)) {
        while (line.size() > width) {
            size_t cut = line.rfind(' ', width);
            if (cut == std::string::npos || cut == 0) cut = line.find(' ', width);
            if (cut == std::string::npos) break;
            out.push_back(prefix + line.substr(0, cut));
            line = line.substr(cut + 1);
        }
        out.push_back(prefix + line);
    }
    return Join(out, "\r\n");
}

std::string Quote(const std::string& text, const std::string& mark) {
    std::vector<std::string> lines = Lines(text);
    for (auto& l : lines) l = mark + l;
    return Join(lines, "\n");
}

std::string Utf16(const std::string& ascii) {
    std::string out = "\xFF\xFE";
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

struct TExpected {
    const char* log;
    const char* outcome;
    std::vector<std::string> trail;
    const char* firstCause;  // "" when nothing went wrong
};

// One scenario per log the runs wrote (tests/e2e/scenario.sh keeps them as
// build/win/e2e/artifacts/*.log).
const TExpected kScenarios[] = {
    {"outdated_major", "launched", {"1OK"}, ""},
    {"current_minor_no", "launched", {"1OK"}, ""},
    {"no_internet", "launched", {"BLK"}, "internet blocked"},
    {"site_down", "launched", {"1OK", "GDW"}, "the Stirpello site did not answer"},
    {"product_running", "stopped", {}, "Stirpello was running"},
    {"no_module", "stopped", {"UMX", "1OK"}, "there was no update module"},
    {"forged_module-first", "stopped", {"1OK"}, "the SHA-256 did not match"},
    {"closed_in_probe", "closed", {}, "the run was closed at internet access"},
    {"closed_at_confirm", "closed", {"1OK"}, "the run was closed at available updates"},
    {"closed_at_press_ok", "closed", {"1OK"}, "the run was closed at step 4: launch"},
    {"closed_in_download", "closed", {"1OK"}, "the run was closed at step 2: download"},
    {"shared_desktop", "launched", {"1OK"}, ""},
    {"virtualstore", "launched", {"1OK"}, ""},
};

struct TMangling {
    const char* name;
    std::function<std::string(const std::string&)> apply;
    int shift = -1;  // lines added before the log, when its lines stay whole
};

std::string Replace(std::string s, const std::string& from, const std::string& to) {
    for (size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size()) s.replace(at, from.size(), to);
    return s;
}

// As Word or a phone retypes it: curly quotes, an ellipsis, en dashes,
// no-break and zero-width spaces. quote/ellipsis/... are the encoding's bytes.
std::string Typeset(std::string t, const std::string& apostrophe, const std::string& ellipsis,
                    const std::string& dash, const std::string& nbsp, const std::string& zwsp) {
    t = Replace(t, "...", ellipsis);
    t = Replace(t, "'", apostrophe);
    t = Replace(t, " - ", " " + dash + " ");
    t = Replace(t, "Version ", "Version" + nbsp);
    return Replace(t, "Found ", zwsp + "Found ");
}

// A format=flowed paste: a soft break keeps the blank before it.
std::string Flowed(const std::string& text, size_t width) {
    std::vector<std::string> out;
    for (std::string line : Lines(text)) {
        while (line.size() > width) {
            size_t cut = line.rfind(' ', width - 1);
            if (cut == std::string::npos || cut == 0) break;
            out.push_back(line.substr(0, cut + 1));
            line = line.substr(cut + 1);
        }
        out.push_back(line);
    }
    return Join(out, "\r\n");
}

const TMangling kManglings[] = {
    {"as written", [](const std::string& t) { return t; }, 0},
    {"quoted", [](const std::string& t) { return Quote(t, "> "); }},
    {"quoted twice", [](const std::string& t) { return Quote(t, ">> "); }},
    {"line ends lost", [](const std::string& t) { return Join(Lines(t), ""); }},
    {"line ends as blanks", [](const std::string& t) { return Join(Lines(t), " "); }},
    {"line ends doubled", [](const std::string& t) { return Join(Lines(t), "\r\n\r\n"); }},
    {"bare line feeds", [](const std::string& t) { return Join(Lines(t), "\n"); }},
    {"old Mac line ends", [](const std::string& t) { return Join(Lines(t), "\r"); }},
    {"wrapped at 72", [](const std::string& t) { return Wrap(t, 72); }},
    {"wrapped at 78", [](const std::string& t) { return Wrap(t, 78); }},
    {"wrapped and quoted", [](const std::string& t) { return Wrap(t, 74, "> "); }},
    {"text around it",
     [](const std::string& t) {
         return "Hello support,\r\nmy update did not work. Here is what it put on the clipboard:\r\n\r\n" + t +
                "\r\nThanks for any help!\r\n--\r\nBob, sent from my phone\r\n";
     },
     3},
    // The user's words read like run lines: they must not change the run.
    {"the user's words around it",
     [](const std::string& t) {
         return "Running it as administrator did not help.\r\nInternet down?\r\n\r\n" + t +
                "\r\nInternet down? Running it again did not help.\r\nStirpello.com down\r\n"
                "Internet Access Blocked!\r\n--\r\nRunning Windows 11 Home 64-bit\r\n";
     },
     3},
    {"typography in UTF-8, with a byte-order mark",
     [](const std::string& t) {
         return "\xEF\xBB\xBF" + Typeset(t, "\xE2\x80\x99", "\xE2\x80\xA6", "\xE2\x80\x93", "\xC2\xA0", "\xE2\x80\x8B");
     },
     0},
    {"typography in Windows-1252",
     [](const std::string& t) { return Typeset(t, "\x92", "\x85", "\x96", "\xA0", ""); }, 0},
    {"wrapped at 66", [](const std::string& t) { return Wrap(t, 66); }},
    {"wrapped at 60", [](const std::string& t) { return Wrap(t, 60); }},
    {"format=flowed at 66", [](const std::string& t) { return Flowed(t, 66); }},
    {"format=flowed and quoted", [](const std::string& t) { return Quote(Flowed(t, 60), "> "); }},
    {"UTF-16 with a byte-order mark", [](const std::string& t) { return Utf16(t); }},
    {"Windows-1252 text around it",
     [](const std::string& t) { return "Voil\xE0 le journal, \xE7" "a n'a pas march\xE9:\r\n" + t + "Merci\xA0!\r\n"; }},
};

void ExpectDiagnosis(const TRunDiagnosis& d, const TExpected& x) {
    EXPECT_EQ(d.Outcome, x.outcome);
    EXPECT_EQ(d.Trail, x.trail);
    EXPECT_FALSE(d.UtilityVersion.empty());
    if (*x.firstCause == '\0') {
        EXPECT_TRUE(d.Faults.empty()) << d.Faults.front().Text;
    } else {
        ASSERT_FALSE(d.Faults.empty());
        EXPECT_NE(d.Faults.front().Cause.find(x.firstCause), std::string::npos) << d.Faults.front().Cause;
        EXPECT_FALSE(d.Faults.front().Advice.empty());
    }
    EXPECT_TRUE(d.Unreadable.empty()) << d.Unreadable.front().Text;
    EXPECT_EQ(d.Confidence, "high") << (d.Doubts.empty() ? "" : d.Doubts.front());
}

}  // namespace

TEST(UpdlogExplain, RealLogsThroughEveryMangling) {
    for (const TExpected& x : kScenarios) {
        const std::string log = Slurp(kData + "/logs/" + x.log + ".log");
        ASSERT_FALSE(log.empty()) << x.log;
        for (const TMangling& m : kManglings) {
            SCOPED_TRACE(std::string(x.log) + ", " + m.name);
            const TExplanation e = Explain(m.apply(log));
            ASSERT_EQ(e.Runs.size(), 1u);
            ExpectDiagnosis(e.Runs[0], x);
            // The first fault is placed on the line that says it.
            if (m.shift >= 0 && !e.Runs[0].Faults.empty()) {
                const TFault& f = e.Runs[0].Faults.front();
                const std::vector<std::string> lines = Lines(log);
                const int at = f.Line - 1 - m.shift;
                ASSERT_TRUE(at >= 0 && at < static_cast<int>(lines.size())) << f.Line;
                EXPECT_EQ(lines[static_cast<size_t>(at)].find(f.Text.substr(0, 12)), 0u)
                    << "line " << f.Line << ": " << lines[static_cast<size_t>(at)] << " / " << f.Text;
            }
            if (x.outcome != std::string("stopped") || *x.firstCause != 'S')
                EXPECT_FALSE(e.Runs[0].InstalledVersion.empty());
        }
    }
}

TEST(UpdlogExplain, TwoRunsInOnePasteAndACutOne) {
    const std::string a = Slurp(kData + "/logs/site_down.log");
    const std::string b = Slurp(kData + "/logs/forged_module-first.log");
    const TExplanation two = Explain("> " + Quote(a, "> ") + "\n>\n" + Quote(b, "> "));
    ASSERT_EQ(two.Runs.size(), 2u);
    ExpectDiagnosis(two.Runs[0], kScenarios[3]);
    ExpectDiagnosis(two.Runs[1], kScenarios[6]);

    // Cut in the middle of a line: the paste is incomplete, and says so.
    for (const TExpected& x : kScenarios) {
        SCOPED_TRACE(x.log);
        const std::string log = Slurp(kData + "/logs/" + x.log + ".log");
        const std::string cut = log.substr(0, log.size() * 3 / 5);
        const TExplanation e = Explain(cut);
        ASSERT_EQ(e.Runs.size(), 1u);
        EXPECT_EQ(e.Runs[0].Outcome, "cut");
        ASSERT_FALSE(e.Runs[0].Faults.empty());
        EXPECT_NE(e.Runs[0].Faults.back().Cause.find("incomplete"), std::string::npos);
    }
}

TEST(UpdlogExplain, CauseDependsOnTheRestOfTheRun) {
    const std::string head = "Stirpello Failsafe Update Utility Version 1.0.1.0\r\n"
                             "Version 1.0.9.5 in C:\\Stirpello\\ identified for update\r\n";
    // Blocked, with a proxy configured.
    TExplanation e = Explain(head + "Using Proxy for internet access... Port=8080 Server=PROXY.EXAMPLE\r\n"
                                    "Internet Access Blocked!\r\nRunning C:\\Stirpello\\Stirpello.exe\r\n");
    ASSERT_EQ(e.Runs.size(), 1u);
    EXPECT_EQ(e.Runs[0].Faults.at(0).Cause, "internet blocked, with a proxy configured");
    EXPECT_NE(e.Runs[0].Faults.at(0).Advice.find("Tools > Settings"), std::string::npos);
    EXPECT_EQ(e.Runs[0].Trail, (std::vector<std::string>{"BLK"}));
    // A CRC-32 failure in two runs of one paste: something alters downloads.
    // The same run pasted twice is one failure, not two.
    const auto crc = [&](const char* actual) {
        return head + "Internet access test 1 succeeded\r\nAccessing internet Http://x/updates/SP109.UPD?err=1-1OK\r\n"
                      "The file was corrupted during the transmission... Actual=" + actual + " Needed=-7\r\n"
                      "Download of new update module failed\r\n";
    };
    e = Explain(crc("5") + crc("6"));
    ASSERT_EQ(e.Runs.size(), 2u);
    EXPECT_NE(e.Runs[0].Faults.at(0).Cause.find("damaged on the way"), std::string::npos);
    EXPECT_NE(e.Runs[1].Faults.at(0).Cause.find("failed its checks twice"), std::string::npos);
    e = Explain(crc("5") + "\r\n" + crc("5"));
    ASSERT_EQ(e.Runs.size(), 1u);
    EXPECT_NE(e.Runs[0].Faults.at(0).Cause.find("damaged on the way"), std::string::npos);
    EXPECT_EQ(e.Notes.size(), 1u);
    // No run at all.
    EXPECT_TRUE(Explain("Hello, I have a question about my licence.\r\n").Runs.empty());
}

namespace {

std::string StatusOf(const TRunDiagnosis& d, TRunStep step) {
    for (const TStepOutcome& o : d.Steps)
        if (o.Step == step) return o.Status;
    return "?";
}

std::string WithoutLine(const std::string& log, const std::string& starting) {
    std::vector<std::string> kept;
    for (const std::string& l : Lines(log))
        if (l.compare(0, starting.size(), starting) != 0) kept.push_back(l);
    return Join(kept, "\r\n");
}

}  // namespace

TEST(UpdlogExplain, StepsThatDidNotRunAreNotOk) {
    const TExplanation pressOk = Explain(Slurp(kData + "/logs/closed_at_press_ok.log"));
    ASSERT_EQ(pressOk.Runs.size(), 1u);
    EXPECT_EQ(StatusOf(pressOk.Runs[0], TRunStep::Download), "not run");
    EXPECT_EQ(StatusOf(pressOk.Runs[0], TRunStep::Replace), "not run");
    EXPECT_EQ(StatusOf(pressOk.Runs[0], TRunStep::Launch), "closed");
    const TExplanation running = Explain(Slurp(kData + "/logs/product_running.log"));
    EXPECT_EQ(StatusOf(running.Runs.at(0), TRunStep::Installation), "not reached");
    EXPECT_EQ(running.Runs[0].Step, "running programs");
    const TExplanation major = Explain(Slurp(kData + "/logs/outdated_major.log"));
    EXPECT_EQ(StatusOf(major.Runs.at(0), TRunStep::Replace), "ok");
    EXPECT_EQ(StatusOf(major.Runs[0], TRunStep::Programs), "ok");
}

TEST(UpdlogExplain, TheLinesOwnWordsDecide) {
    const std::string head = "Stirpello Failsafe Update Utility Version 1.5.0.3\r\n"
                             "Version 1.0.9.5 in C:\\Stirpello\\ identified for update\r\n";
    // A value holding "(S-1-1-0)" is one line, not a line and a shortcut.
    const std::string sid = "Everyone (S-1-1-0) may create files in it";
    TExplanation e = Explain(head + "The program folder can be changed by ordinary users: " + sid +
                             "\r\nInternet access test 1 succeeded\r\nRunning C:\\Stirpello\\Stirpello.exe\r\n");
    ASSERT_EQ(e.Runs.size(), 1u);
    ASSERT_FALSE(e.Runs[0].Faults.empty());
    EXPECT_NE(e.Runs[0].Faults[0].Text.find(sid), std::string::npos) << e.Runs[0].Faults[0].Text;
    for (const TFoundLine& l : e.Runs[0].Lines) EXPECT_NE(l.Id, TRunMsg::Shortcut);
    // Advice for the reason the line gives.
    const struct {
        const char* reason;
        const char* advice;
    } kReasons[] = {
        {"C:\\Stirpello\\Download is a link (junction or symbolic link)", "delete the link"},
        {"cannot create C:\\Stirpello\\Download (Access is denied.)", "by double-clicking it"},
        {"Something nobody foresaw", "folder can be written"},
    };
    for (const auto& r : kReasons) {
        SCOPED_TRACE(r.reason);
        e = Explain(head + "Internet access test 1 succeeded\r\nAn error occurred during download - " + r.reason +
                    "\r\nDownload of new update module failed\r\n");
        ASSERT_EQ(e.Runs.size(), 1u);
        ASSERT_FALSE(e.Runs[0].Faults.empty());
        EXPECT_NE(e.Runs[0].Faults[0].Cause.find("the download could not be made"), std::string::npos);
        EXPECT_NE(e.Runs[0].Faults[0].Advice.find(r.advice), std::string::npos) << e.Runs[0].Faults[0].Advice;
    }
}

// Where lines are missing the verdict says it is unsure, and why.
TEST(UpdlogExplain, GapsMakeItUnsure) {
    const std::string siteDown = Slurp(kData + "/logs/site_down.log");
    const std::vector<std::string> lines = Lines(siteDown);
    const struct {
        const char* name;
        std::string paste;
        const char* doubt;
    } kGaps[] = {
        {"the trail says more than the lines", WithoutLine(siteDown, "Stirpello.com down"), "holds GDW"},
        {"a line missing in the middle", WithoutLine(siteDown, "Version 1.0.9.5"), "missing in the middle"},
        {"the beginning missing", Join({lines.begin() + 9, lines.end()}, "\n"), "starts inside"},
        {"cut", siteDown.substr(0, siteDown.size() / 2), "ends in the middle"},
    };
    for (const auto& g : kGaps) {
        SCOPED_TRACE(g.name);
        const TExplanation e = Explain(g.paste);
        ASSERT_EQ(e.Runs.size(), 1u);
        EXPECT_EQ(e.Runs[0].Confidence, "low");
        std::string doubts;
        for (const std::string& d : e.Runs[0].Doubts) doubts += d + "; ";
        EXPECT_NE(doubts.find(g.doubt), std::string::npos) << doubts;
        std::ostringstream text, json;
        WriteExplanation(e, text);
        WriteExplanationJson(e, json);
        EXPECT_NE(text.str().find("Unsure: "), std::string::npos) << text.str();
        EXPECT_NE(json.str().find("\"confidence\": \"low\""), std::string::npos);
    }
}

// The verdict comes first, on the latest run; the details follow.
TEST(UpdlogExplain, VerdictFirstOnTheLatestRun) {
    const TExplanation e = Explain(Slurp(kData + "/logs/site_down.log") + "\r\n" +
                                   Slurp(kData + "/logs/no_module.log"));
    ASSERT_EQ(e.Runs.size(), 2u);
    std::ostringstream out;
    WriteExplanation(e, out);
    const std::vector<std::string> lines = Lines(out.str());
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0].find("Run 2 of 2 "), 0u) << lines[0];
    EXPECT_NE(lines[0].find("stopped, at step 3: replace module"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[2].find("Tell the user: copy Stirpello.exe from the Download folder"), 0u) << lines[2];
    EXPECT_NE(out.str().find("Reply to the user:\n  Thank you for the log."), std::string::npos);
    std::ostringstream json;
    WriteExplanationJson(e, json);
    EXPECT_EQ(json.str().find("{\"schema\": 3,"), 0u);
    EXPECT_NE(json.str().find("\"verdict\": {\"run\": 2, \"of\": 2, \"outcome\": \"stopped\""), std::string::npos);
}

// Pastes crafted to be heavy (a shortcut line's start over and over, alone
// or between lines of junk, then a real log) are read to the end: the latest
// run keeps its verdict, and the earliest lines past the bound are left out
// with a note.
TEST(UpdlogExplain, HeavyPasteKeepsTheLatestRun) {
    const std::string site = Slurp(kData + "/logs/site_down.log");
    const TExplanation alone = Explain(site);
    ASSERT_FALSE(alone.Runs.empty());
    ASSERT_FALSE(alone.Runs.back().Faults.empty());
    EXPECT_TRUE(alone.Notes.empty());
    // Junk between the lines counts toward the bound as well.
    const std::pair<const char*, size_t> kHeavy[] = {{"1) \n", TParsedPaste::kMaxPasteLines + 5000},
                                                     {"1)\nx y\n", TParsedPaste::kMaxPasteLines / 2 + 5000}};
    for (const auto& [unit, times] : kHeavy) {
        SCOPED_TRACE(unit);
        std::string paste;
        for (size_t i = 0; i < times; ++i) paste += unit;
        const TExplanation e = Explain(paste + site);
        ASSERT_FALSE(e.Runs.empty());
        EXPECT_EQ(e.Runs.back().Outcome, alone.Runs.back().Outcome);
        EXPECT_EQ(e.Runs.back().Step, alone.Runs.back().Step);
        ASSERT_FALSE(e.Runs.back().Faults.empty());
        EXPECT_EQ(e.Runs.back().Faults[0].Advice, alone.Runs.back().Faults[0].Advice);
        ASSERT_FALSE(e.Notes.empty());
        EXPECT_NE(e.Notes[0].find("only its last 50000 were read"), std::string::npos) << e.Notes[0];
    }
}

// Every line the run can write is in the table with an explanation, and the
// reader finds each one, alone and among all the others.
TEST(UpdlogExplain, EveryRunMessageIsExplainedAndRecognised) {
    std::string all = "Stirpello Failsafe Update Utility Version 1.0.1.0\r\n";
    std::vector<TRunMsg> expected{TRunMsg::UtilityVersion};
    for (const TRunMessage* m = RunMessagesBegin(); m != RunMessagesEnd(); ++m) {
        SCOPED_TRACE(m->Text);
        EXPECT_EQ(m, &RunMessage(m->Id)) << "rows out of TRunMsg order";
        EXPECT_NE(std::string(m->Cause), "");
        if (m->Kind == TLineKind::Fault || m->Kind == TLineKind::Stop || m->Kind == TLineKind::Closed)
            EXPECT_NE(std::string(m->Advice), "") << "a fault without advice";
        // A sample value for each placeholder, by its kind.
        std::vector<std::string> args;
        for (const char* t = m->Text; (t = std::strchr(t, '{')) != nullptr; ++t) {
            switch (t[1]) {
            case 'v': args.push_back("1.4.0.1"); break;
            case '#': args.push_back("3"); break;
            case 'w': args.push_back("Stirpello.com"); break;
            case 'p': args.push_back("C:\\Program Files (x86)\\Stirpello\\Stirpello.exe"); break;
            default: args.push_back("C:\\Program Files (x86)\\Stirpello\\ - value"); break;
            }
        }
        ASSERT_LE(args.size(), 2u);
        const std::string line = args.empty()     ? FormatRunMessage(m->Id, {})
                                 : args.size() == 1 ? FormatRunMessage(m->Id, {args[0]})
                                                    : FormatRunMessage(m->Id, {args[0], args[1]});
        const TParsedPaste alone = ParsePaste(line);
        ASSERT_EQ(alone.Lines.size(), 1u) << line;
        EXPECT_EQ(alone.Lines[0].Id, m->Id) << line;
        if (m->Id != TRunMsg::UtilityVersion) {
            all += line + "\r\n";
            expected.push_back(m->Id);
        }
    }
    // Lines that fileutil words and the run logs as they come.
    for (const auto& held : {std::make_pair(HeldFileWaitText("C:\\Stirpello\\Download\\Stirpello.exe", "Access denied."),
                                            TRunMsg::HeldFileWait),
                             std::make_pair(HeldFileGiveUpText("C:\\Stirpello\\Stirpello.ini", "Sharing violation."),
                                            TRunMsg::HeldFileGiveUp)}) {
        all += held.first + "\r\n";
        expected.push_back(held.second);
    }
    const TParsedPaste parsed = ParsePaste(all);
    std::vector<TRunMsg> found;
    for (const auto& l : parsed.Lines) found.push_back(l.Id);
    EXPECT_EQ(found, expected);
    EXPECT_TRUE(parsed.Garbage.empty());
}

namespace {

// The CSV's cell in column `want` of the first row of `table` whose column
// `keyColumn` holds `key` (any row of the table when keyColumn is "");
// "?" when there is none.
std::string CsvCell(const std::string& csv, const std::string& table, const std::string& keyColumn,
                    const std::string& key, const std::string& want) {
    const std::vector<std::string> lines = Lines(csv);
    const auto fields = [](const std::string& line) {
        std::vector<std::string> out(1);
        for (char c : line) {
            if (c == ',') out.emplace_back();
            else out.back() += c;
        }
        return out;
    };
    const std::vector<std::string> head = fields(lines.at(0));
    const auto column = [&](const std::string& name) {
        return static_cast<size_t>(std::find(head.begin(), head.end(), name) - head.begin());
    };
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::vector<std::string> f = fields(lines[i]);
        if (f.size() != head.size()) return "row " + std::to_string(i) + " has " + std::to_string(f.size()) + " fields";
        if (f[0] == table && (keyColumn.empty() || f.at(column(keyColumn)) == key)) return f.at(column(want));
    }
    return "?";
}

}  // namespace

TEST(UpdlogTrails, FixtureGivesExactCounts) {
    TTrailCounts c;
    std::string error;
    ASSERT_TRUE(CountFile(kData + "/access.log", c, error)) << error;
    EXPECT_EQ(c.Lines, 12u);
    EXPECT_EQ(c.Runs, 5u);
    EXPECT_EQ(c.Other, 4u);
    EXPECT_EQ(c.Malformed, 3u);
    using Table = std::map<std::string, uint64_t>;
    EXPECT_EQ(c.Codes, (Table{{"1OK", 3}, {"UMX", 1}, {"GDW", 1}, {"INF", 1}, {"BLK", 1}}));
    EXPECT_EQ(c.Trails, (Table{{"1OK", 1}, {"UMX-1OK-GDW", 1}, {"INF-BLK", 1}, {"(none)", 1}, {"1OK-1OK", 1}}));
    EXPECT_EQ(c.Versions, (Table{{"10100 1095", 3}, {"10100 1080", 1}, {"10099 109", 1}}));
    EXPECT_EQ(c.Days, (Table{{"2026-12-10", 3}, {"2026-12-11", 2}}));
    EXPECT_EQ(c.Statuses, (Table{{"SP109.UPD 200", 4}, {"SP109.UPD 304", 1}, {"SP108.UPD 200", 1}}));
    std::ostringstream json;
    c.WriteJson(json);
    EXPECT_NE(json.str().find("{\"code\": \"1OK\", \"runs\": 3, \"share\": 0.6000}"), std::string::npos) << json.str();
}

TEST(UpdlogTrails, GzipAndPartialsMergeToTheSameCounts) {
    testsupport::TScratchDir dir("updlog-trails");
    const std::vector<std::string> lines = Lines(Slurp(kData + "/access.log"));
    // Two halves, one of them compressed.
    const std::string first = dir / "a.log", second = dir / "b.log.gz";
    {
        std::ofstream(first, std::ios::binary) << Join({lines.begin(), lines.begin() + 5}, "\n");
        gzFile gz = gzopen(second.c_str(), "wb");
        const std::string rest = Join({lines.begin() + 5, lines.end()}, "\r\n");
        gzwrite(gz, rest.data(), static_cast<unsigned>(rest.size()));
        gzclose(gz);
    }
    TTrailCounts whole, a, b, merged;
    std::string error;
    ASSERT_TRUE(CountFile(kData + "/access.log", whole, error)) << error;
    ASSERT_TRUE(CountFile(first, a, error)) << error;
    ASSERT_TRUE(CountFile(second, b, error)) << error;
    std::stringstream pa, pb;
    a.WritePartial(pa);
    b.WritePartial(pb);
    ASSERT_TRUE(merged.ReadPartial(pa, error)) << error;
    ASSERT_TRUE(merged.ReadPartial(pb, error)) << error;
    std::ostringstream x, y;
    whole.WritePartial(x);
    merged.WritePartial(y);
    EXPECT_EQ(x.str(), y.str());
    // The partials' lines concatenated and sorted, as a reducer gets them.
    std::vector<std::string> shuffled = Lines(pa.str() + pb.str());
    std::sort(shuffled.begin(), shuffled.end());
    std::stringstream sorted(Join(shuffled, "\n"));
    TTrailCounts reduced;
    ASSERT_TRUE(reduced.ReadPartial(sorted, error)) << error;
    std::ostringstream z;
    reduced.WritePartial(z);
    EXPECT_EQ(x.str(), z.str());

    // A damaged partial is refused, and adds nothing.
    std::stringstream bad("updlog-partial 1\nruns 5\ncode 1OK many\n");
    TTrailCounts untouched;
    EXPECT_FALSE(untouched.ReadPartial(bad, error));
    EXPECT_EQ(untouched.Runs, 0u);
    std::stringstream other("hello\n");
    EXPECT_FALSE(untouched.ReadPartial(other, error));

    // A gzip file cut short: what was read counts, and the reader says so.
    const std::string gz = Slurp(second);
    const std::string cut = dir / "cut.log.gz";
    std::ofstream(cut, std::ios::binary) << gz.substr(0, gz.size() - 12);
    TTrailCounts partial;
    EXPECT_FALSE(CountFile(cut, partial, error));
    EXPECT_NE(error, "");
}

// Known codes are never lost to "(other)", however much junk comes first, and
// partial counts merge to the one count byte for byte, in either order.
TEST(UpdlogTrails, ExactPastTheJunkCapAndMergeable) {
    const auto line = [](const std::string& trail) {
        return "10.0.0.1 - - [10/Dec/2026:10:00:01 +0000] \"GET /updates/SP109.UPD?updating=1095&err=10100-" + trail +
               " HTTP/1.1\" 200 5";
    };
    // More junk in each file than the table keeps, and before the known codes.
    const size_t junk = TTrailCounts::kMaxKeys + 500;
    TTrailCounts whole, a, b;
    for (int half = 0; half < 2; ++half) {
        TTrailCounts& part = half ? b : a;
        for (size_t i = 0; i < junk; ++i) {
            const std::string l = line("J" + std::to_string(half) + "x" + std::to_string(i * 7919 % junk));
            part.AddLine(l);
            whole.AddLine(l);
        }
        for (int i = 0; i < 50; ++i) {
            part.AddLine(line("1OK-GDW"));
            whole.AddLine(line("1OK-GDW"));
        }
    }
    EXPECT_EQ(whole.Codes.at("GDW"), 100u);
    EXPECT_EQ(whole.Trails.at("1OK-GDW"), 100u);
    EXPECT_EQ(whole.DayCodes.at("2026-12-10 GDW"), 100u);
    uint64_t trails = 0;
    for (const auto& kv : whole.Trails) trails += kv.second;
    EXPECT_EQ(trails, whole.Runs);
    EXPECT_GT(whole.Trails.at("(other)"), 0u);
    EXPECT_LE(whole.Trails.size(), TTrailCounts::kMaxKeys + 2);

    std::ostringstream expected;
    whole.WritePartial(expected);
    std::stringstream pa, pb;
    a.WritePartial(pa);
    b.WritePartial(pb);
    for (bool reversed : {false, true}) {
        SCOPED_TRACE(reversed ? "b then a" : "a then b");
        std::stringstream first(reversed ? pb.str() : pa.str()), second(reversed ? pa.str() : pb.str());
        TTrailCounts merged;
        std::string error;
        ASSERT_TRUE(merged.ReadPartial(first, error)) << error;
        ASSERT_TRUE(merged.ReadPartial(second, error)) << error;
        std::ostringstream got;
        merged.WritePartial(got);
        EXPECT_TRUE(got.str() == expected.str()) << "the merged partials differ from the one count";
    }
}

TEST(UpdlogTrails, RequestsWithEscapedQuotesAndWeeks) {
    TTrailCounts c;
    c.AddLine("10.0.0.1 - - [10/Dec/2026:10:00:01 +0000] \"GET /updates/SP109.UPD?q=\\\"x\\\"&err=10100-1OK HTTP/1.1\" 200 5");
    c.AddLine("10.0.0.1 - - [10/Dec/2026:10:00:01 +0000] \"GET /a\\\\\" 404 5");
    c.AddLine("10.0.0.1 - - [10/Dec/2026:10:00:01 +0000] \"GET /updates/SP108.UPD?err=10100-1OK HTTP/1.1\" 404 5");
    EXPECT_EQ(c.Runs, 2u);
    EXPECT_EQ(c.Other, 1u);
    EXPECT_EQ(c.Malformed, 0u);
    EXPECT_EQ(c.Statuses, (std::map<std::string, uint64_t>{{"SP108.UPD 404", 1}, {"SP109.UPD 200", 1}}));
    const std::pair<const char*, const char*> kWeeks[] = {
        {"2026-12-10", "2026-W50"}, {"2021-01-03", "2020-W53"}, {"2024-12-30", "2025-W01"},
        {"2026-01-01", "2026-W01"}, {"2027-01-01", "2026-W53"}, {"2026-13-01", ""}, {"junk", ""}};
    for (const auto& w : kWeeks) EXPECT_EQ(IsoWeek(w.first), w.second) << w.first;
    // Days that do not exist are malformed lines, not days of their own.
    for (const char* day : {"99/Nov/2026", "00/Nov/2026", "31/Apr/2026", "29/Feb/2026", "30/Feb/2024"}) {
        TTrailCounts d;
        d.AddLine(std::string("10.0.0.1 - - [") + day + ":10:00:01 +0000] \"GET /updates/SP109.UPD?err=10100-1OK HTTP/1.1\" 200 5");
        EXPECT_EQ(d.Malformed, 1u) << day;
        EXPECT_TRUE(d.Days.empty()) << day;
    }
    TTrailCounts leap;
    leap.AddLine("10.0.0.1 - - [29/Feb/2024:10:00:01 +0000] \"GET /updates/SP109.UPD?err=10100-1OK HTTP/1.1\" 200 5");
    EXPECT_EQ(leap.Runs, 1u);
}

// Retries against people: one client retrying many times is many runs and
// one client; the estimate holds per week and per code.
TEST(UpdlogTrails, ClientsNextToRuns) {
    const auto line = [](int client, const std::string& day, const std::string& trail) {
        return "10.0." + std::to_string(client / 256) + "." + std::to_string(client % 256) + " - - [" + day +
               ":10:00:01 +0000] \"GET /updates/SP109.UPD?updating=1095&err=10100-" + trail + " HTTP/1.1\" 200 5";
    };
    TTrailCounts c;
    for (int i = 0; i < 60; ++i) c.AddLine(line(7, "10/Dec/2026", "GDW"));  // week 50
    for (int client = 0; client < 3; ++client) c.AddLine(line(client, "17/Dec/2026", "1OK"));  // week 51
    EXPECT_EQ(c.Runs, 63u);
    EXPECT_EQ(c.Clients.Estimate(), 4u);
    EXPECT_EQ(c.WeekClients.at("2026-W50").Estimate(), 1u);
    EXPECT_EQ(c.WeekClients.at("2026-W51").Estimate(), 3u);
    EXPECT_EQ(c.CodeClients.at("GDW").Estimate(), 1u);
    std::ostringstream text, json;
    c.WriteTable(text);
    c.WriteJson(json);
    EXPECT_NE(text.str().find("distinct clients of the runs: about 4 "), std::string::npos) << text.str();
    EXPECT_NE(json.str().find("\"week\": \"2026-W50\", \"runs\": 60, \"clients\": 1,"), std::string::npos) << json.str();
    std::ostringstream csv, html;
    c.WriteCsv(csv);
    c.WriteHtml(html);
    EXPECT_EQ(CsvCell(csv.str(), "total", "", "", "clients"), "4") << csv.str();
    EXPECT_EQ(CsvCell(csv.str(), "week", "week", "2026-W51", "clients"), "3") << csv.str();
    EXPECT_NE(html.str().find("about 4 distinct clients"), std::string::npos);
    EXPECT_NE(html.str().find("<td class=\"n\">60</td><td class=\"n\">1</td>"), std::string::npos);

    // Within the stated error on many distinct addresses, and merging halves
    // gives the sketch of the whole, however the halves were kept.
    for (const uint32_t distinct : {10u, 3000u, 100000u}) {
        SCOPED_TRACE(distinct);
        TClientSketch whole, a, b;
        for (uint32_t i = 0; i < distinct; ++i) {
            const std::string address = std::to_string(i >> 16) + "." + std::to_string((i >> 8) & 255) + "." +
                                        std::to_string(i & 255) + ".9";
            const uint64_t h = TClientSketch::Hash(address);
            whole.Add(h);
            whole.Add(h);  // a retry changes nothing
            (i % 3 ? a : b).Add(h);
        }
        const double error = std::abs(static_cast<double>(whole.Estimate()) - distinct) / distinct;
        EXPECT_LE(error, 2 * TClientSketch::kRelativeError + (distinct < 100 ? 0.1 : 0)) << whole.Estimate();
        TClientSketch merged = a;
        merged.Merge(b);
        EXPECT_EQ(merged.Encode(), whole.Encode());
        TClientSketch read;
        ASSERT_TRUE(read.MergeEncoded(b.Encode()));
        ASSERT_TRUE(read.MergeEncoded(a.Encode()));
        EXPECT_EQ(read.Encode(), whole.Encode());
    }
    TClientSketch damaged;
    for (const char* bad : {"", "s12", "s4000ff", "sffff01", "x", "d00"}) EXPECT_FALSE(damaged.MergeEncoded(bad)) << bad;
    EXPECT_TRUE(damaged.Empty());
}

// Counting a file in batches gives what counting line by line gives, and
// partials of a larger log (dense sketches, junk past the batch) merge to
// the one count byte for byte.
TEST(UpdlogTrails, BatchedCountAndClientsMerge) {
    testsupport::TScratchDir dir("updlog-clients");
    std::vector<std::string> lines;
    for (int i = 0; i < 30000; ++i) {
        const int client = i * 7 % 9000;
        const std::string trail = i % 5 == 0 ? "J" + std::to_string(i) : (i % 3 ? "1OK" : "UMX-GDW");
        lines.push_back("10." + std::to_string(client / 256) + "." + std::to_string(client % 256) + ".1 - - [" +
                        std::to_string(1 + i % 28) + "/Nov/2026:10:00:01 +0000] \"GET /updates/SP10" +
                        std::to_string(i % 3) + ".UPD?err=1010" + std::to_string(i % 2) + "-" + trail +
                        " HTTP/1.1\" " + (i % 11 ? "200" : "404") + " 5");
        if (i % 13 == 0) lines.push_back("junk " + std::to_string(i));
    }
    const std::string first = dir / "a.log", second = dir / "b.log";
    std::ofstream(first, std::ios::binary) << Join({lines.begin(), lines.begin() + 17000}, "\n");
    std::ofstream(second, std::ios::binary) << Join({lines.begin() + 17000, lines.end()}, "\n");
    TTrailCounts byLine, whole, a, b;
    for (const auto& l : lines) byLine.AddLine(l);
    std::string error;
    ASSERT_TRUE(CountFile(first, whole, error)) << error;
    ASSERT_TRUE(CountFile(second, whole, error)) << error;
    ASSERT_TRUE(CountFile(first, a, error)) << error;
    ASSERT_TRUE(CountFile(second, b, error)) << error;
    std::ostringstream x, y, z;
    byLine.WritePartial(x);
    whole.WritePartial(y);
    EXPECT_TRUE(x.str() == y.str()) << "batched and line-by-line counts differ";
    EXPECT_NEAR(static_cast<double>(whole.Clients.Estimate()), 9000, 9000 * 2 * TClientSketch::kRelativeError);

    std::stringstream pa, pb;
    a.WritePartial(pa);
    b.WritePartial(pb);
    std::vector<std::string> shuffled = Lines(pb.str() + pa.str());
    std::sort(shuffled.begin(), shuffled.end());
    std::stringstream sorted(Join(shuffled, "\n"));
    TTrailCounts merged;
    ASSERT_TRUE(merged.ReadPartial(sorted, error)) << error;
    merged.WritePartial(z);
    EXPECT_TRUE(y.str() == z.str()) << "the merged partials differ from the one count";

    // A partial written before clients were counted: runs, but no sketch.
    // The clients are unknown, not "about 0".
    std::stringstream old("updlog-partial 1\nlines 5\nruns 5\ncode 1OK 5\n");
    TTrailCounts older;
    ASSERT_TRUE(older.ReadPartial(old, error)) << error;
    std::ostringstream oldText, oldJson, oldCsv, oldHtml;
    older.WriteTable(oldText);
    older.WriteJson(oldJson);
    older.WriteCsv(oldCsv);
    older.WriteHtml(oldHtml);
    EXPECT_NE(oldText.str().find("distinct clients of the runs: unknown"), std::string::npos) << oldText.str();
    EXPECT_NE(oldJson.str().find("\"clients\": {\"estimate\": null"), std::string::npos) << oldJson.str();
    EXPECT_EQ(CsvCell(oldCsv.str(), "total", "", "", "clients"), "") << oldCsv.str();
    EXPECT_EQ(CsvCell(oldCsv.str(), "total", "", "", "runs"), "5") << oldCsv.str();
    EXPECT_NE(oldHtml.str().find("distinct clients unknown"), std::string::npos);

    std::stringstream damaged("updlog-partial 1\nweekclients 2026-W50 s0001zz\n");
    TTrailCounts untouched;
    EXPECT_FALSE(untouched.ReadPartial(damaged, error));
    EXPECT_NE(error.find("line 2"), std::string::npos) << error;
}

// "Is the new release helping?": code shares per utility version, overall
// and per week; this week against the last; partial weeks and days; failure
// charts fitted to the failures; catalogue errors flagged.
TEST(UpdlogTrails, ByUtilityVersionThisWeekAgainstTheLast) {
    std::string log;
    const auto run = [&](const char* day, const char* time, const char* utility, const char* trail) {
        log += std::string("10.1.2.3 - - [") + day + ":" + time + " +0100] \"GET /updates/SP109.UPD?from=utility&updating=1095&err=" +
               utility + "-" + trail + " HTTP/1.1\" 200 512 \"-\" \"Mozilla/3.0\"\n";
    };
    // 2026-W49 (Monday 30 Nov to Sunday 6 Dec, whole): the old release, 6% IER.
    for (int i = 0; i < 200; ++i)
        run(i == 0 ? "30/Nov/2026" : i == 199 ? "06/Dec/2026" : "02/Dec/2026", i == 0 ? "00:00:05" : "12:00:00", "15002",
            i < 12 ? "IER-1OK" : "1OK");
    // 2026-W50 up to Thursday afternoon (partial): the new release, 0.5% IER,
    // and the site down for a while.
    for (int i = 0; i < 200; ++i)
        run(i < 100 ? "07/Dec/2026" : "10/Dec/2026", i == 199 ? "15:00:00" : "11:00:00", "15003",
            i == 0 ? "IER-1OK" : i < 14 ? "1OK-GDW" : "1OK");
    log += "10.0.0.9 - - [08/Dec/2026:10:00:00 +0100] \"GET /updates/SP107.UPD?from=utility&err=15003-1OK HTTP/1.1\" 404 0\n";
    TTrailCounts c;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) c.AddLine(line);

    const TTrailsView v = MakeTrailsView(c);
    EXPECT_EQ(v.FirstDay, "2026-11-30");
    EXPECT_EQ(v.LastDay, "2026-12-10");
    EXPECT_FALSE(v.FirstDayPartial);
    EXPECT_TRUE(v.LastDayPartial);
    ASSERT_EQ(v.Weeks.size(), 2u);
    EXPECT_FALSE(v.Weeks[0].Partial);
    EXPECT_TRUE(v.Weeks[1].Partial);
    EXPECT_EQ(v.ThisWeek, "2026-W50");
    EXPECT_EQ(v.LastWeek, "2026-W49");
    ASSERT_GE(v.Headline.size(), 2u);
    EXPECT_EQ(v.Headline[0].Code, "GDW");
    EXPECT_NEAR(v.Headline[0].Share, 13 / 201.0, 1e-9);
    EXPECT_EQ(v.Headline[0].Previous, 0);
    EXPECT_EQ(v.Headline[1].Code, "IER");
    EXPECT_NEAR(v.Headline[1].Previous, 0.06, 1e-9);
    // Funnel: clean through the settings file, then through the site's answer.
    ASSERT_EQ(v.Funnel.size(), 5u);
    EXPECT_EQ(v.Funnel[0].Runs, 401u);
    EXPECT_EQ(v.Funnel[2].Runs, 401u - 13);
    EXPECT_EQ(v.Funnel[4].Runs, 401u - 13 - 13);

    std::ostringstream json, csv, html, text;
    c.WriteJson(json);
    c.WriteCsv(csv);
    c.WriteHtml(html);
    c.WriteTable(text);
    EXPECT_NE(json.str().find("\"utilities\": [\n  {\"utility\": \"15002\", \"runs\": 200, \"codes\": [{\"code\": \"1OK\", "
                              "\"runs\": 200, \"share\": 1.0000}, {\"code\": \"IER\", \"runs\": 12, \"share\": 0.0600}]},"),
              std::string::npos)
        << json.str();
    EXPECT_NE(json.str().find("{\"code\": \"IER\", \"runs\": 1, \"share\": 0.0050}"), std::string::npos);
    EXPECT_NE(json.str().find("\"headline\": {\"week\": \"2026-W50\", \"partial\": true, \"previous_week\": \"2026-W49\""),
              std::string::npos);
    EXPECT_NE(json.str().find("{\"catalogue\": \"SP107.UPD\", \"status\": \"404\", \"requests\": 1, \"error\": true}"),
              std::string::npos);
    EXPECT_NE(text.str().find("This week, 2026-W50 (partial), against 2026-W49: GDW 6.5% (+6.5 points from 0.0%)"),
              std::string::npos)
        << text.str();

    // CSV: one field per column, requests apart from runs, day-by-code rows.
    EXPECT_EQ(CsvCell(csv.str(), "status", "catalogue", "SP107.UPD", "status"), "404");
    EXPECT_EQ(CsvCell(csv.str(), "status", "catalogue", "SP107.UPD", "requests"), "1");
    EXPECT_EQ(CsvCell(csv.str(), "status", "catalogue", "SP107.UPD", "runs"), "");
    EXPECT_EQ(CsvCell(csv.str(), "day code", "day", "2026-11-30", "code"), "1OK");
    EXPECT_EQ(CsvCell(csv.str(), "utility code", "utility", "15003", "code"), "1OK");
    EXPECT_EQ(CsvCell(csv.str(), "week utility code", "utility", "15002", "week"), "2026-W49");
    EXPECT_EQ(CsvCell(csv.str(), "day", "day", "2026-12-10", "partial"), "yes");
    EXPECT_EQ(CsvCell(csv.str(), "nonesuch", "", "", "runs"), "?");  // and every row has every column

    // The report: failures on a fitted scale, the success code not charted
    // as a line, named codes, accessible charts, the catalogue error flagged.
    const std::string page = html.str();
    EXPECT_EQ(page.find("<title>1OK</title></polyline>"), std::string::npos);
    EXPECT_NE(page.find("<title>GDW</title></polyline>"), std::string::npos);
    EXPECT_NE(page.find("text-anchor=\"end\">10%</text>"), std::string::npos);  // the week chart's top
    EXPECT_NE(page.find("SP107.UPD answered 404 to 1 request"), std::string::npos);
    EXPECT_NE(page.find(RunMessage(TRunMsg::IniError).Cause), std::string::npos);
    EXPECT_NE(page.find("never reaches this site"), std::string::npos);
    EXPECT_NE(page.find("2026-W50*"), std::string::npos);
    size_t charts = 0;
    for (size_t at = page.find("<svg"); at != std::string::npos; at = page.find("<svg", at + 1), ++charts)
        EXPECT_NE(page.substr(at, page.find('>', at) - at).find("aria-labelledby"), std::string::npos);
    EXPECT_GE(charts, 5u);

    // A partial count keeps all of it.
    std::stringstream partial;
    c.WritePartial(partial);
    TTrailCounts merged;
    std::string error;
    ASSERT_TRUE(merged.ReadPartial(partial, error)) << error;
    std::ostringstream again;
    merged.WriteJson(again);
    EXPECT_EQ(again.str(), json.str());
}

// The start times decide which run the verdict is on, whatever the paste's
// order, and the verdict says so where the order alone would mislead.
TEST(UpdlogExplain, VerdictOnTheRunThatStartedLast) {
    const std::string blocked = Slurp(kData + "/logs/no_internet.log");   // 12/11/2026 12:10:04 AM
    const std::string launched = Slurp(kData + "/logs/site_down.log");    // 12/11/2026 12:10:11 AM
    const auto at = [](std::string log, const std::string& when) {
        const size_t from = log.find("is: ") + 4;
        return log.replace(from, log.find('\n', from) - from, when);
    };
    const struct {
        const char* name;
        std::string paste;
        size_t verdict;  // from 1
        const char* note;  // in the verdict's note; "" for none
    } kCases[] = {
        {"log order", blocked + launched, 2, ""},
        {"newest first", at(blocked, "12/12/2026 9:00:00 AM") + launched, 1, "pasted newest first"},
        {"12 PM is noon", at(blocked, "12/11/2026 12:30:00 PM") + at(launched, "12/11/2026 1:00:00 PM"), 2, ""},
        {"day first", at(blocked, "13.12.2026 08:00:00") + at(launched, "12.12.2026 23:00:00"), 1, "newest first"},
        {"year first", at(blocked, "2026-12-13 08:00:00") + at(launched, "2026-12-12 23:00:00"), 1, "newest first"},
        {"a time missing", WithoutLine(blocked, "Current date/time") + "\r\n" + launched, 2, "run 1 shows no start time"},
        {"out of order", at(blocked, "12/11/2026 1:00:00 AM") + at(launched, "12/12/2026 1:00:00 AM") +
                             at(launched, "12/10/2026 1:00:00 AM").replace(0, 0, "\r\n"),
         2, "not in the paste's order"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const TExplanation e = Explain(c.paste);
        ASSERT_GE(e.Runs.size(), 2u);
        EXPECT_EQ(e.Verdict + 1, c.verdict);
        if (*c.note) EXPECT_NE(e.VerdictNote.find(c.note), std::string::npos) << e.VerdictNote;
        else EXPECT_EQ(e.VerdictNote, "");
        std::ostringstream text;
        WriteExplanation(e, text);
        const std::vector<std::string> out = Lines(text.str());
        EXPECT_EQ(out.at(0).find("Run " + std::to_string(c.verdict) + " of "), 0u) << out[0];
        EXPECT_NE(text.str().find("\nOther runs: run "), std::string::npos) << text.str();
    }
    // The newest-first case in full: today's run failed, yesterday's launched.
    const TExplanation e = Explain(at(blocked, "12/12/2026 9:00:00 AM") + launched);
    std::ostringstream text, json;
    WriteExplanation(e, text);
    WriteExplanationJson(e, json);
    EXPECT_NE(text.str().find("Other runs: run 2 (started 12/11/2026 12:10:11 AM): launched\n"), std::string::npos)
        << text.str();
    EXPECT_NE(json.str().find("\"verdict\": {\"run\": 1, \"of\": 2, \"outcome\": \"launched\", \"step\": \"step 4: launch\", "
                              "\"why\": \"neither the internet test page"),
              std::string::npos)
        << json.str();
    EXPECT_EQ(StartTimeKey("not a time", false), -1);
    EXPECT_LT(StartTimeKey("12/11/2026 12:59:59 AM", false), StartTimeKey("12/11/2026 1:00:00 AM", false));
    EXPECT_LT(StartTimeKey("12/11/2026 11:59:59 AM", false), StartTimeKey("12/11/2026 12:00:00 PM", false));
}

// What the reply says is what the desk can send: every fault the message
// table can produce, read as a customer would.
TEST(UpdlogExplain, EveryReplyCanBeSentAsItStands) {
    const std::string head = "Stirpello Failsafe Update Utility Version 1.5.0.3\r\n"
                             "Current date/time is: 12/11/2026 12:10:04 AM\r\n"
                             "Version 1.0.9.5 in C:\\Stirpello\\ identified for update\r\n";
    const char* const kDeskOnly[] = {"webread", "the line", "ask for", "files sent by others", "the desk", "trail",
                                     "cross at", "as administrator", "{", "(S-1", "the utility again", "  ", " ."};
    const auto readable = [&](const std::string& reply, const std::string& what) {
        SCOPED_TRACE(what + ": " + reply);
        EXPECT_EQ(reply.find("Thank you for the log."), 0u);
        for (const char* bad : kDeskOnly) EXPECT_EQ(reply.find(bad), std::string::npos) << bad;
        size_t asks = 0;
        for (size_t at = reply.find("send us"); at != std::string::npos; at = reply.find("send us", at + 1)) ++asks;
        EXPECT_LE(asks, 1u) << "asks for the log twice";
        // Sentences: each line starts with a capital and ends with a full stop.
        for (const std::string& line : Lines(reply)) {
            ASSERT_FALSE(line.empty());
            EXPECT_TRUE(std::isupper(static_cast<unsigned char>(line[0]))) << line;
            EXPECT_EQ(line.back(), '.') << line;
        }
    };
    size_t faults = 0;
    for (const TRunMessage* m = RunMessagesBegin(); m != RunMessagesEnd(); ++m) {
        if (m->Kind != TLineKind::Fault && m->Kind != TLineKind::Stop && m->Kind != TLineKind::Closed) continue;
        std::vector<std::string> args;
        for (const char* t = m->Text; (t = std::strchr(t, '{')) != nullptr; ++t)
            args.push_back(t[1] == '#' ? "3" : t[1] == 'v' ? "1.4.0.1" : t[1] == 'w' ? "Stirpello.com" : "C:\\Stirpello\\x");
        const std::string line = args.empty()     ? FormatRunMessage(m->Id, {})
                                 : args.size() == 1 ? FormatRunMessage(m->Id, {args[0]})
                                                    : FormatRunMessage(m->Id, {args[0], args[1]});
        // A fault that lets the run go on, in a run that started the module.
        const std::string tail = m->Kind == TLineKind::Fault
                                     ? "\r\nInternet access test 1 succeeded\r\nRunning C:\\Stirpello\\Stirpello.exe\r\n"
                                     : "\r\n";
        const TExplanation e = Explain(head + line + tail);
        ASSERT_EQ(e.Runs.size(), 1u) << line;
        ASSERT_FALSE(e.Runs[0].Faults.empty()) << line;
        EXPECT_FALSE(e.Runs[0].Faults[0].Said.empty()) << "no words for the user: " << m->Text;
        readable(ReplyToUser(e.Runs[0]), m->Text);
        ++faults;
    }
    EXPECT_GT(faults, 25u);
    // Causes that depend on the rest of the run, the system's own reasons, a cut paste.
    const std::string proxy = head + "Using Proxy for internet access... Port=8080 Server=PROXY\r\nInternet Access Blocked!\r\n"
                                     "Running C:\\Stirpello\\Stirpello.exe\r\n";
    const std::string reason = head + "Internet access test 1 succeeded\r\nAn error occurred during download - "
                                      "cannot create C:\\Stirpello\\Download (Access is denied.)\r\n"
                                      "Download of new update module failed\r\n";
    const std::string site = Slurp(kData + "/logs/site_down.log");
    for (const auto& [name, paste] : {std::make_pair("proxy", proxy), std::make_pair("reason", reason),
                                      std::make_pair("cut", site.substr(0, site.size() / 2)),
                                      std::make_pair("crc twice", Slurp(kData + "/logs/no_module.log"))}) {
        const TExplanation e = Explain(paste);
        ASSERT_FALSE(e.Runs.empty()) << name;
        readable(ReplyToUser(e.Runs[e.Verdict]), name);
    }
    EXPECT_NE(ReplyToUser(Explain(proxy).Runs.at(0)).find("proxy settings in Stirpello"), std::string::npos);
    EXPECT_NE(ReplyToUser(Explain(reason).Runs.at(0)).find("double-clicking it"), std::string::npos);
}

// Runs the rest of the run's lines make plain, without false doubts or a
// user's words read as the run's.
TEST(UpdlogExplain, CompleteShortAndEncodedRuns) {
    const std::string head = "Stirpello Failsafe Update Utility Version 1.5.0.3\r\n"
                             "Current date/time is: 12/11/2026 12:10:04 AM\r\n";
    const std::string noInternet = Slurp(kData + "/logs/no_internet.log");
    const std::string offlineDownload =
        WithoutLine(noInternet, "Running ") + "\r\nAn error occurred during download - the server cannot be reached\r\n";
    const std::string signature = "\r\n\r\n-- \r\nSent from my PC\r\nRunning Windows 11 Home 64-bit\r\n";
    const std::string qp = "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
                           "Stirpello Failsafe Update Utility Version 1.5.0.3\r\nSP Reg Key Dir=3DC:\\Program Files\\Stirpel=\r\n"
                           "lo\\\r\nC:\\Program Files\\Stirpello\\Stirpello.exe is running...=20\r\n";
    const struct {
        const char* name;
        std::string paste;
        const char* outcome;
        const char* confidence;
    } kCases[] = {
        {"offline, straight to the download", offlineDownload, "stopped", "high"},
        {"a path-less program line and a signature", head + " is running\r\n" + signature, "stopped", "high"},
        {"a running program and a signature", Slurp(kData + "/logs/product_running.log") + signature, "stopped", "high"},
        {"quoted-printable", qp, "stopped", "high"},
        // The test page failed and the site answered: no line, no code, and
        // the catalogue asked for all the same.
        {"a silent internet test",
         Replace(WithoutLine(WithoutLine(Slurp(kData + "/logs/site_down.log"), "Internet access"), "Stirpello.com down"),
                 "err=15003-1OK-GDW", "err=15003"),
         "launched", "high"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const TExplanation e = Explain(c.paste);
        ASSERT_EQ(e.Runs.size(), 1u);
        EXPECT_EQ(e.Runs[0].Outcome, c.outcome);
        std::string doubts;
        for (const std::string& d : e.Runs[0].Doubts) doubts += d + "; ";
        EXPECT_EQ(e.Runs[0].Confidence, c.confidence) << doubts;
        EXPECT_EQ(doubts.find("without the catalogue request"), std::string::npos) << doubts;
    }
    const TExplanation e = Explain(qp);
    EXPECT_EQ(e.Encoding, "quoted-printable UTF-8");
    ASSERT_FALSE(e.Runs.empty());
    for (const TFoundLine& l : e.Runs[0].Lines)
        if (l.Id == TRunMsg::ProductRegistryDir) EXPECT_EQ(l.Args.at(0), "C:\\Program Files\\Stirpello\\");
    // A log as it is (its "=" signs and "=80" look like escapes) is not decoded.
    EXPECT_EQ(Explain(Slurp(kData + "/logs/site_down.log") + "Using Proxy for internet access... Port=8080 Server=x\r\n")
                  .Encoding,
              "UTF-8");
}
