#include "tools/updlog/TrailsView.h"

#include <algorithm>
#include <set>

#include "app/RunMessages.h"

namespace {

const char kOther[] = "(other)";

double Of(uint64_t n, uint64_t total) { return total ? static_cast<double>(n) / static_cast<double>(total) : 0.0; }

std::vector<TCodeShare> Shares(const std::map<std::string, uint64_t>& codes, uint64_t runs) {
    std::vector<TCodeShare> out;
    for (const auto& kv : codes) out.push_back({kv.first, kv.second, Of(kv.second, runs)});
    std::stable_sort(out.begin(), out.end(), [](const TCodeShare& a, const TCodeShare& b) { return a.Runs > b.Runs; });
    return out;
}

// "2026-12-10 15003 IER" -> its three fields.
bool Split3(const std::string& key, std::string& a, std::string& b, std::string& c) {
    const size_t s1 = key.find(' ');
    const size_t s2 = s1 == std::string::npos ? s1 : key.find(' ', s1 + 1);
    if (s2 == std::string::npos) return false;
    a = key.substr(0, s1);
    b = key.substr(s1 + 1, s2 - s1 - 1);
    c = key.substr(s2 + 1);
    return true;
}

std::string WeekOf(const std::string& day) {
    const std::string w = IsoWeek(day);
    return w.empty() ? kOther : w;
}

bool HasCode(const std::string& trail, const char* code) {
    for (size_t at = 0; at < trail.size();) {
        const size_t dash = trail.find('-', at);
        if (trail.compare(at, dash == std::string::npos ? std::string::npos : dash - at, code) == 0) return true;
        if (dash == std::string::npos) break;
        at = dash + 1;
    }
    return false;
}

std::vector<TUtilityShares> UtilityShares(const std::map<std::string, uint64_t>& runs,
                                          const std::map<std::string, std::map<std::string, uint64_t>>& codes) {
    std::vector<TUtilityShares> out;
    for (const auto& kv : runs) {
        TUtilityShares u{kv.first, kv.second, {}};
        auto it = codes.find(kv.first);
        if (it != codes.end()) u.Codes = Shares(it->second, kv.second);
        out.push_back(u);
    }
    return out;
}

}  // namespace

bool FailureCode(const std::string& code) { return code != "1OK"; }

std::string CodeMeaning(const std::string& code) {
    if (code == "(none)") return "no code: the general internet test page was blocked, and the Stirpello site answered";
    if (code == kOther) return "codes past the report's bound, counted together";
    for (const TRunMessage* m = RunMessagesBegin(); m != RunMessagesEnd(); ++m)
        if (code == m->Trail) return m->Cause;
    return "not a code the utility sends";
}

