#include "tools/updlog/Trails.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "tools/updlog/Json.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool AllDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!IsDigit(c)) return false;
    return true;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// A key as it may be stored and written back: no blanks, no control bytes,
// bounded, so that a partial count stays one key per line.
std::string CleanKey(std::string_view s) {
    const size_t kMaxKey = 120;
    std::string out;
    out.reserve(std::min(s.size(), kMaxKey));
    for (char c : s.substr(0, kMaxKey)) {
        unsigned char u = static_cast<unsigned char>(c);
        out += (u <= ' ' || u == 0x7F || c == '"' || c == '\\') ? '?' : c;
    }
    return out;
}

bool IsCodeChar(char c) { return IsDigit(c) || (c >= 'A' && c <= 'Z'); }

// "GDW": three capitals or digits, the form of every trail code.
bool WellFormedCode(std::string_view c) { return c.size() == 3 && IsCodeChar(c[0]) && IsCodeChar(c[1]) && IsCodeChar(c[2]); }

bool KnownCode(std::string_view c) {
    static const char* const kKnown[] = {"UMX", "INF", "IER", "1OK", "GDW", "BLK", "ENT"};
    for (const char* k : kKnown)
        if (c == k) return true;
    return false;
}

// A trail of known codes, as long as a run's can be.
bool KnownTrail(std::string_view t) {
    if (t == "(none)") return true;
    int codes = 0;
    for (;;) {
        size_t dash = t.find('-');
        if (!KnownCode(t.substr(0, dash)) || ++codes > 8) return false;
        if (dash == std::string_view::npos) return true;
        t.remove_prefix(dash + 1);
    }
}

bool DigitsUpTo(std::string_view s, size_t n) { return s.size() <= n && AllDigits(s); }

// Whether a key has the form its table expects (counted exactly).
bool Expected(int table, std::string_view key) {
    const size_t sp = key.find(' ');
    const std::string_view first = key.substr(0, sp);
    const std::string_view second = sp == std::string_view::npos ? std::string_view() : key.substr(sp + 1);
    switch (table) {
    case 0: return WellFormedCode(key);
    case 1: return KnownTrail(key);
    case 2: return DigitsUpTo(first, 6) && DigitsUpTo(second, 6);
    case 3: return true;  // made from a checked date
    case 4: return WellFormedCode(second);
    case 5: return first.size() <= 12 && DigitsUpTo(second, 3) && second.size() == 3;
    default: return false;
    }
}

const char kOtherKey[] = "(other)";

// "2026-W50", or "(other)" for days that have no week.
bool WeekKey(std::string_view key) {
    return key == kOtherKey || (key.size() == 8 && AllDigits(key.substr(0, 4)) && key.substr(4, 2) == "-W" &&
                                AllDigits(key.substr(6)));
}

// "10/Oct/2000" -> 9 (October from 0); -1 when it is not a date.
int Month(std::string_view d) {
    static const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                          "jul", "aug", "sep", "oct", "nov", "dec"};
    if (d.size() != 11 || d[2] != '/' || d[6] != '/' || !IsDigit(d[0]) || !IsDigit(d[1])) return -1;
    for (int i = 7; i < 11; ++i)
        if (!IsDigit(d[static_cast<size_t>(i)])) return -1;
    static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const int day = (d[0] - '0') * 10 + (d[1] - '0');
    for (int m = 0; m < 12; ++m) {
        const char* name = kMonths[m];
        if (Lower(d[3]) != name[0] || Lower(d[4]) != name[1] || Lower(d[5]) != name[2]) continue;
        // "31/Feb" or "00/Nov" is no day: it must not make a week of its own.
        const int year = (d[7] - '0') * 1000 + (d[8] - '0') * 100 + (d[9] - '0') * 10 + (d[10] - '0');
        const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
        if (day < 1 || day > kDays[m] || (m == 1 && day == 29 && !leap)) return -1;
        return m;
    }
    return -1;
}

// "10/Oct/2000" -> "2000-10-10"; empty when it is not a date.
std::string IsoDay(std::string_view d) {
    const int m = Month(d);
    if (m < 0) return "";
    const char out[] = {d[7], d[8], d[9], d[10], '-', static_cast<char>('0' + (m + 1) / 10),
                        static_cast<char>('0' + (m + 1) % 10), '-', d[0], d[1]};
    return std::string(out, sizeof out);
}

