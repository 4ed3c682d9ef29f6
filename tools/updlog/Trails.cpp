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

// A utility version as the trail gives it ("15003"), or "?" when it did not.
bool UtilityKey(std::string_view u) { return u == "?" || DigitsUpTo(u, 6); }

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
    case 6: return UtilityKey(second);
    case 7: {
        const size_t sp2 = second.find(' ');
        return sp2 != std::string_view::npos && UtilityKey(second.substr(0, sp2)) &&
               WellFormedCode(second.substr(sp2 + 1));
    }
    default: return false;
    }
}

const char kOtherKey[] = "(other)";

// "09:05:00"
bool TimeOfDay(std::string_view t) {
    return t.size() == 8 && t[2] == ':' && t[5] == ':' && IsDigit(t[0]) && IsDigit(t[1]) && IsDigit(t[3]) &&
           IsDigit(t[4]) && IsDigit(t[6]) && IsDigit(t[7]);
}

// "2026-12-10T09:05:00": a time of the first or last run.
bool SeenKey(std::string_view key) {
    return key.size() == 19 && key[4] == '-' && key[7] == '-' && key[10] == 'T' && key[13] == ':' && key[16] == ':' &&
           AllDigits(key.substr(0, 4)) && AllDigits(key.substr(5, 2)) && AllDigits(key.substr(8, 2)) &&
           AllDigits(key.substr(11, 2)) && AllDigits(key.substr(14, 2)) && AllDigits(key.substr(17, 2));
}

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

// Version 2 adds the counts by utility version and the first and last
// times; a version 1 count still reads (without them).
const char kPartialMagic[] = "updlog-partial 2";
const char kPartialMagicV1[] = "updlog-partial 1";

}  // namespace

void TTrailCounts::Bump(std::map<std::string, uint64_t>& table, const std::string& key, uint64_t n) {
    std::map<std::string, uint64_t>* const tables[] = {&Codes,    &Trails,   &Versions,    &Days,
                                                       &DayCodes, &Statuses, &UtilityDays, &UtilityDayCodes};
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

int IsoWeekday(const std::string& day) {
    const std::string week = IsoWeek(day);
    if (week.empty()) return 0;
    int y = 0, m = 0, d = 0;
    std::sscanf(day.c_str(), "%4d-%2d-%2d", &y, &m, &d);
    // Zeller's congruence: 0 Saturday .. 6 Friday.
    if (m < 3) m += 12, --y;
    const int h = (d + 13 * (m + 1) / 5 + y + y / 4 - y / 100 + y / 400) % 7;
    return (h + 5) % 7 + 1;
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
    // The first and last time of the runs: whether the first and last days
    // are whole. Times of one day compare as text ("09:05:00").
    const std::string_view time = line.substr(open + 14, 8);
    if (TimeOfDay(time)) {
        if (p.FirstTime.empty() || time < p.FirstTime) p.FirstTime.assign(time.data(), time.size());
        if (time > p.LastTime) p.LastTime.assign(time.data(), time.size());
    }
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
    p.Utility = DigitsUpTo(utility, 6) ? std::string(utility) : std::string("?");
    p.Version = (AllDigits(utility) ? CleanKey(utility) : std::string("?")) + " " + CleanKey(installed);
    return p;
}

void TTrailCounts::Flush() {
    for (const auto& kv : pending_) {
        const TPending& p = kv.second;
        Bump(Statuses, p.Status, p.Lines);
        if (!p.Run) continue;
        Bump(Trails, p.Trail, p.Lines);
        const std::string dayUtility = p.Day + " " + p.Utility;
        for (const std::string& code : p.Codes) {
            Bump(Codes, code, p.Lines);
            Bump(DayCodes, p.Day + " " + code, p.Lines);
            Bump(UtilityDayCodes, dayUtility + " " + code, p.Lines);
        }
        Bump(Versions, p.Version, p.Lines);
        Bump(Days, p.Day, p.Lines);
        Bump(UtilityDays, dayUtility, p.Lines);
        if (!p.FirstTime.empty()) Seen(p.Day + "T" + p.FirstTime, p.Day + "T" + p.LastTime);
    }
    pending_.clear();
}

void TTrailCounts::Seen(const std::string& first, const std::string& last) {
    if (FirstSeen.empty() || first < FirstSeen) FirstSeen = first;
    if (last > LastSeen) LastSeen = last;
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
    for (const auto& kv : other.UtilityDays) Bump(UtilityDays, kv.first, kv.second);
    for (const auto& kv : other.UtilityDayCodes) Bump(UtilityDayCodes, kv.first, kv.second);
    if (!other.FirstSeen.empty()) Seen(other.FirstSeen, other.LastSeen);
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
    for (const auto& kv : UtilityDays) out << "utilityday " << kv.first << " " << kv.second << "\n";
    for (const auto& kv : UtilityDayCodes) out << "utilitycode " << kv.first << " " << kv.second << "\n";
    // Times as "KIND TIME -": the last field is not a count.
    if (!FirstSeen.empty()) out << "first " << FirstSeen << " -\nlast " << LastSeen << " -\n";
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
        if (line == kPartialMagic || line == kPartialMagicV1) {
            marked = true;
            continue;
        }
        if ((line.compare(0, 6, "first ") == 0 || line.compare(0, 5, "last ") == 0) && line.size() > 2 &&
            line.compare(line.size() - 2, 2, " -") == 0) {
            const bool first = line[0] == 'f';
            const std::string at = line.substr(first ? 6 : 5, line.size() - (first ? 8 : 7));
            if (!SeenKey(at)) {
                error = "line " + std::to_string(number) + " of the partial count is malformed";
                return false;
            }
            if (first) read.Seen(at, read.LastSeen.empty() ? at : read.LastSeen);
            else read.Seen(read.FirstSeen.empty() ? at : read.FirstSeen, at);
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
        else if (kind == "utilityday" && !key.empty()) read.Bump(read.UtilityDays, key, n);
        else if (kind == "utilitycode" && !key.empty()) read.Bump(read.UtilityDayCodes, key, n);
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

