// The counts of `updlog trails` written out: a table, JSON, CSV, and the
// publisher's HTML report.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "tools/updlog/Json.h"
#include "tools/updlog/Trails.h"
#include "tools/updlog/TrailsView.h"

namespace {

std::vector<std::pair<std::string, uint64_t>> ByCount(const std::map<std::string, uint64_t>& table) {
    std::vector<std::pair<std::string, uint64_t>> rows(table.begin(), table.end());
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    return rows;
}

std::string Percent(double share, int decimals = 1) {
    char out[32];
    std::snprintf(out, sizeof out, "%.*f%%", decimals, 100 * share);
    return out;
}

std::string Share(uint64_t n, uint64_t total) {
    return Percent(total ? static_cast<double>(n) / static_cast<double>(total) : 0.0);
}

std::string Ratio(double share) {
    char out[32];
    std::snprintf(out, sizeof out, "%.4f", share);
    return out;
}

std::string Ratio(uint64_t n, uint64_t total) {
    return Ratio(total ? static_cast<double>(n) / static_cast<double>(total) : 0.0);
}

// "+5.6 points", "-0.4 points"
std::string Delta(double now, double before) {
    char out[32];
    std::snprintf(out, sizeof out, "%+.1f", 100 * (now - before));
    const std::string n = out;
    return (n == "+0.0" || n == "-0.0" ? std::string("0.0") : n) + " points";
}

uint64_t ClientsOf(const std::map<std::string, TClientSketch>& sketches, const std::string& key) {
    auto it = sketches.find(key);
    return it == sketches.end() ? 0 : it->second.Estimate();
}

std::string ErrorPercent() {
    char out[16];
    std::snprintf(out, sizeof out, "%.1f%%", 100 * TClientSketch::kRelativeError);
    return out;
}

std::string Range(const TTrailsView& v) {
    if (v.FirstDay.empty()) return "no dated runs";
    return v.FirstDay + (v.FirstDayPartial ? " (partial)" : "") + " to " + v.LastDay +
           (v.LastDayPartial ? " (partial)" : "") + ", " + std::to_string(v.Days.size()) + " days with runs";
}

std::string HeadlineText(const TTrailsView& v) {
    if (v.ThisWeek.empty()) return "";
    std::string s = "This week, " + v.ThisWeek + (v.ThisWeekPartial ? " (partial)" : "");
    if (v.LastWeek.empty()) s += " (no week before it to compare):";
    else s += ", against " + v.LastWeek + (v.LastWeekPartial ? " (partial)" : "") + ":";
    if (v.Headline.empty()) return s + " no failure codes.";
    for (size_t i = 0; i < v.Headline.size(); ++i) {
        const TCodeDelta& d = v.Headline[i];
        s += std::string(i ? "," : "") + " " + d.Code + " " + Percent(d.Share);
        if (!v.LastWeek.empty()) s += " (" + Delta(d.Share, d.Previous) + " from " + Percent(d.Previous) + ")";
    }
    return s + ".";
}

const char kBlockedNote[] =
    "A run that finds the internet blocked never reaches this site, so the logs cannot count blocked runs: "
    "the figures are of the runs that got through.";

}  // namespace