// The value of key in a query ("a=1&err=x"), or nothing.
bool QueryValue(std::string_view query, std::string_view key, std::string_view& value) {
    while (!query.empty()) {
        size_t amp = query.find('&');
        std::string_view pair = query.substr(0, amp);
        if (pair.size() > key.size() && pair.compare(0, key.size(), key) == 0 && pair[key.size()] == '=') {
            value = pair.substr(key.size() + 1);
            return true;
        }
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return false;
}

// "SP109.UPD", any letter case: the catalogue's short version digits.
bool CatalogueName(std::string_view name, std::string_view& digits) {
    if (name.size() < 7 || Lower(name[0]) != 's' || Lower(name[1]) != 'p') return false;
    std::string_view tail = name.substr(name.size() - 4);
    if (tail[0] != '.' || Lower(tail[1]) != 'u' || Lower(tail[2]) != 'p' || Lower(tail[3]) != 'd') return false;
    digits = name.substr(2, name.size() - 6);
    return AllDigits(digits);
}

std::vector<std::pair<std::string, uint64_t>> ByCount(const std::map<std::string, uint64_t>& table) {
    std::vector<std::pair<std::string, uint64_t>> rows(table.begin(), table.end());
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    return rows;
}

std::string Share(uint64_t n, uint64_t total) {
    char out[32];
    std::snprintf(out, sizeof out, "%.1f%%", total ? 100.0 * static_cast<double>(n) / static_cast<double>(total) : 0.0);
    return out;
}

std::string Ratio(uint64_t n, uint64_t total) {
    char out[32];
    std::snprintf(out, sizeof out, "%.4f", total ? static_cast<double>(n) / static_cast<double>(total) : 0.0);
    return out;
}

std::string CsvField(const std::string& s) {
    if (s.find_first_of(",\"") == std::string::npos) return s;
    std::string out = "\"";
    for (char c : s) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

const char kPartialMagic[] = "updlog-partial 1";

// The estimate of a sketch in a table (0 when there is none).
uint64_t ClientsOf(const std::map<std::string, TClientSketch>& sketches, const std::string& key) {
    auto it = sketches.find(key);
    return it == sketches.end() ? 0 : it->second.Estimate();
}

std::string ErrorPercent() {
    char out[16];
    std::snprintf(out, sizeof out, "%.1f%%", 100 * TClientSketch::kRelativeError);
    return out;
}

// Runs and codes by ISO week, from the counts by day.
struct TWeeks {
    std::map<std::string, uint64_t> Runs;   // "2026-W50" -> runs
    std::map<std::string, uint64_t> Codes;  // "2026-W50 GDW" -> runs
};

}  // namespace

void TTrailCounts::Bump(std::map<std::string, uint64_t>& table, const std::string& key, uint64_t n) {
    std::map<std::string, uint64_t>* const tables[] = {&Codes, &Trails, &Versions, &Days, &DayCodes, &Statuses};
    int index = 0;
    while (tables[index] != &table) ++index;
    auto it = table.find(key);
    if (it != table.end()) {
        it->second += n;
        return;
    }
    if (key == kOtherKey) {
        table[kOtherKey] += n;
        return;
    }
    if (Expected(index, key)) {
        table.emplace(key, n);
        return;
    }
    // Junk keeps the first kMaxKeys keys in sort order: a key put out once
    // sorts after every key kept from then on, so it never comes back, and
    // the table is the same whatever order lines or partials came in.
    std::set<std::string>& junk = junk_[index];
    if (junk.size() >= kMaxKeys) {
        auto last = std::prev(junk.end());
        if (!(key < *last)) {
            table[kOtherKey] += n;
            return;
        }
        auto evicted = table.find(*last);
        table[kOtherKey] += evicted->second;
        table.erase(evicted);
        junk.erase(last);
    }
    junk.insert(key);
    table.emplace(key, n);
}

std::string IsoWeek(const std::string& day) {
    int y = 0, m = 0, d = 0;
    if (day.size() != 10 || std::sscanf(day.c_str(), "%4d-%2d-%2d", &y, &m, &d) != 3 || m < 1 || m > 12) return "";
    // Days since 1970-01-01 (civil calendar), then the Thursday of its week.
    auto daysFrom = [](int yy, int mm, int dd) {
        yy -= mm <= 2;
        const int era = (yy >= 0 ? yy : yy - 399) / 400;
        const int yoe = yy - era * 400;
        const int doy = (153 * (mm + (mm > 2 ? -3 : 9)) + 2) / 5 + dd - 1;
        const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
        return era * 146097 + doe - 719468;
    };
    const int days = daysFrom(y, m, d);
    const int weekday = ((days + 3) % 7 + 7) % 7;  // Monday 0
    const int thursday = days - weekday + 3;
    // The Thursday's year is the week's year.
    int wy = y + 1;
    while (daysFrom(wy, 1, 1) > thursday) --wy;
    const int week = (thursday - daysFrom(wy, 1, 1)) / 7 + 1;
    char out[16];
    std::snprintf(out, sizeof out, "%04d-W%02d", wy, week);
    return out;
}

void TTrailCounts::AddLine(std::string_view line) {
    CountLine(line);
    Flush();
}

void TTrailCounts::CountLine(std::string_view line) {
    ++Lines;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    if (line.empty()) return;
    // host ident user [day/Mon/year:time zone] "request" status size ...
    size_t open = line.find(" [");
    if (open == std::string_view::npos || line.size() < open + 14) {
        ++Malformed;
        return;
    }
    const std::string_view date = line.substr(open + 2, 11);
    if (date != lastDate_) {
        lastDate_.assign(date.data(), date.size());
        lastDateOk_ = Month(date) >= 0;
    }
    size_t close = line.find("] \"", open);
    if (!lastDateOk_ || line[open + 13] != ':' || close == std::string_view::npos) {
        ++Malformed;
        return;
    }
    std::string_view rest = line.substr(close + 3);
    // The server writes a quote inside the request as \", a backslash as \\.
    size_t endQuote = rest.find('"');
    if (endQuote != std::string_view::npos && rest.substr(0, endQuote).find('\\') != std::string_view::npos) {
        endQuote = 0;
        while (endQuote < rest.size() && rest[endQuote] != '"') endQuote += rest[endQuote] == '\\' ? 2 : 1;
        if (endQuote >= rest.size()) endQuote = std::string_view::npos;
    }
    if (endQuote == std::string_view::npos || rest.size() < endQuote + 5 || rest[endQuote + 1] != ' ' ||
        !IsDigit(rest[endQuote + 2]) || !IsDigit(rest[endQuote + 3]) || !IsDigit(rest[endQuote + 4])) {
        ++Malformed;
        return;
    }
    std::string_view request = rest.substr(0, endQuote);
    // METHOD target PROTOCOL; anything else is an odd request, not a bad line.
    size_t sp1 = request.find(' ');
    size_t sp2 = sp1 == std::string_view::npos ? sp1 : request.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || request.substr(0, sp1) != "GET") {
        ++Other;
        return;
    }
    std::string_view target = request.substr(sp1 + 1, sp2 - sp1 - 1);
    size_t q = target.find('?');
    std::string_view path = target.substr(0, q);
    std::string_view query = q == std::string_view::npos ? std::string_view() : target.substr(q + 1);
    std::string_view digits, err, installed;
    const std::string_view name = path.substr(path.rfind('/') + 1);
    if (!CatalogueName(name, digits)) {
        ++Other;
        return;
    }
    const std::string_view status = rest.substr(endQuote + 2, 3);
    const bool run = QueryValue(query, "err", err);
    if (run) {
        ++Runs;
        if (!QueryValue(query, "updating", installed) || !AllDigits(installed)) installed = digits;
    } else {
        ++Other;
    }
    // Newlines cannot occur inside a line, so they keep the fields apart.
    fields_.assign(date.data(), date.size());
    for (std::string_view f : {digits, status, run ? std::string_view("r") : std::string_view(), err, installed}) {
        fields_ += '\n';
        fields_.append(f.data(), f.size());
    }
    auto it = pending_.find(fields_);
    if (it == pending_.end()) {
        if (pending_.size() >= kMaxPending) Flush();
        it = pending_.emplace(fields_, MakePending(date, digits, status, run, err, installed)).first;
    }
    TPending& p = it->second;
    ++p.Lines;
    if (!run) return;
    const uint64_t client = TClientSketch::Hash(line.substr(0, line.find(' ')));
    Clients.Add(client);
    p.Week->Add(client);
    for (TClientSketch* s : p.CodeSketches) s->Add(client);
}