TTrailsView MakeTrailsView(const TTrailCounts& c) {
    TTrailsView v;
    // The range, and whether its ends are whole days: a log rotated at noon
    // holds half a day at each end.
    for (const auto& kv : c.Days) {
        if (IsoWeek(kv.first).empty()) continue;
        if (v.FirstDay.empty()) v.FirstDay = kv.first;
        v.LastDay = kv.first;
    }
    if (!v.FirstDay.empty() && c.FirstSeen.size() == 19) {
        v.FirstDayPartial = c.FirstSeen.compare(0, 10, v.FirstDay) == 0 && c.FirstSeen.compare(11, 8, "01:00:00") > 0;
        v.LastDayPartial = c.LastSeen.compare(0, 10, v.LastDay) == 0 && c.LastSeen.compare(11, 8, "23:00:00") < 0;
    }
    for (const auto& kv : c.Days)
        v.Days.push_back({kv.first, kv.second,
                          (kv.first == v.FirstDay && v.FirstDayPartial) || (kv.first == v.LastDay && v.LastDayPartial)});

    // Weeks: runs, codes, and the same by utility version.
    std::map<std::string, TWeekView> weeks;
    std::map<std::string, std::map<std::string, uint64_t>> weekCodes;
    std::map<std::string, std::map<std::string, uint64_t>> weekUtilities;                             // week -> utility -> runs
    std::map<std::string, std::map<std::string, std::map<std::string, uint64_t>>> weekUtilityCodes;  // week -> utility -> code
    for (const TDayView& d : v.Days) {
        TWeekView& w = weeks[WeekOf(d.Day)];
        w.Runs += d.Runs;
        ++w.Days;
        w.Partial = w.Partial || d.Partial;
    }
    for (const auto& kv : c.DayCodes) {
        const size_t sp = kv.first.find(' ');
        if (sp == std::string::npos) continue;
        weekCodes[WeekOf(kv.first.substr(0, sp))][kv.first.substr(sp + 1)] += kv.second;
    }
    std::map<std::string, uint64_t> utilities;
    std::map<std::string, std::map<std::string, uint64_t>> utilityCodes;
    for (const auto& kv : c.UtilityDays) {
        const size_t sp = kv.first.find(' ');
        if (sp == std::string::npos) continue;
        const std::string u = kv.first.substr(sp + 1);
        utilities[u] += kv.second;
        weekUtilities[WeekOf(kv.first.substr(0, sp))][u] += kv.second;
    }
    for (const auto& kv : c.UtilityDayCodes) {
        std::string day, u, code;
        if (!Split3(kv.first, day, u, code)) continue;
        utilityCodes[u][code] += kv.second;
        weekUtilityCodes[WeekOf(day)][u][code] += kv.second;
    }
    v.Utilities = UtilityShares(utilities, utilityCodes);
    for (auto& kv : weeks) {
        TWeekView& w = kv.second;
        w.Week = kv.first;
        auto sketch = c.WeekClients.find(kv.first);
        w.Clients = sketch == c.WeekClients.end() ? 0 : sketch->second.Estimate();
        // A week the range does not cover from Monday to Sunday.
        if (w.Week != kOther) {
            const bool holdsFirst = IsoWeek(v.FirstDay) == w.Week, holdsLast = IsoWeek(v.LastDay) == w.Week;
            w.Partial = w.Partial || (holdsFirst && IsoWeekday(v.FirstDay) != 1) || (holdsLast && IsoWeekday(v.LastDay) != 7);
        }
        w.Codes = Shares(weekCodes[kv.first], w.Runs);
        w.Utilities = UtilityShares(weekUtilities[kv.first], weekUtilityCodes[kv.first]);
    }
    for (auto& kv : weeks)
        if (kv.first != kOther) v.Weeks.push_back(kv.second);
    if (weeks.count(kOther)) v.Weeks.push_back(weeks[kOther]);

    // This week against the week before.
    std::vector<const TWeekView*> dated;
    for (const TWeekView& w : v.Weeks)
        if (w.Week != kOther) dated.push_back(&w);
    if (!dated.empty()) {
        const TWeekView& now = *dated.back();
        const TWeekView* before = dated.size() > 1 ? dated[dated.size() - 2] : nullptr;
        v.ThisWeek = now.Week;
        v.ThisWeekPartial = now.Partial;
        if (before) {
            v.LastWeek = before->Week;
            v.LastWeekPartial = before->Partial;
        }
        std::set<std::string> codes;
        for (const TCodeShare& s : now.Codes) codes.insert(s.Code);
        if (before)
            for (const TCodeShare& s : before->Codes) codes.insert(s.Code);
        for (const std::string& code : codes) {
            if (!FailureCode(code)) continue;
            TCodeDelta d{code, 0, 0};
            for (const TCodeShare& s : now.Codes)
                if (s.Code == code) d.Share = s.Share;
            if (before)
                for (const TCodeShare& s : before->Codes)
                    if (s.Code == code) d.Previous = s.Share;
            v.Headline.push_back(d);
        }
        std::stable_sort(v.Headline.begin(), v.Headline.end(),
                         [](const TCodeDelta& a, const TCodeDelta& b) { return a.Share > b.Share; });
    }

    // The funnel: runs clean through each step, by the codes of their trails.
    static const struct {
        const char* name;
        const char* without[2];
        const char* with;
    } kSteps[] = {
        {"update module in place (no UMX)", {"UMX", nullptr}, nullptr},
        {"settings file read (no INF, IER)", {"INF", "IER"}, nullptr},
        {"internet test page reached (1OK)", {nullptr, nullptr}, "1OK"},
        {"Stirpello site answered (no GDW)", {"GDW", nullptr}, nullptr},
    };
    uint64_t all = 0;
    for (const auto& kv : c.Trails) all += kv.second;
    v.Funnel.push_back({"all runs", all});
    std::map<std::string, uint64_t> clean;
    for (const auto& kv : c.Trails)
        if (kv.first != kOther) clean.insert(kv);
    for (const auto& step : kSteps) {
        for (auto it = clean.begin(); it != clean.end();) {
            bool keep = !step.with || HasCode(it->first, step.with);
            for (const char* code : step.without)
                if (code && HasCode(it->first, code)) keep = false;
            it = keep ? std::next(it) : clean.erase(it);
        }
        uint64_t n = 0;
        for (const auto& kv : clean) n += kv.second;
        v.Funnel.push_back({step.name, n});
    }

    for (const auto& kv : c.Statuses) {
        const size_t sp = kv.first.find(' ');
        TStatusView s{kv.first.substr(0, sp), sp == std::string::npos ? "" : kv.first.substr(sp + 1), kv.second, false};
        s.Error = !s.Status.empty() && (s.Status[0] == '4' || s.Status[0] == '5');
        v.Statuses.push_back(s);
    }
    std::vector<std::pair<std::string, uint64_t>> codes(c.Codes.begin(), c.Codes.end());
    std::stable_sort(codes.begin(), codes.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    for (const auto& kv : codes)
        if (FailureCode(kv.first)) v.FailureCodes.push_back(kv.first);
    return v;
}