void TTrailCounts::WriteTable(std::ostream& out) const {
    const TTrailsView v = MakeTrailsView(*this);
    char row[256];
    out << "catalogue requests (runs): " << Runs << "   other requests: " << Other
        << "   malformed lines: " << Malformed << "\n";
    // Runs against people: a client that retries adds runs, not clients.
    if (ClientsUnknown())
        out << "distinct clients of the runs: unknown (the partial counts hold no client sketches)\n";
    else
        out << "distinct clients of the runs: about " << Clients.Estimate() << " (an estimate; standard error "
            << ErrorPercent() << ")\n";
    out << "range: " << Range(v) << "\n";
    const std::string headline = HeadlineText(v);
    if (!headline.empty()) out << headline << "\n";
    out << "\ntrail code    runs        share   clients (about)\n";
    for (const auto& kv : ByCount(Codes)) {
        auto sketch = CodeClients.find(kv.first);
        std::snprintf(row, sizeof row, "%-12s  %-10llu  %-6s  %s\n", kv.first.c_str(),
                      static_cast<unsigned long long>(kv.second), Share(kv.second, Runs).c_str(),
                      sketch == CodeClients.end() ? "-" : std::to_string(sketch->second.Estimate()).c_str());
        out << row;
    }
    out << "\nutility   runs        code  runs        share of the utility's runs\n";
    for (const TUtilityShares& u : v.Utilities) {
        if (u.Codes.empty()) {
            std::snprintf(row, sizeof row, "%-8s  %-10llu  -\n", u.Utility.c_str(), static_cast<unsigned long long>(u.Runs));
            out << row;
        }
        for (const TCodeShare& s : u.Codes) {
            std::snprintf(row, sizeof row, "%-8s  %-10llu  %-4s  %-10llu  %s\n", u.Utility.c_str(),
                          static_cast<unsigned long long>(u.Runs), s.Code.c_str(),
                          static_cast<unsigned long long>(s.Runs), Percent(s.Share).c_str());
            out << row;
        }
    }
    out << "\nerror trail           runs        share\n";
    for (const auto& kv : ByCount(Trails)) {
        std::snprintf(row, sizeof row, "%-20s  %-10llu  %s\n", kv.first.c_str(),
                      static_cast<unsigned long long>(kv.second), Share(kv.second, Runs).c_str());
        out << row;
    }
    out << "\nutility   installed   runs\n";
    for (const auto& kv : Versions) {
        size_t sp = kv.first.find(' ');
        std::snprintf(row, sizeof row, "%-8s  %-10s  %llu\n", kv.first.substr(0, sp).c_str(),
                      kv.first.substr(sp + 1).c_str(), static_cast<unsigned long long>(kv.second));
        out << row;
    }
    out << "\nday           runs\n";
    for (const TDayView& d : v.Days) {
        std::snprintf(row, sizeof row, "%-12s  %llu%s\n", d.Day.c_str(), static_cast<unsigned long long>(d.Runs),
                      d.Partial ? "   (partial day)" : "");
        out << row;
    }
    out << "\nweek        runs        clients (about)\n";
    for (const TWeekView& w : v.Weeks) {
        std::snprintf(row, sizeof row, "%-10s  %-10llu  %llu%s\n", w.Week.c_str(), static_cast<unsigned long long>(w.Runs),
                      static_cast<unsigned long long>(w.Clients), w.Partial ? "   (partial week)" : "");
        out << row;
    }
    out << "\nweek        runs        code  runs   share of the week's runs\n";
    for (const TWeekView& w : v.Weeks)
        for (const TCodeShare& s : w.Codes) {
            std::snprintf(row, sizeof row, "%-10s  %-10llu  %-4s  %-5llu  %s\n", w.Week.c_str(),
                          static_cast<unsigned long long>(w.Runs), s.Code.c_str(),
                          static_cast<unsigned long long>(s.Runs), Percent(s.Share).c_str());
            out << row;
        }
    out << "\ncatalogue     status  requests\n";
    for (const TStatusView& s : v.Statuses) {
        std::snprintf(row, sizeof row, "%-12s  %-6s  %llu%s\n", s.Catalogue.c_str(), s.Status.c_str(),
                      static_cast<unsigned long long>(s.Requests), s.Error ? "   <- error" : "");
        out << row;
    }
    out << "\n" << kBlockedNote << "\n";
}

namespace {

void JsonShares(std::ostream& out, const std::vector<TCodeShare>& codes) {
    out << "[";
    for (size_t i = 0; i < codes.size(); ++i)
        out << (i ? ", " : "") << "{\"code\": " << JsonString(codes[i].Code) << ", \"runs\": " << codes[i].Runs
            << ", \"share\": " << Ratio(codes[i].Share) << "}";
    out << "]";
}

void JsonUtilities(std::ostream& out, const std::vector<TUtilityShares>& utilities, const char* indent) {
    out << "[";
    for (size_t i = 0; i < utilities.size(); ++i) {
        out << (i ? "," : "") << indent << "{\"utility\": " << JsonString(utilities[i].Utility)
            << ", \"runs\": " << utilities[i].Runs << ", \"codes\": ";
        JsonShares(out, utilities[i].Codes);
        out << "}";
    }
    out << "]";
}

}  // namespace