TTrailCounts::TPending TTrailCounts::MakePending(std::string_view date, std::string_view digits,
                                                 std::string_view status, bool run, std::string_view err,
                                                 std::string_view installed) {
    TPending p;
    p.Run = run;
    p.Status = "SP" + CleanKey(digits) + ".UPD ";
    p.Status.append(status.data(), status.size());
    if (!run) return p;
    p.Day = IsoDay(date);
    const std::string week = IsoWeek(p.Day);
    p.Week = &WeekClients[week.empty() ? kOtherKey : week];
    // The trail starts with the utility's version number, then "-CODE" each.
    size_t dash = err.find('-');
    std::string_view utility = err.substr(0, dash);
    std::string_view codes = dash == std::string_view::npos ? std::string_view() : err.substr(dash + 1);
    p.Trail = codes.empty() ? std::string("(none)") : CleanKey(codes);
    std::vector<std::string_view> seen;
    while (!codes.empty()) {
        size_t next = codes.find('-');
        std::string_view code = codes.substr(0, next);
        if (!code.empty() && std::find(seen.begin(), seen.end(), code) == seen.end() && seen.size() < 16) {
            seen.push_back(code);
            p.Codes.push_back(CleanKey(code));
            if (WellFormedCode(p.Codes.back())) p.CodeSketches.push_back(&CodeClients[p.Codes.back()]);
        }
        if (next == std::string_view::npos) break;
        codes.remove_prefix(next + 1);
    }
    p.Version = (AllDigits(utility) ? CleanKey(utility) : std::string("?")) + " " + CleanKey(installed);
    return p;
}

void TTrailCounts::Flush() {
    for (const auto& kv : pending_) {
        const TPending& p = kv.second;
        Bump(Statuses, p.Status, p.Lines);
        if (!p.Run) continue;
        Bump(Trails, p.Trail, p.Lines);
        for (const std::string& code : p.Codes) {
            Bump(Codes, code, p.Lines);
            Bump(DayCodes, p.Day + " " + code, p.Lines);
        }
        Bump(Versions, p.Version, p.Lines);
        Bump(Days, p.Day, p.Lines);
    }
    pending_.clear();
}

void TTrailCounts::Merge(const TTrailCounts& other) {
    Lines += other.Lines;
    Runs += other.Runs;
    Other += other.Other;
    Malformed += other.Malformed;
    for (const auto& kv : other.Codes) Bump(Codes, kv.first, kv.second);
    for (const auto& kv : other.Trails) Bump(Trails, kv.first, kv.second);
    for (const auto& kv : other.Versions) Bump(Versions, kv.first, kv.second);
    for (const auto& kv : other.Days) Bump(Days, kv.first, kv.second);
    for (const auto& kv : other.DayCodes) Bump(DayCodes, kv.first, kv.second);
    for (const auto& kv : other.Statuses) Bump(Statuses, kv.first, kv.second);
    Clients.Merge(other.Clients);
    for (const auto& kv : other.WeekClients) WeekClients[kv.first].Merge(kv.second);
    for (const auto& kv : other.CodeClients) CodeClients[kv.first].Merge(kv.second);
}

void TTrailCounts::WritePartial(std::ostream& out) const {
    out << kPartialMagic << "\n";
    out << "lines " << Lines << "\nruns " << Runs << "\nother " << Other << "\nmalformed " << Malformed << "\n";
    for (const auto& kv : Codes) out << "code " << kv.first << " " << kv.second << "\n";
    for (const auto& kv : Trails) out << "trail " << kv.first << " " << kv.second << "\n";
    for (const auto& kv : Versions) out << "version " << kv.first << " " << kv.second << "\n";
    for (const auto& kv : Days) out << "day " << kv.first << " " << kv.second << "\n";
    for (const auto& kv : DayCodes) out << "daycode " << kv.first << " " << kv.second << "\n";
    for (const auto& kv : Statuses) out << "status " << kv.first << " " << kv.second << "\n";
    // Sketches as "KIND KEY SKETCH": the last field is not a count.
    if (!Clients.Empty()) out << "clients - " << Clients.Encode() << "\n";
    for (const auto& kv : WeekClients) out << "weekclients " << kv.first << " " << kv.second.Encode() << "\n";
    for (const auto& kv : CodeClients) out << "codeclients " << kv.first << " " << kv.second.Encode() << "\n";
}

