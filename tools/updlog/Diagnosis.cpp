// The diagnosis: the found lines grouped into runs, and each run's outcome,
// faults, steps and doubts.
#include <algorithm>
#include <map>
#include <set>

#include "tools/updlog/Explain.h"
#include "tools/updlog/ExplainParts.h"

namespace {

const TRunMessage& Info(const TFoundLine& l) { return RunMessage(l.Id); }

std::string Lowered(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string Arg(const TFoundLine& l, size_t i) { return i < l.Args.size() ? l.Args[i] : std::string(); }

// The step a progress line names.
TRunStep StepOfProgress(const std::string& caption) {
    static const struct {
        const char* words;
        TRunStep step;
    } kSteps[] = {
        {"verifying Stirpello is not running", TRunStep::Programs},
        {"Locating Stirpello", TRunStep::Installation},
        {"found... validating", TRunStep::Installation},
        {"Inspecting existing update module", TRunStep::Module},
        {"Inspecting existing update settings", TRunStep::Settings},
        {"Testing internet access", TRunStep::Internet},
        {"Analyzing available updates", TRunStep::Updates},
        {"Downloading new update module", TRunStep::Download},
        {"Replacing existing update module", TRunStep::Replace},
        {"Executing update module", TRunStep::Launch},
    };
    for (const auto& k : kSteps)
        if (caption.find(k.words) != std::string::npos) return k.step;
    return TRunStep::Count;
}

std::string LineText(const TFoundLine& l) {
    std::string text;
    switch (l.Args.size()) {
    case 0: text = FormatRunMessage(l.Id, {}); break;
    case 1: text = FormatRunMessage(l.Id, {l.Args[0]}); break;
    default: text = FormatRunMessage(l.Id, {l.Args[0], l.Args[1]}); break;
    }
    while (!text.empty() && text.front() == ' ') text.erase(text.begin());
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

TFault Fault(int line, std::string text, std::string cause, std::string advice) {
    TFault f;
    f.Line = line;
    f.Text = std::move(text);
    f.Cause = std::move(cause);
    f.Advice = std::move(advice);
    return f;
}

void Tell(TFault& f, const TUserWords& words) {
    if (words.Said.empty()) return;
    f.Said = words.Said;
    f.Ask = words.Ask;
    f.AskIfNotUpdated = words.AskIfNotUpdated;
}

// A line that carries the system's reason ("Access is denied.", "... is a
// link") needs the advice for that reason, not the line's usual one.
void AdviceByWords(const TFoundLine& l, TFault& f) {
    static const struct {
        const char* words;
        const char* cause;
        const char* advice;
    } kReasons[] = {
        {"is a link", "a link (junction or symbolic link) stands where the utility writes, and it never writes through one",
         "delete the link the line names (usually the Download folder inside the Stirpello folder), then run the "
         "utility again"},
        {"names (hard links)", "the file has other names (hard links), so the utility does not overwrite it",
         "delete the file the line names, then run the utility again"},
        {"leads elsewhere", "the path leads to another place (a link or a redirected folder)",
         "delete the link the line names, then run the utility again"},
        {"is a folder, not a file", "a folder stands where the utility writes a file",
         "delete or rename the folder the line names, then run the utility again"},
        {"denied", "Windows refused access", "close Stirpello, then run the utility again by double-clicking it and answer Yes if Windows asks for permission"},
        {"sharing violation", "another program had the file open",
         "close Stirpello and let the security software finish, then run the utility again"},
        {"being used by another process", "another program had the file open",
         "close Stirpello and let the security software finish, then run the utility again"},
        {"disk is full", "the disk is full", "free some space on the disk, then run the utility again"},
        {"not enough space", "the disk is full", "free some space on the disk, then run the utility again"},
        {"timed out", "the connection timed out", "check the internet connection, then run the utility again"},
        {"could not be resolved", "the site's name could not be looked up",
         "check the internet connection and its DNS settings, then run the utility again"},
    };
    std::string said;
    for (const std::string& a : l.Args) said += Lowered(a) + "\n";
    for (const auto& r : kReasons) {
        if (said.find(r.words) == std::string::npos) continue;
        f.Cause += std::string(": ") + r.cause;
        f.Advice = r.advice;
        Tell(f, UserWordsForReason(said));
        return;
    }
}

TRunDiagnosis Diagnose(std::vector<TFoundLine> lines, const std::vector<TFault>& unreadable, int repeatedCrc) {
    TRunDiagnosis d;
    d.Lines = std::move(lines);
    d.FirstLine = d.Lines.front().Line;
    d.LastLine = d.Lines.back().Line;
    d.Unreadable = unreadable;
    bool proxy = false;
    int crcFailures = repeatedCrc;
    std::string requestTrail;
    bool haveRequest = false;
    TRunStep closedAt = TRunStep::Count;
    std::string closedCaption;
    std::vector<int> worst(static_cast<size_t>(TRunStep::Count), -1);
    for (const TFoundLine& l : d.Lines) {
        const TRunMessage& m = Info(l);
        switch (l.Id) {
        case TRunMsg::UtilityVersion: d.UtilityVersion = Arg(l, 0); break;
        case TRunMsg::CurrentTime: d.StartedAt = Arg(l, 0); break;
        case TRunMsg::Identified:
            d.InstalledVersion = Arg(l, 0);
            d.Folder = Arg(l, 1);
            break;
        case TRunMsg::ProxyUsed: proxy = true; break;
        case TRunMsg::DownloadCrc: ++crcFailures; break;
        case TRunMsg::CatalogueRequest: {
            const std::string url = Arg(l, 0);
            size_t e = url.find("&err=");
            if (e == std::string::npos) e = url.find("?err=");
            if (e != std::string::npos) {
                haveRequest = true;
                requestTrail = url.substr(e + 5);
                requestTrail = requestTrail.substr(0, requestTrail.find_first_of("& "));
            }
            break;
        }
        case TRunMsg::ClosedByUser: {
            // The window's step, refined by the progress line within steps 1 and 2.
            closedCaption = Arg(l, 1);
            const std::string step = Arg(l, 0);
            const TRunStep byCaption = StepOfProgress(closedCaption);
            if (step == "3") closedAt = TRunStep::Replace;
            else if (step == "4") closedAt = TRunStep::Launch;
            else if (step == "2" && (byCaption == TRunStep::Count || byCaption < TRunStep::Module))
                closedAt = TRunStep::Module;
            else closedAt = byCaption;
            break;
        }
        default: break;
        }
        if (m.Kind == TLineKind::Launched) d.Outcome = "launched";
        if (m.Kind == TLineKind::Stop) d.Outcome = "stopped";
        if (m.Kind == TLineKind::Closed) d.Outcome = "closed";
        if (m.Kind != TLineKind::Header && l.Id != TRunMsg::ClosedByUser) {
            int rank = m.Kind == TLineKind::Stop ? 3 : m.Kind == TLineKind::Fault ? 2 : m.Kind == TLineKind::Note ? 1 : 0;
            int& w = worst[static_cast<size_t>(m.Step)];
            w = std::max(w, rank);
        }
        if (m.Kind == TLineKind::Fault || m.Kind == TLineKind::Stop) {
            TFault f = Fault(l.Line, LineText(l), m.Cause, m.Advice);
            if (const TUserWords* words = UserWordsFor(l.Id)) Tell(f, *words);
            AdviceByWords(l, f);
            if (l.Id == TRunMsg::DownloadCrc && crcFailures >= 2) {
                f.Cause = "the module downloaded but failed its checks twice: security software or a proxy is "
                          "altering downloads";
                f.Advice = "turn off download scanning in the security software, or try from another network";
                Tell(f, UserWordsFor(TUserCase::CrcTwice));
            }
            d.Faults.push_back(f);
        }
    }
    if (d.Outcome.empty()) d.Outcome = "cut";
    // Causes that depend on other lines of the run.
    bool noModule = false;
    for (const TFoundLine& l : d.Lines) noModule = noModule || l.Id == TRunMsg::ModuleMissing;
    for (TFault& f : d.Faults) {
        if (f.Text == RunMessage(TRunMsg::CopyFailed).Text && noModule) {
            f.Cause = "there was no update module in the Stirpello folder to replace, so the new one (in its "
                      "Download folder) was not put in place";
            f.Advice = "copy Stirpello.exe from the Download folder into the Stirpello folder, or reinstall "
                       "Stirpello";
            Tell(f, UserWordsFor(TUserCase::NoModuleToReplace));
        }
        if (f.Text == RunMessage(TRunMsg::InternetBlocked).Text && proxy) {
            f.Cause = "internet blocked, with a proxy configured";
            f.Advice = "check the proxy settings in Stirpello's Tools > Settings (internet tab)";
            Tell(f, UserWordsFor(TUserCase::BlockedWithProxy));
        }
    }
    if (d.Outcome == "closed") {
        TFault f = Fault(d.LastLine, "", "", RunMessage(TRunMsg::ClosedByUser).Advice);
        for (const TFoundLine& l : d.Lines)
            if (l.Id == TRunMsg::ClosedByUser) f = Fault(l.Line, LineText(l), "", f.Advice);
        Tell(f, *UserWordsFor(TRunMsg::ClosedByUser));
        f.Cause = "the run was closed at " +
                  std::string(closedAt == TRunStep::Count ? closedCaption : RunStepName(closedAt)) +
                  ": the user closed the window before the run ended";
        d.Faults.push_back(f);
    }
    if (d.Outcome == "cut") {
        TFault f = Fault(d.LastLine, LineText(d.Lines.back()),
                         "the log ends in the middle of the run after this line: the paste is incomplete",
                         "ask for the whole log (StirpelloUpdateLog.txt, in the Stirpello folder or in "
                         "%LOCALAPPDATA%\\Stirpello\\Update)");
        Tell(f, UserWordsFor(TUserCase::Cut));
        d.Faults.push_back(f);
    }
    if (haveRequest) {
        d.TrailFromRequest = true;
        size_t i = requestTrail.find('-');
        while (i != std::string::npos) {
            size_t j = requestTrail.find('-', i + 1);
            std::string code = requestTrail.substr(i + 1, j == std::string::npos ? std::string::npos : j - i - 1);
            if (!code.empty()) d.Trail.push_back(code);
            i = j;
        }
    } else {
        for (const TFoundLine& l : d.Lines)
            if (*Info(l).Trail) d.Trail.push_back(Info(l).Trail);
    }
    // Steps: what each logged. Some steps log nothing when all is well
    // (the running programs, the settings file, the replacement); such a step
    // ran when a later one did. The others always log, so without a line
    // they did not run.
    auto quiet = [](size_t k) {
        const TRunStep st = static_cast<TRunStep>(k);
        return st == TRunStep::Programs || st == TRunStep::Settings || st == TRunStep::Replace;
    };
    bool downloaded = false;
    for (const TFoundLine& l : d.Lines) downloaded = downloaded || l.Id == TRunMsg::DownloadCompleted;
    int lastReached = -1;
    for (size_t k = 1; k < worst.size(); ++k)
        if (worst[k] >= 0) lastReached = static_cast<int>(k);
    if (closedAt != TRunStep::Count) lastReached = std::max(lastReached, static_cast<int>(closedAt));
    for (size_t k = 1; k < worst.size(); ++k) {
        TStepOutcome o{static_cast<TRunStep>(k), ""};
        const int w = worst[k];
        if (static_cast<TRunStep>(k) == closedAt) o.Status = "closed";
        else if (w == 3) o.Status = "stopped";
        else if (w == 2) o.Status = "failed";
        else if (w == 1) o.Status = "note";
        else if (w == 0) o.Status = "ok";
        else if (static_cast<int>(k) < lastReached)
            // The module is replaced only after a download.
            o.Status = quiet(k) && (static_cast<TRunStep>(k) != TRunStep::Replace || downloaded) ? "ok" : "not run";
        else o.Status = d.Outcome == "cut" ? "not in the log" : "not reached";
        d.Steps.push_back(o);
    }
    // Where the verdict places the run.
    for (const TFoundLine& l : d.Lines)
        if (Info(l).Kind == TLineKind::Stop || Info(l).Kind == TLineKind::Launched) d.Step = RunStepName(Info(l).Step);
    if (closedAt != TRunStep::Count) d.Step = RunStepName(closedAt);
    else if (!d.Faults.empty() && d.Outcome != "launched") d.Step = RunStepName(Info(d.Lines.back()).Step);
    if (d.Step.empty()) d.Step = RunStepName(Info(d.Lines.back()).Step);
    // The edition: the shortcut line of the identified engine, when there is one.
    for (const TFoundLine& l : d.Lines) {
        if (l.Id != TRunMsg::Shortcut || d.Folder.empty()) continue;
        const std::string describe = Arg(l, 1);
        if (describe.compare(0, d.Folder.size(), d.Folder) != 0) continue;
        size_t v = describe.find(" Version ");
        if (v == std::string::npos) continue;
        size_t e = describe.find(' ', v + 9);
        std::string edition = e == std::string::npos ? "" : describe.substr(e + 1);
        if (!edition.empty() && edition != "edition undetermined") d.Edition = edition;
    }
    return d;
}

}  // namespace

namespace {

bool Ends(TLineKind k) { return k == TLineKind::Launched || k == TLineKind::Stop || k == TLineKind::Closed; }

struct TRunLines {
    std::vector<TFoundLine> Lines;
    bool Headless = false;
};

// The found lines grouped into runs. A line belongs to a run only where the
// run can write it: nothing follows a run's last line but the next run's
// header, and "Running ..." names the module and comes after the internet
// test. Whatever else matched is the user's own words.
std::vector<TRunLines> GroupRuns(std::vector<TFoundLine>&& lines, std::vector<TFault>& ignored) {
    std::vector<TRunLines> runs;
    bool ended = false, reached = false;
    TRunStep endStep = TRunStep::Start;
    for (TFoundLine& l : lines) {
        const TRunMessage& m = Info(l);
        if (l.Id == TRunMsg::UtilityVersion || runs.empty()) {
            runs.push_back({{}, l.Id != TRunMsg::UtilityVersion});
            ended = reached = false;
        }
        // A failed download ends the run at its reason; earlier releases
        // added the general line and a failed delete after it.
        bool fits = !ended || (endStep == TRunStep::Download && m.Step == TRunStep::Download);
        if (fits && l.Id == TRunMsg::Launching) fits = reached && NamesModule(Arg(l, 0));
        if (!fits) {
            ignored.push_back(Fault(l.Line, LineText(l), "", ""));
            continue;
        }
        runs.back().Lines.push_back(std::move(l));
        reached = reached || m.Step >= TRunStep::Internet;
        if (Ends(m.Kind)) endStep = m.Step;
        ended = ended || Ends(m.Kind);
    }
    // One line ahead of a whole run is the user's words, not a run's tail.
    std::vector<TRunLines> kept;
    for (size_t r = 0; r < runs.size(); ++r) {
        if (runs[r].Lines.empty()) continue;
        if (runs[r].Headless && runs[r].Lines.size() == 1 && r + 1 < runs.size()) {
            ignored.push_back(Fault(runs[r].Lines[0].Line, LineText(runs[r].Lines[0]), "", ""));
            continue;
        }
        kept.push_back(std::move(runs[r]));
    }
    return kept;
}

// A run's lines as one key: runs with the same key are the same run.
std::string RunKey(const std::vector<TFoundLine>& lines) {
    std::string key;
    for (const TFoundLine& l : lines) {
        key += std::to_string(static_cast<int>(l.Id));
        for (const std::string& a : l.Args) key += '\x1F' + a;
        key += '\x1E';
    }
    return key;
}

bool Has(const TRunDiagnosis& d, TRunMsg id) {
    for (const TFoundLine& l : d.Lines)
        if (l.Id == id) return true;
    return false;
}

bool HasStep(const TRunDiagnosis& d, TRunStep step) {
    for (const TFoundLine& l : d.Lines)
        if (Info(l).Step == step && Info(l).Kind != TLineKind::Closed) return true;
    return false;
}

// What keeps the diagnosis from being sure: parts of the run not in the
// paste, or not readable.
void FindDoubts(TRunDiagnosis& d) {
    if (d.BeginningMissing) d.Doubts.push_back("the paste starts inside the run: its first lines are missing");
    if (d.Outcome == "cut") d.Doubts.push_back("the log ends in the middle of the run");
    if (!d.Unreadable.empty())
        d.Doubts.push_back(std::to_string(d.Unreadable.size()) + " part(s) inside the run could not be read");
    // The trail the catalogue request carried names each fault before it.
    if (d.TrailFromRequest) {
        std::map<std::string, int> logged;
        for (const TFoundLine& l : d.Lines) {
            if (l.Id == TRunMsg::CatalogueRequest) break;
            if (*Info(l).Trail) ++logged[Info(l).Trail];
        }
        std::map<std::string, int> sent;
        for (const std::string& code : d.Trail) ++sent[code];
        for (const auto& kv : sent)
            if (logged[kv.first] < kv.second)
                d.Doubts.push_back("the trail sent with the catalogue request holds " + kv.first +
                                   ", but no line of the paste shows it: lines are missing");
    }
    // Lines every run writes on its way to a later step.
    const bool headed = !d.BeginningMissing;
    const bool pastInstallation = HasStep(d, TRunStep::Module) || HasStep(d, TRunStep::Internet) ||
                                  HasStep(d, TRunStep::Updates) || HasStep(d, TRunStep::Download);
    if (headed && pastInstallation && !Has(d, TRunMsg::Identified))
        d.Doubts.push_back("lines are missing in the middle: the run went on without a line identifying the "
                           "installation");
    // The internet test logs nothing when its first page fails and the site's
    // home page answers; the trail the request carried then holds no code of it.
    bool silentTest = false;
    if (d.TrailFromRequest) {
        silentTest = true;
        for (const std::string& code : d.Trail)
            silentTest = silentTest && code != "1OK" && code != "BLK" && code != "ENT";
    }
    if (HasStep(d, TRunStep::Updates) && !HasStep(d, TRunStep::Internet) && !silentTest &&
        (headed || HasStep(d, TRunStep::Module)))
        d.Doubts.push_back("lines are missing in the middle: the catalogue was read without an internet test line");
    // Without the internet the run goes from the test straight to the
    // download: it asks for no catalogue.
    const bool offline = Has(d, TRunMsg::InternetBlocked) || Has(d, TRunMsg::InternetError);
    if (HasStep(d, TRunStep::Download) && !Has(d, TRunMsg::CatalogueRequest) && !Has(d, TRunMsg::HeldFileWait) &&
        !offline && (headed || HasStep(d, TRunStep::Internet)))
        d.Doubts.push_back("lines are missing in the middle: a download without the catalogue request before it");
    if (d.Lines.size() == 1) d.Doubts.push_back("only one line of a run was found");
    if (!d.Doubts.empty()) d.Confidence = "low";
}

// The numbers of a start time: date, time, and whether it is afternoon
// (+12), morning (0, and 12 AM is 0 h) or neither (-1).
struct TStamp {
    std::vector<int> Date, Time;
    int Half = -1;
    char Separator = 0;
};

bool ReadStamp(const std::string& text, TStamp& t) {
    std::vector<int>* into = &t.Date;
    for (size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (c >= '0' && c <= '9') {
            int v = 0;
            size_t digits = 0;
            for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits)
                if (digits < 5) v = v * 10 + (text[i] - '0');
            if (digits > 4) return false;
            if (into == &t.Date && t.Date.size() == 3) into = &t.Time;
            if (into->size() >= 3) return false;
            into->push_back(v);
            continue;
        }
        if (c == ':' && into == &t.Date && t.Date.size() == 3) into = &t.Time;
        if ((c == '/' || c == '.' || c == '-') && t.Date.size() == 1 && !t.Separator) t.Separator = c;
        const char u = static_cast<char>(c & ~0x20);
        if ((u == 'A' || u == 'P') && i + 1 < text.size() &&
            ((text[i + 1] & ~0x20) == 'M' || (text[i + 1] == '.' && i + 2 < text.size() && (text[i + 2] & ~0x20) == 'M')))
            t.Half = u == 'P' ? 12 : 0;
        ++i;
    }
    return t.Date.size() == 3 && t.Time.size() >= 2;
}

// Does the run's start time say the date is day first (31.12.2026), month
// first (12/31/2026), or neither (0)?
int DayFirstHint(const TStamp& t) {
    if (t.Date[0] > 999) return 0;
    if (t.Date[0] > 12) return 1;
    if (t.Date[1] > 12) return -1;
    return 0;
}

std::string RunName(size_t k) { return "run " + std::to_string(k + 1); }

// The verdict goes to the run that started last: a mail reply quotes the
// newest run first, a log file holds it last.
void PickVerdict(TExplanation& e) {
    if (e.Runs.empty()) return;
    e.Verdict = e.Runs.size() - 1;
    if (e.Runs.size() == 1) return;
    // One computer wrote them all, so its date order holds for every run.
    int hint = 0;
    char separator = 0;
    for (const TRunDiagnosis& d : e.Runs) {
        TStamp t;
        if (!ReadStamp(d.StartedAt, t)) continue;
        if (!hint) hint = DayFirstHint(t);
        if (!separator) separator = t.Separator;
    }
    const bool dayFirst = hint ? hint > 0 : separator == '.';
    std::vector<long long> keys;
    std::string missing;
    size_t missed = 0;
    for (size_t k = 0; k < e.Runs.size(); ++k) {
        keys.push_back(StartTimeKey(e.Runs[k].StartedAt, dayFirst));
        if (keys.back() < 0) missing += (missed++ ? ", " : "") + std::to_string(k + 1);
    }
    if (missed) {
        e.VerdictNote = (missed == 1 ? "run " + missing + " shows no start time" : "runs " + missing + " show no start time") +
                        ": the verdict is on the last run in the paste";
        return;
    }
    size_t latest = 0;
    for (size_t k = 1; k < keys.size(); ++k)
        if (keys[k] >= keys[latest]) latest = k;
    e.Verdict = latest;
    bool ascending = true, descending = true;
    for (size_t k = 1; k < keys.size(); ++k) {
        ascending = ascending && keys[k] >= keys[k - 1];
        descending = descending && keys[k] <= keys[k - 1];
    }
    if (ascending) return;
    e.VerdictNote = descending ? "the runs are pasted newest first: the verdict is on " + RunName(latest) +
                                     ", which started last (" + e.Runs[latest].StartedAt + ")"
                               : "the start times are not in the paste's order: the verdict is on " + RunName(latest) +
                                     ", which started last (" + e.Runs[latest].StartedAt + ")";
}

}  // namespace

long long StartTimeKey(const std::string& text, bool dayFirst) {
    TStamp t;
    if (!ReadStamp(text, t)) return -1;
    int y, m, d;
    if (t.Date[0] > 999) {
        y = t.Date[0], m = t.Date[1], d = t.Date[2];
    } else {
        y = t.Date[2] < 100 ? 2000 + t.Date[2] : t.Date[2];
        m = dayFirst ? t.Date[1] : t.Date[0];
        d = dayFirst ? t.Date[0] : t.Date[1];
    }
    int h = t.Time[0];
    if (t.Half >= 0 && h >= 1 && h <= 12) h = h % 12 + t.Half;
    const int mi = t.Time[1], se = t.Time.size() > 2 ? t.Time[2] : 0;
    if (m < 1 || m > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || se > 60) return -1;
    return ((((static_cast<long long>(y) * 100 + m) * 100 + d) * 100 + h) * 100 + mi) * 100 + se;
}

TExplanation Explain(const std::string& bytes) {
    TExplanation e;
    TDecodedText decoded = DecodePaste(bytes);
    e.Encoding = decoded.Encoding;
    TParsedPaste parsed = ParsePaste(decoded.Text);
    std::vector<TFault> ignored;
    std::vector<TRunLines> grouped = GroupRuns(std::move(parsed.Lines), ignored);
    // Lines that are not the run's count as text around it.
    parsed.Garbage.insert(parsed.Garbage.end(), ignored.begin(), ignored.end());
    std::stable_sort(parsed.Garbage.begin(), parsed.Garbage.end(),
              [](const TFault& a, const TFault& b) { return a.Line < b.Line; });
    // A run pasted twice is one run: rules that look across runs must not
    // count it twice.
    std::vector<TRunLines> runs;
    std::set<std::string> seen;
    std::string repeats;
    size_t repeated = 0;
    for (size_t r = 0; r < grouped.size(); ++r) {
        if (seen.insert(RunKey(grouped[r].Lines)).second) {
            runs.push_back(std::move(grouped[r]));
            continue;
        }
        if (++repeated <= 3)
            repeats += (repeated > 1 ? ", " : "") + std::to_string(grouped[r].Lines.front().Line) + "-" +
                       std::to_string(grouped[r].Lines.back().Line);
    }
    if (parsed.LinesLeftOut)
        e.Notes.push_back("the paste is longer than " + std::to_string(TParsedPaste::kMaxPasteLines) +
                          " lines: only its last " + std::to_string(TParsedPaste::kMaxPasteLines) + " were read");
    if (repeated)
        e.Notes.push_back("lines " + repeats + (repeated > 3 ? " and " + std::to_string(repeated - 3) + " more runs" : "") +
                          " repeat an earlier run line for line (pasted twice): left out");
    int crcSeen = 0;
    for (size_t r = 0; r < runs.size(); ++r) {
        // Text that could not be read counts for the run it sits inside.
        const int from = runs[r].Lines.front().Line;
        const int to = r + 1 < runs.size() ? runs[r + 1].Lines.front().Line : runs[r].Lines.back().Line + 1;
        std::vector<TFault> inside;
        auto gi = std::lower_bound(parsed.Garbage.begin(), parsed.Garbage.end(), from,
                                   [](const TFault& f, int line) { return f.Line < line; });
        for (; gi != parsed.Garbage.end() && (gi->Line < to || (r + 1 == runs.size() && gi->Line == to)); ++gi)
            inside.push_back(*gi);
        TRunDiagnosis d = Diagnose(std::move(runs[r].Lines), inside, crcSeen > 0 ? 1 : 0);
        d.BeginningMissing = runs[r].Headless;
        for (const TFoundLine& l : d.Lines) crcSeen += l.Id == TRunMsg::DownloadCrc;
        // Text after a run's end is the mail around it; after a cut run it
        // may be the line cut in half, so it is shown.
        if (d.Outcome != "cut") {
            std::vector<TFault> kept;
            for (const TFault& g : d.Unreadable)
                if (g.Line <= d.LastLine) kept.push_back(g);
            d.Unreadable = kept;
        }
        FindDoubts(d);
        e.Runs.push_back(std::move(d));
    }
    PickVerdict(e);
    return e;
}