void TTrailCounts::WriteJson(std::ostream& out) const {
    const TTrailsView v = MakeTrailsView(*this);
    out << "{\"schema\": " << kTrailsSchema << ", \"lines\": " << Lines << ", \"runs\": " << Runs << ", \"other\": " << Other
        << ", \"malformed\": " << Malformed << ",\n \"clients\": {\"estimate\": "
        << (ClientsUnknown() ? std::string("null") : std::to_string(Clients.Estimate()))
        << ", \"relative_error\": " << TClientSketch::kRelativeError << "},\n \"range\": {\"first_day\": "
        << (v.FirstDay.empty() ? "null" : JsonString(v.FirstDay))
        << ", \"last_day\": " << (v.LastDay.empty() ? "null" : JsonString(v.LastDay))
        << ", \"first_run\": " << (FirstSeen.empty() ? "null" : JsonString(FirstSeen))
        << ", \"last_run\": " << (LastSeen.empty() ? "null" : JsonString(LastSeen))
        << ", \"first_day_partial\": " << (v.FirstDayPartial ? "true" : "false")
        << ", \"last_day_partial\": " << (v.LastDayPartial ? "true" : "false") << "},\n \"headline\": ";
    if (v.ThisWeek.empty()) {
        out << "null";
    } else {
        out << "{\"week\": " << JsonString(v.ThisWeek) << ", \"partial\": " << (v.ThisWeekPartial ? "true" : "false")
            << ", \"previous_week\": " << (v.LastWeek.empty() ? "null" : JsonString(v.LastWeek))
            << ", \"previous_partial\": " << (v.LastWeekPartial ? "true" : "false") << ", \"codes\": [";
        for (size_t i = 0; i < v.Headline.size(); ++i)
            out << (i ? ", " : "") << "{\"code\": " << JsonString(v.Headline[i].Code)
                << ", \"share\": " << Ratio(v.Headline[i].Share) << ", \"previous_share\": "
                << (v.LastWeek.empty() ? "null" : Ratio(v.Headline[i].Previous)) << "}";
        out << "], \"text\": " << JsonString(HeadlineText(v)) << "}";
    }
    out << ",\n \"codes\": [";
    const char* sep = "";
    for (const auto& kv : ByCount(Codes)) {
        out << sep << "{\"code\": " << JsonString(kv.first) << ", \"runs\": " << kv.second
            << ", \"share\": " << Ratio(kv.second, Runs);
        if (CodeClients.count(kv.first)) out << ", \"clients\": " << ClientsOf(CodeClients, kv.first);
        out << ", \"failure\": " << (FailureCode(kv.first) ? "true" : "false")
            << ", \"meaning\": " << JsonString(CodeMeaning(kv.first)) << "}";
        sep = ", ";
    }
    out << "],\n \"utilities\": ";
    JsonUtilities(out, v.Utilities, "\n  ");
    out << ",\n \"trails\": [";
    sep = "";
    for (const auto& kv : ByCount(Trails)) {
        out << sep << "{\"trail\": " << JsonString(kv.first) << ", \"runs\": " << kv.second
            << ", \"share\": " << Ratio(kv.second, Runs) << "}";
        sep = ", ";
    }
    out << "],\n \"funnel\": [";
    for (size_t i = 0; i < v.Funnel.size(); ++i)
        out << (i ? ", " : "") << "{\"step\": " << JsonString(v.Funnel[i].Name) << ", \"runs\": " << v.Funnel[i].Runs
            << ", \"share\": " << Ratio(v.Funnel[i].Runs, v.Funnel[0].Runs) << "}";
    out << "],\n \"versions\": [";
    sep = "";
    for (const auto& kv : Versions) {
        size_t sp = kv.first.find(' ');
        out << sep << "{\"utility\": " << JsonString(kv.first.substr(0, sp))
            << ", \"installed\": " << JsonString(kv.first.substr(sp + 1)) << ", \"runs\": " << kv.second << "}";
        sep = ", ";
    }
    out << "],\n \"days\": [";
    for (size_t i = 0; i < v.Days.size(); ++i)
        out << (i ? ", " : "") << "{\"day\": " << JsonString(v.Days[i].Day) << ", \"runs\": " << v.Days[i].Runs
            << ", \"partial\": " << (v.Days[i].Partial ? "true" : "false") << "}";
    out << "],\n \"day_codes\": [";
    sep = "";
    for (const auto& kv : DayCodes) {
        const size_t sp = kv.first.find(' ');
        const uint64_t day = sp == std::string::npos ? 0 : (Days.count(kv.first.substr(0, sp)) ? Days.at(kv.first.substr(0, sp)) : 0);
        out << sep << "{\"day\": " << JsonString(kv.first.substr(0, sp)) << ", \"code\": "
            << JsonString(sp == std::string::npos ? "" : kv.first.substr(sp + 1)) << ", \"runs\": " << kv.second
            << ", \"share\": " << Ratio(kv.second, day) << "}";
        sep = ", ";
    }
    out << "],\n \"weeks\": [";
    for (size_t i = 0; i < v.Weeks.size(); ++i) {
        const TWeekView& w = v.Weeks[i];
        out << (i ? "," : "") << "\n  {\"week\": " << JsonString(w.Week) << ", \"runs\": " << w.Runs
            << ", \"clients\": " << w.Clients << ", \"partial\": " << (w.Partial ? "true" : "false") << ", \"codes\": ";
        JsonShares(out, w.Codes);
        out << ", \"utilities\": ";
        JsonUtilities(out, w.Utilities, " ");
        out << "}";
    }
    out << "],\n \"statuses\": [";
    for (size_t i = 0; i < v.Statuses.size(); ++i)
        out << (i ? ", " : "") << "{\"catalogue\": " << JsonString(v.Statuses[i].Catalogue)
            << ", \"status\": " << JsonString(v.Statuses[i].Status) << ", \"requests\": " << v.Statuses[i].Requests
            << ", \"error\": " << (v.Statuses[i].Error ? "true" : "false") << "}";
    out << "]}\n";
}