bool TTrailCounts::ReadPartial(std::istream& in, std::string& error) {
    // Each line stands alone, so partials may be concatenated, or their lines
    // sorted as a map-reduce engine hands them to its reducer.
    std::string line;
    TTrailCounts read;
    int number = 0;
    bool marked = false;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        if (line == kPartialMagic) {
            marked = true;
            continue;
        }
        size_t last = line.rfind(' ');
        size_t first = line.find(' ');
        if (first != std::string::npos && first != last) {
            const std::string_view kind = std::string_view(line).substr(0, first);
            const std::string key = line.substr(first + 1, last - first - 1);
            const std::string_view sketch = std::string_view(line).substr(last + 1);
            TClientSketch* into = kind == "clients" && key == "-"                  ? &read.Clients
                                  : kind == "weekclients" && WeekKey(key)          ? &read.WeekClients[key]
                                  : kind == "codeclients" && WellFormedCode(key)   ? &read.CodeClients[key]
                                                                                    : nullptr;
            if (into) {
                if (!into->MergeEncoded(sketch)) {
                    error = "line " + std::to_string(number) + " of the partial count holds a damaged client sketch";
                    return false;
                }
                continue;
            }
        }
        std::string_view count = last == std::string::npos ? std::string_view()
                                                           : std::string_view(line).substr(last + 1);
        if (first == std::string::npos || !AllDigits(count) || count.size() > 19) {
            error = "line " + std::to_string(number) + " of the partial count is malformed";
            return false;
        }
        const uint64_t n = std::strtoull(std::string(count).c_str(), nullptr, 10);
        const std::string kind = line.substr(0, first);
        const std::string key = first == last ? "" : line.substr(first + 1, last - first - 1);
        if (kind == "lines" && key.empty()) read.Lines += n;
        else if (kind == "runs" && key.empty()) read.Runs += n;
        else if (kind == "other" && key.empty()) read.Other += n;
        else if (kind == "malformed" && key.empty()) read.Malformed += n;
        else if (kind == "code" && !key.empty()) read.Bump(read.Codes, key, n);
        else if (kind == "trail" && !key.empty()) read.Bump(read.Trails, key, n);
        else if (kind == "version" && !key.empty()) read.Bump(read.Versions, key, n);
        else if (kind == "day" && !key.empty()) read.Bump(read.Days, key, n);
        else if (kind == "daycode" && !key.empty()) read.Bump(read.DayCodes, key, n);
        else if (kind == "status" && !key.empty()) read.Bump(read.Statuses, key, n);
        else {
            error = "line " + std::to_string(number) + " of the partial count is malformed";
            return false;
        }
    }
    if (!marked) {
        error = "not a partial count (it has no \"" + std::string(kPartialMagic) + "\" line)";
        return false;
    }
    Merge(read);
    return true;
}

namespace {

TWeeks Weeks(const TTrailCounts& c) {
    TWeeks w;
    for (const auto& kv : c.Days) {
        const std::string week = IsoWeek(kv.first);
        w.Runs[week.empty() ? kOtherKey : week] += kv.second;
    }
    for (const auto& kv : c.DayCodes) {
        const size_t sp = kv.first.find(' ');
        const std::string week = sp == std::string::npos ? "" : IsoWeek(kv.first.substr(0, sp));
        if (week.empty()) w.Codes[std::string(kOtherKey) + " " + kOtherKey] += kv.second;
        else w.Codes[week + kv.first.substr(sp)] += kv.second;
    }
    return w;
}

}  // namespace

void TTrailCounts::WriteTable(std::ostream& out) const {
    char row[256];
    out << "catalogue requests (runs): " << Runs << "   other requests: " << Other
        << "   malformed lines: " << Malformed << "\n";
    // Runs against people: a client that retries adds runs, not clients.
    if (ClientsUnknown())
        out << "distinct clients of the runs: unknown (the partial counts hold no client sketches)\n";
    else
        out << "distinct clients of the runs: about " << Clients.Estimate() << " (an estimate; standard error "
            << ErrorPercent() << ")\n";
    out << "\ntrail code    runs        share   clients (about)\n";
    for (const auto& kv : ByCount(Codes)) {
        auto sketch = CodeClients.find(kv.first);
        std::snprintf(row, sizeof row, "%-12s  %-10llu  %-6s  %s\n", kv.first.c_str(),
                      static_cast<unsigned long long>(kv.second), Share(kv.second, Runs).c_str(),
                      sketch == CodeClients.end() ? "-" : std::to_string(sketch->second.Estimate()).c_str());
        out << row;
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
    for (const auto& kv : Days) {
        std::snprintf(row, sizeof row, "%-12s  %llu\n", kv.first.c_str(), static_cast<unsigned long long>(kv.second));
        out << row;
    }
    const TWeeks w = Weeks(*this);
    out << "\nweek        runs        clients (about)\n";
    for (const auto& wk : w.Runs) {
        std::snprintf(row, sizeof row, "%-10s  %-10llu  %llu\n", wk.first.c_str(),
                      static_cast<unsigned long long>(wk.second),
                      static_cast<unsigned long long>(ClientsOf(WeekClients, wk.first)));
        out << row;
    }
    out << "\nweek        runs        code  runs   share of the week's runs\n";
    for (const auto& wk : w.Runs) {
        for (const auto& kv : w.Codes) {
            if (kv.first.compare(0, wk.first.size() + 1, wk.first + " ") != 0) continue;
            std::snprintf(row, sizeof row, "%-10s  %-10llu  %-4s  %-5llu  %s\n", wk.first.c_str(),
                          static_cast<unsigned long long>(wk.second), kv.first.substr(wk.first.size() + 1).c_str(),
                          static_cast<unsigned long long>(kv.second), Share(kv.second, wk.second).c_str());
            out << row;
        }
    }
    out << "\ncatalogue     status  requests\n";
    for (const auto& kv : Statuses) {
        size_t sp = kv.first.find(' ');
        std::snprintf(row, sizeof row, "%-12s  %-6s  %llu\n", kv.first.substr(0, sp).c_str(),
                      sp == std::string::npos ? "" : kv.first.substr(sp + 1).c_str(),
                      static_cast<unsigned long long>(kv.second));
        out << row;
    }
}

void TTrailCounts::WriteJson(std::ostream& out) const {
    out << "{\"schema\": " << kTrailsSchema << ", \"lines\": " << Lines << ", \"runs\": " << Runs << ", \"other\": " << Other
        << ", \"malformed\": " << Malformed << ",\n \"clients\": {\"estimate\": "
        << (ClientsUnknown() ? std::string("null") : std::to_string(Clients.Estimate()))
        << ", \"relative_error\": " << TClientSketch::kRelativeError << "},\n \"codes\": [";
    const char* sep = "";
    for (const auto& kv : ByCount(Codes)) {
        out << sep << "{\"code\": " << JsonString(kv.first) << ", \"runs\": " << kv.second
            << ", \"share\": " << Ratio(kv.second, Runs);
        if (CodeClients.count(kv.first)) out << ", \"clients\": " << ClientsOf(CodeClients, kv.first);
        out << "}";
        sep = ", ";
    }
    out << "],\n \"trails\": [";
    sep = "";
    for (const auto& kv : ByCount(Trails)) {
        out << sep << "{\"trail\": " << JsonString(kv.first) << ", \"runs\": " << kv.second
            << ", \"share\": " << Ratio(kv.second, Runs) << "}";
        sep = ", ";
    }
    out << "],\n \"versions\": [";
    sep = "";
    for (const auto& kv : Versions) {
        size_t sp = kv.first.find(' ');
        out << sep << "{\"utility\": " << JsonString(kv.first.substr(0, sp))
            << ", \"installed\": " << JsonString(kv.first.substr(sp + 1)) << ", \"runs\": " << kv.second << "}";
        sep = ", ";
    }
    out << "],\n \"days\": [";
    sep = "";
    for (const auto& kv : Days) {
        out << sep << "{\"day\": " << JsonString(kv.first) << ", \"runs\": " << kv.second << "}";
        sep = ", ";
    }
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
    const TWeeks w = Weeks(*this);
    out << "],\n \"weeks\": [";
    sep = "";
    for (const auto& kv : w.Runs) {
        out << sep << "{\"week\": " << JsonString(kv.first) << ", \"runs\": " << kv.second
            << ", \"clients\": " << ClientsOf(WeekClients, kv.first) << ", \"codes\": [";
        const char* inner = "";
        for (const auto& c : w.Codes) {
            if (c.first.compare(0, kv.first.size() + 1, kv.first + " ") != 0) continue;
            out << inner << "{\"code\": " << JsonString(c.first.substr(kv.first.size() + 1)) << ", \"runs\": " << c.second
                << ", \"share\": " << Ratio(c.second, kv.second) << "}";
            inner = ", ";
        }
        out << "]}";
        sep = ", ";
    }
    out << "],\n \"statuses\": [";
    sep = "";
    for (const auto& kv : Statuses) {
        const size_t sp = kv.first.find(' ');
        out << sep << "{\"catalogue\": " << JsonString(kv.first.substr(0, sp)) << ", \"status\": "
            << JsonString(sp == std::string::npos ? "" : kv.first.substr(sp + 1)) << ", \"requests\": " << kv.second << "}";
        sep = ", ";
    }
    out << "]}\n";
}

void TTrailCounts::WriteCsv(std::ostream& out) const {
    out << "table,key,runs,share\n";
    out << "total,runs," << Runs << ",\n";
    out << "total,other," << Other << ",\n";
    out << "total,malformed," << Malformed << ",\n";
    // Estimates: "runs" holds the number of distinct clients.
    out << "total,clients (about)," << (ClientsUnknown() ? std::string("unknown") : std::to_string(Clients.Estimate()))
        << ",\n";
    for (const auto& kv : ByCount(Codes))
        out << "code," << CsvField(kv.first) << "," << kv.second << "," << Ratio(kv.second, Runs) << "\n";
    for (const auto& kv : ByCount(Codes))
        if (CodeClients.count(kv.first))
            out << "code clients (about)," << CsvField(kv.first) << "," << ClientsOf(CodeClients, kv.first) << ",\n";
    for (const auto& kv : ByCount(Trails))
        out << "trail," << CsvField(kv.first) << "," << kv.second << "," << Ratio(kv.second, Runs) << "\n";
    for (const auto& kv : Versions) out << "version," << CsvField(kv.first) << "," << kv.second << ",\n";
    for (const auto& kv : Days) out << "day," << kv.first << "," << kv.second << ",\n";
    const TWeeks w = Weeks(*this);
    for (const auto& kv : w.Runs) out << "week," << kv.first << "," << kv.second << ",\n";
    for (const auto& kv : w.Runs)
        out << "week clients (about)," << kv.first << "," << ClientsOf(WeekClients, kv.first) << ",\n";
    for (const auto& kv : w.Codes) {
        const std::string week = kv.first.substr(0, kv.first.find(' '));
        out << "week code," << CsvField(kv.first) << "," << kv.second << ","
            << Ratio(kv.second, w.Runs.count(week) ? w.Runs.at(week) : 0) << "\n";
    }
    for (const auto& kv : Statuses) out << "status," << CsvField(kv.first) << "," << kv.second << ",\n";
}

namespace {

// Decompression runs on its own thread, a few chunks ahead of the counting,
// so that the two overlap as the stages of a shell pipeline do. Memory stays
// at kSlots chunks whatever the file's size.
class TChunkReader {
public:
    static constexpr size_t kChunk = 1 << 20;
    static constexpr size_t kSlots = 3;

    explicit TChunkReader(gzFile file) : file_(file) {
        for (auto& slot : slots_) slot.resize(kChunk);
        thread_ = std::thread([this] { Produce(); });
    }
    ~TChunkReader() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    TChunkReader(const TChunkReader&) = delete;
    TChunkReader& operator=(const TChunkReader&) = delete;

    // The next chunk (empty at the end); valid until the next call.
    std::string_view Next() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (consumed_ > 0) {
            ++freed_;
            changed_.notify_all();
        }
        changed_.wait(lock, [this] { return filled_ > consumed_ || done_; });
        if (filled_ == consumed_) return {};
        const size_t slot = consumed_++ % kSlots;
        return std::string_view(slots_[slot].data(), sizes_[slot]);
    }
    // After the end: "" or what went wrong.
    std::string Error() {
        std::lock_guard<std::mutex> lock(mutex_);
        return error_;
    }

private:
    void Produce() {
        for (size_t n = 0;; ++n) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [&] { return stop_ || n < freed_ + kSlots; });
                if (stop_) return;
            }
            const size_t slot = n % kSlots;
            const int got = gzread(file_, slots_[slot].data(), static_cast<unsigned>(kChunk));
            std::lock_guard<std::mutex> lock(mutex_);
            if (got <= 0) {
                int code = Z_OK;
                const char* message = gzerror(file_, &code);
                // A gzip stream cut short reads as an early end with an error.
                if (got < 0 || (code != Z_OK && code != Z_STREAM_END)) error_ = message;
                done_ = true;
                changed_.notify_all();
                return;
            }
            sizes_[slot] = static_cast<size_t>(got);
            ++filled_;
            changed_.notify_all();
        }
    }

    gzFile file_;
    std::vector<char> slots_[kSlots];
    size_t sizes_[kSlots] = {};
    std::mutex mutex_;
    std::condition_variable changed_;
    size_t filled_ = 0, consumed_ = 0, freed_ = 0;
    bool done_ = false, stop_ = false;
    std::string error_;
    std::thread thread_;
};

}  // namespace