namespace {

std::string CsvField(const std::string& s) {
    if (s.find_first_of(",\"\n") == std::string::npos) return s;
    std::string out = "\"";
    for (char c : s) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

// One row of the CSV: each field in its own column, empty where it does not apply.
struct TCsvRow {
    std::string Table, Day, Week, Utility, Installed, Code, Trail, Catalogue, Status, Runs, Requests, Lines, Clients,
        Share, Partial;
};

void Csv(std::ostream& out, const TCsvRow& r) {
    const std::string* fields[] = {&r.Table,     &r.Day,    &r.Week,     &r.Utility, &r.Installed,
                                   &r.Code,      &r.Trail,  &r.Catalogue, &r.Status, &r.Runs,
                                   &r.Requests,  &r.Lines,  &r.Clients,  &r.Share,   &r.Partial};
    for (size_t i = 0; i < sizeof fields / sizeof fields[0]; ++i) out << (i ? "," : "") << CsvField(*fields[i]);
    out << "\n";
}

std::string N(uint64_t n) { return std::to_string(n); }
std::string YesNo(bool b) { return b ? "yes" : "no"; }

}  // namespace

void TTrailCounts::WriteCsv(std::ostream& out) const {
    const TTrailsView v = MakeTrailsView(*this);
    out << "table,day,week,utility,installed,code,trail,catalogue,status,runs,requests,lines,clients,share,partial\n";
    TCsvRow total;
    total.Table = "total";
    total.Runs = N(Runs);
    total.Requests = N(Other);  // the other requests, beside the runs
    total.Lines = N(Lines);
    total.Clients = ClientsUnknown() ? "" : N(Clients.Estimate());
    Csv(out, total);
    TCsvRow malformed;
    malformed.Table = "malformed";
    malformed.Lines = N(Malformed);
    Csv(out, malformed);
    for (const auto& kv : ByCount(Codes)) {
        TCsvRow r;
        r.Table = "code", r.Code = kv.first, r.Runs = N(kv.second), r.Share = Ratio(kv.second, Runs);
        if (CodeClients.count(kv.first)) r.Clients = N(ClientsOf(CodeClients, kv.first));
        Csv(out, r);
    }
    for (const TUtilityShares& u : v.Utilities) {
        TCsvRow r;
        r.Table = "utility", r.Utility = u.Utility, r.Runs = N(u.Runs);
        Csv(out, r);
        for (const TCodeShare& s : u.Codes) {
            TCsvRow c;
            c.Table = "utility code", c.Utility = u.Utility, c.Code = s.Code, c.Runs = N(s.Runs), c.Share = Ratio(s.Share);
            Csv(out, c);
        }
    }
    for (const auto& kv : ByCount(Trails)) {
        TCsvRow r;
        r.Table = "trail", r.Trail = kv.first, r.Runs = N(kv.second), r.Share = Ratio(kv.second, Runs);
        Csv(out, r);
    }
    for (const auto& kv : Versions) {
        const size_t sp = kv.first.find(' ');
        TCsvRow r;
        r.Table = "version", r.Utility = kv.first.substr(0, sp);
        r.Installed = sp == std::string::npos ? "" : kv.first.substr(sp + 1);
        r.Runs = N(kv.second);
        Csv(out, r);
    }
    for (const TDayView& d : v.Days) {
        TCsvRow r;
        r.Table = "day", r.Day = d.Day, r.Week = IsoWeek(d.Day), r.Runs = N(d.Runs), r.Partial = YesNo(d.Partial);
        Csv(out, r);
    }
    for (const auto& kv : DayCodes) {
        const size_t sp = kv.first.find(' ');
        if (sp == std::string::npos) continue;
        const std::string day = kv.first.substr(0, sp);
        auto runs = Days.find(day);
        TCsvRow r;
        r.Table = "day code", r.Day = day, r.Week = IsoWeek(day), r.Code = kv.first.substr(sp + 1);
        r.Runs = N(kv.second), r.Share = Ratio(kv.second, runs == Days.end() ? 0 : runs->second);
        Csv(out, r);
    }
    for (const TWeekView& w : v.Weeks) {
        TCsvRow r;
        r.Table = "week", r.Week = w.Week, r.Runs = N(w.Runs), r.Clients = N(w.Clients), r.Partial = YesNo(w.Partial);
        Csv(out, r);
        for (const TCodeShare& s : w.Codes) {
            TCsvRow c;
            c.Table = "week code", c.Week = w.Week, c.Code = s.Code, c.Runs = N(s.Runs), c.Share = Ratio(s.Share);
            c.Partial = YesNo(w.Partial);
            Csv(out, c);
        }
        for (const TUtilityShares& u : w.Utilities) {
            TCsvRow ur;
            ur.Table = "week utility", ur.Week = w.Week, ur.Utility = u.Utility, ur.Runs = N(u.Runs);
            ur.Partial = YesNo(w.Partial);
            Csv(out, ur);
            for (const TCodeShare& s : u.Codes) {
                TCsvRow c;
                c.Table = "week utility code", c.Week = w.Week, c.Utility = u.Utility, c.Code = s.Code;
                c.Runs = N(s.Runs), c.Share = Ratio(s.Share), c.Partial = YesNo(w.Partial);
                Csv(out, c);
            }
        }
    }
    for (const TStatusView& s : v.Statuses) {
        TCsvRow r;
        r.Table = "status", r.Catalogue = s.Catalogue, r.Status = s.Status, r.Requests = N(s.Requests);
        Csv(out, r);
    }
}