namespace {

// What the start of a file says it is, when it is not text updlog reads.
std::string NotText(std::string_view head) {
    const struct {
        const char* magic;
        size_t size;
        const char* what;
    } kForms[] = {
        {"\xFD" "7zXZ\0", 6, "xz-compressed (decompress it first: xz -dc FILE | updlog trails -)"},
        {"BZh", 3, "bzip2-compressed (decompress it first: bzip2 -dc FILE | updlog trails -)"},
        {"\x28\xB5\x2F\xFD", 4, "zstd-compressed (decompress it first: zstd -dc FILE | updlog trails -)"},
        {"PK\x03\x04", 4, "a zip archive (extract the log first)"},
        {"7z\xBC\xAF\x27\x1C", 6, "a 7-Zip archive (extract the log first)"},
        {"\x04\x22\x4D\x18", 4, "lz4-compressed (decompress it first)"},
    };
    for (const auto& f : kForms)
        if (head.size() >= f.size && head.compare(0, f.size, std::string_view(f.magic, f.size)) == 0)
            return std::string("is ") + f.what + ", which updlog does not read";
    if (head.substr(0, 4096).find('\0') != std::string_view::npos)
        return "holds binary data (NUL bytes), not the text of an access log";
    return "";
}

}  // namespace

bool CountFile(const std::string& path, TTrailCounts& counts, std::string& error, bool* unreadable) {
    if (unreadable) *unreadable = false;
    // gzread reads plain files as they are, so one path serves both.
    errno = 0;
    gzFile file = path == "-" ? gzdopen(fileno(stdin), "rb") : gzopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = "cannot read " + path + ": " + std::strerror(errno ? errno : ENOMEM);
        if (unreadable) *unreadable = true;
        return false;
    }
    std::unique_ptr<gzFile_s, int (*)(gzFile)> guard(file, gzclose);
    gzbuffer(file, 256 * 1024);
    std::string carry;      // an unfinished line from the chunk before
    bool skipping = false;  // inside an over-long line
    std::string message;
    {
        TChunkReader reader(file);
        bool first = true;
        for (std::string_view chunk = reader.Next(); !chunk.empty(); chunk = reader.Next()) {
            if (first) {
                first = false;
                const std::string notText = NotText(chunk);
                if (!notText.empty()) {
                    error = path + " " + notText;
                    return false;
                }
            }
            for (;;) {
                const size_t nl = chunk.find('\n');
                if (nl == std::string_view::npos) break;
                if (skipping) {
                    skipping = false;
                    ++counts.Lines;
                    ++counts.Malformed;
                } else if (!carry.empty()) {
                    carry.append(chunk.data(), nl);
                    if (carry.size() > TTrailCounts::kMaxLine) {
                        ++counts.Lines;
                        ++counts.Malformed;
                    } else {
                        counts.CountLine(carry);
                    }
                    carry.clear();
                } else {
                    counts.CountLine(chunk.substr(0, nl));
                }
                chunk.remove_prefix(nl + 1);
            }
            if (!skipping) carry.append(chunk.data(), chunk.size());
            if (carry.size() > TTrailCounts::kMaxLine) {
                skipping = true;
                carry.clear();
            }
        }
        message = reader.Error();
    }
    if (skipping) {
        ++counts.Lines;
        ++counts.Malformed;
    } else if (!carry.empty()) {
        counts.CountLine(carry);
    }
    counts.Flush();
    if (!message.empty()) {
        error = "cannot read all of " + path + ": " + message;
        if (unreadable) *unreadable = true;
        return false;
    }
    return true;
}

// ---- The publisher's report ----------------------------------------------------

namespace {

std::string Html(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string Num(double v, int decimals = 0) {
    char out[32];
    std::snprintf(out, sizeof out, "%.*f", decimals, v);
    return out;
}

// A fixed colour per code, so that charts read alike from month to month.
const char* CodeColour(const std::string& code) {
    static const struct {
        const char* code;
        const char* colour;
    } kColours[] = {{"1OK", "#4c9a2a"}, {"GDW", "#d98c00"}, {"BLK", "#c0392b"}, {"UMX", "#2c6fbb"},
                    {"INF", "#8e44ad"}, {"IER", "#16a085"}, {"ENT", "#7f5539"}};
    for (const auto& k : kColours)
        if (code == k.code) return k.colour;
    return "#888888";
}

// Horizontal bars: one row per label.
void BarChart(std::ostream& out, const std::string& title,
              const std::vector<std::pair<std::string, double>>& rows, const std::string& unit,
              const std::vector<std::string>& colours) {
    const int rowHeight = 22, labelWidth = 150, barWidth = 420;
    double max = 0;
    for (const auto& r : rows) max = std::max(max, r.second);
    out << "<figure><figcaption>" << Html(title) << "</figcaption>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\""
        << labelWidth + barWidth + 90 << "\" height=\"" << rowHeight * rows.size() + 6 << "\" role=\"img\">\n";
    for (size_t i = 0; i < rows.size(); ++i) {
        const int y = static_cast<int>(i) * rowHeight + 3;
        const double w = max > 0 ? rows[i].second / max * barWidth : 0;
        out << "<text x=\"" << labelWidth - 6 << "\" y=\"" << y + 15 << "\" text-anchor=\"end\">" << Html(rows[i].first)
            << "</text><rect x=\"" << labelWidth << "\" y=\"" << y << "\" width=\"" << Num(std::max(w, 1.0), 1)
            << "\" height=\"" << rowHeight - 5 << "\" fill=\"" << (i < colours.size() ? colours[i] : "#2c6fbb")
            << "\"/><text x=\"" << Num(labelWidth + w + 6, 1) << "\" y=\"" << y + 15 << "\">"
            << Html(unit == "%" ? Num(rows[i].second, 1) + "%" : Num(rows[i].second)) << "</text>\n";
    }
    out << "</svg></figure>\n";
}

// Columns over time, one per day.
void DayChart(std::ostream& out, const std::map<std::string, uint64_t>& days) {
    const int height = 180, left = 50, width = std::max<int>(300, static_cast<int>(days.size()) * 14);
    uint64_t max = 1;
    for (const auto& kv : days) max = std::max(max, kv.second);
    out << "<figure><figcaption>Runs per day</figcaption>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\""
        << left + width + 10 << "\" height=\"" << height + 40 << "\" role=\"img\">\n";
    out << "<line x1=\"" << left << "\" y1=\"" << height << "\" x2=\"" << left + width << "\" y2=\"" << height
        << "\" stroke=\"#444\"/>\n<text x=\"" << left - 6 << "\" y=\"14\" text-anchor=\"end\">" << max
        << "</text><text x=\"" << left - 6 << "\" y=\"" << height << "\" text-anchor=\"end\">0</text>\n";
    const double step = days.empty() ? 0 : static_cast<double>(width) / static_cast<double>(days.size());
    size_t i = 0;
    for (const auto& kv : days) {
        const double h = static_cast<double>(kv.second) / static_cast<double>(max) * (height - 10);
        const double x = left + step * static_cast<double>(i);
        out << "<rect x=\"" << Num(x + 1, 1) << "\" y=\"" << Num(height - h, 1) << "\" width=\""
            << Num(std::max(step - 2, 1.0), 1) << "\" height=\"" << Num(h, 1) << "\" fill=\"#2c6fbb\"><title>"
            << Html(kv.first) << ": " << kv.second << " runs</title></rect>\n";
        // A date under the first column and every seventh.
        if (i % 7 == 0)
            out << "<text x=\"" << Num(x + 1, 1) << "\" y=\"" << height + 16 << "\" font-size=\"11\">" << Html(kv.first)
                << "</text>\n";
        ++i;
    }
    out << "</svg></figure>\n";
}

// Share of runs per week for each code: one line per code.
void WeekChart(std::ostream& out, const TWeeks& w, const std::vector<std::string>& codes) {
    const int height = 200, left = 50, width = std::max<int>(300, static_cast<int>(w.Runs.size()) * 60);
    out << "<figure><figcaption>Share of runs with each code, by ISO week</figcaption>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << left + width + 120 << "\" height=\"" << height + 40
        << "\" role=\"img\">\n";
    out << "<line x1=\"" << left << "\" y1=\"" << height << "\" x2=\"" << left + width << "\" y2=\"" << height
        << "\" stroke=\"#444\"/><text x=\"" << left - 6 << "\" y=\"14\" text-anchor=\"end\">100%</text>"
        << "<text x=\"" << left - 6 << "\" y=\"" << height << "\" text-anchor=\"end\">0%</text>\n";
    std::vector<std::string> weeks;
    for (const auto& kv : w.Runs) weeks.push_back(kv.first);
    const double step = weeks.size() > 1 ? static_cast<double>(width) / static_cast<double>(weeks.size() - 1) : 0;
    for (size_t i = 0; i < weeks.size(); ++i)
        out << "<text x=\"" << Num(left + step * static_cast<double>(i), 1) << "\" y=\"" << height + 16
            << "\" font-size=\"11\" text-anchor=\"middle\">" << Html(weeks[i]) << "</text>\n";
    int legend = 0;
    for (const std::string& code : codes) {
        std::string points;
        for (size_t i = 0; i < weeks.size(); ++i) {
            auto it = w.Codes.find(weeks[i] + " " + code);
            const double share = it == w.Codes.end() || w.Runs.at(weeks[i]) == 0
                                     ? 0
                                     : static_cast<double>(it->second) / static_cast<double>(w.Runs.at(weeks[i]));
            const double x = left + step * static_cast<double>(i), y = height - share * (height - 10);
            points += Num(x, 1) + "," + Num(y, 1) + " ";
            out << "<circle cx=\"" << Num(x, 1) << "\" cy=\"" << Num(y, 1) << "\" r=\"3\" fill=\"" << CodeColour(code)
                << "\"><title>" << Html(weeks[i] + " " + code) << ": " << Num(share * 100, 1) << "%</title></circle>\n";
        }
        out << "<polyline fill=\"none\" stroke-width=\"2\" stroke=\"" << CodeColour(code) << "\" points=\"" << points
            << "\"/>\n<rect x=\"" << left + width + 20 << "\" y=\"" << 10 + 18 * legend << "\" width=\"12\" height=\"12\" fill=\""
            << CodeColour(code) << "\"/><text x=\"" << left + width + 38 << "\" y=\"" << 20 + 18 * legend << "\">"
            << Html(code) << "</text>\n";
        ++legend;
    }
    out << "</svg></figure>\n";
}

void Table(std::ostream& out, const std::string& caption, const std::vector<std::string>& head,
           const std::vector<std::vector<std::string>>& rows) {
    out << "<table><caption>" << Html(caption) << "</caption><tr>";
    for (const auto& h : head) out << "<th>" << Html(h) << "</th>";
    out << "</tr>\n";
    for (const auto& r : rows) {
        out << "<tr>";
        for (const auto& c : r) out << "<td>" << Html(c) << "</td>";
        out << "</tr>\n";
    }
    out << "</table>\n";
}

}  // namespace

void TTrailCounts::WriteHtml(std::ostream& out) const {
    const TWeeks w = Weeks(*this);
    out << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
           "<title>Update utility: catalogue requests</title>\n<style>\n"
           "body{font-family:sans-serif;margin:2em;color:#222}figure{margin:1.5em 0}"
           "figcaption{font-weight:bold;margin-bottom:.4em}svg text{font-size:13px;fill:#222}"
           "table{border-collapse:collapse;margin:1em 2em 1em 0;display:inline-table;vertical-align:top}"
           "caption{font-weight:bold;text-align:left}td,th{border:1px solid #ccc;padding:2px 8px;text-align:right}"
           "td:first-child,th:first-child{text-align:left}.summary{font-size:1.1em}\n"
           "</style></head><body>\n<h1>Update utility: catalogue requests</h1>\n";
    out << "<p class=\"summary\" id=\"summary\">" << Runs << " runs (catalogue requests with a trail), " << Other
        << " other requests, " << Malformed << " malformed lines, " << Days.size() << " days; ";
    if (ClientsUnknown())
        out << "distinct clients unknown (the partial counts hold no client sketches).</p>\n";
    else
        out << "about " << Clients.Estimate() << " distinct clients made the runs (an estimate; standard error "
            << ErrorPercent() << ").</p>\n";
    DayChart(out, Days);
    std::vector<std::string> codes;
    std::vector<std::pair<std::string, double>> shares;
    std::vector<std::string> colours;
    for (const auto& kv : ByCount(Codes)) {
        if (codes.size() < 12) codes.push_back(kv.first);
        shares.push_back({kv.first, Runs ? 100.0 * static_cast<double>(kv.second) / static_cast<double>(Runs) : 0});
        colours.push_back(CodeColour(kv.first));
        if (shares.size() == 20) break;
    }
    BarChart(out, "Share of runs with each code", shares, "%", colours);
    WeekChart(out, w, codes);
    // Installed versions, the most frequent first.
    std::map<std::string, uint64_t> installed;
    for (const auto& kv : Versions) installed[kv.first.substr(kv.first.find(' ') + 1)] += kv.second;
    std::vector<std::pair<std::string, double>> versionRows;
    for (const auto& kv : ByCount(installed)) {
        versionRows.push_back({kv.first, static_cast<double>(kv.second)});
        if (versionRows.size() == 20) break;
    }
    BarChart(out, "Runs by installed version", versionRows, "", {});

    std::vector<std::vector<std::string>> rows;
    for (const auto& kv : ByCount(Codes))
        rows.push_back({kv.first, std::to_string(kv.second), Share(kv.second, Runs),
                        CodeClients.count(kv.first) ? std::to_string(ClientsOf(CodeClients, kv.first)) : "-"});
    Table(out, "Codes", {"code", "runs", "share", "clients (about)"}, rows);
    rows.clear();
    for (const auto& kv : ByCount(Trails)) {
        rows.push_back({kv.first, std::to_string(kv.second), Share(kv.second, Runs)});
        if (rows.size() == 200) break;
    }
    Table(out, "Trails (the 200 most frequent)", {"trail", "runs", "share"}, rows);
    rows.clear();
    for (const auto& kv : Versions) {
        const size_t sp = kv.first.find(' ');
        rows.push_back({kv.first.substr(0, sp), kv.first.substr(sp + 1), std::to_string(kv.second)});
    }
    Table(out, "Versions", {"utility", "installed", "runs"}, rows);
    rows.clear();
    for (const auto& kv : w.Runs) {
        std::string line;
        for (const auto& c : w.Codes)
            if (c.first.compare(0, kv.first.size() + 1, kv.first + " ") == 0)
                line += c.first.substr(kv.first.size() + 1) + " " + Share(c.second, kv.second) + "  ";
        rows.push_back({kv.first, std::to_string(kv.second), std::to_string(ClientsOf(WeekClients, kv.first)), line});
    }
    Table(out, "Weeks", {"week", "runs", "clients (about)", "share of the week's runs"}, rows);
    rows.clear();
    for (const auto& kv : Statuses) {
        const size_t sp = kv.first.find(' ');
        rows.push_back({kv.first.substr(0, sp), sp == std::string::npos ? "" : kv.first.substr(sp + 1),
                        std::to_string(kv.second)});
    }
    Table(out, "HTTP status by catalogue", {"catalogue", "status", "requests"}, rows);
    rows.clear();
    for (const auto& kv : Days) rows.push_back({kv.first, std::to_string(kv.second)});
    Table(out, "Runs by day", {"day", "runs"}, rows);
    out << "</body></html>\n";
}
