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

void Bump(std::map<std::string, uint64_t>& table, const std::string& key, uint64_t n = 1) {
    auto it = table.find(key);
    if (it != table.end()) {
        it->second += n;
    } else if (table.size() < TTrailCounts::kMaxKeys) {
        table.emplace(key, n);
    } else {
        table["(other)"] += n;
    }
}

// "10/Oct/2000" -> "2000-10-10"; empty when it is not a date.
std::string IsoDay(std::string_view d) {
    static const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                          "jul", "aug", "sep", "oct", "nov", "dec"};
    if (d.size() != 11 || d[2] != '/' || d[6] != '/' || !IsDigit(d[0]) || !IsDigit(d[1])) return "";
    for (int i = 7; i < 11; ++i)
        if (!IsDigit(d[static_cast<size_t>(i)])) return "";
    for (int m = 0; m < 12; ++m) {
        const char* name = kMonths[m];
        if (Lower(d[3]) == name[0] && Lower(d[4]) == name[1] && Lower(d[5]) == name[2]) {
            char out[11];
            std::snprintf(out, sizeof out, "%.4s-%02d-%.2s", d.data() + 7, m + 1, d.data());
            return out;
        }
    }
    return "";
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

}  // namespace

void TTrailCounts::AddLine(std::string_view line) {
    ++Lines;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    if (line.empty()) return;
    // host ident user [day/Mon/year:time zone] "request" status size ...
    size_t open = line.find(" [");
    if (open == std::string_view::npos || line.size() < open + 14) {
        ++Malformed;
        return;
    }
    std::string day = IsoDay(line.substr(open + 2, 11));
    size_t close = line.find("] \"", open);
    if (day.empty() || line[open + 13] != ':' || close == std::string_view::npos) {
        ++Malformed;
        return;
    }
    std::string_view rest = line.substr(close + 3);
    size_t endQuote = rest.find('"');
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
    std::string_view digits, err;
    if (!CatalogueName(path.substr(path.rfind('/') + 1), digits) || !QueryValue(query, "err", err)) {
        ++Other;
        return;
    }
    ++Runs;
    // The trail starts with the utility's version number, then "-CODE" each.
    size_t dash = err.find('-');
    std::string_view utility = err.substr(0, dash);
    std::string_view codes = dash == std::string_view::npos ? std::string_view() : err.substr(dash + 1);
    Bump(Trails, codes.empty() ? std::string("(none)") : CleanKey(codes));
    std::vector<std::string_view> seen;
    while (!codes.empty()) {
        size_t next = codes.find('-');
        std::string_view code = codes.substr(0, next);
        if (!code.empty() && std::find(seen.begin(), seen.end(), code) == seen.end() && seen.size() < 16) {
            seen.push_back(code);
            Bump(Codes, CleanKey(code));
        }
        if (next == std::string_view::npos) break;
        codes.remove_prefix(next + 1);
    }
    std::string_view installed;
    if (!QueryValue(query, "updating", installed) || !AllDigits(installed)) installed = digits;
    Bump(Versions, (AllDigits(utility) ? CleanKey(utility) : std::string("?")) + " " + CleanKey(installed));
    Bump(Days, day);
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
}

void TTrailCounts::WritePartial(std::ostream& out) const {
    out << kPartialMagic << "\n";
    out << "lines " << Lines << "\nruns " << Runs << "\nother " << Other << "\nmalformed " << Malformed << "\n";
    for (const auto& kv : Codes) out << "code " << kv.first << " " << kv.second << "\n";
    for (const auto& kv : Trails) out << "trail " << kv.first << " " << kv.second << "\n";
    for (const auto& kv : Versions) out << "version " << kv.first << " " << kv.second << "\n";
    for (const auto& kv : Days) out << "day " << kv.first << " " << kv.second << "\n";
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
        else if (kind == "code" && !key.empty()) Bump(read.Codes, key, n);
        else if (kind == "trail" && !key.empty()) Bump(read.Trails, key, n);
        else if (kind == "version" && !key.empty()) Bump(read.Versions, key, n);
        else if (kind == "day" && !key.empty()) Bump(read.Days, key, n);
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

void TTrailCounts::WriteTable(std::ostream& out) const {
    char row[256];
    out << "catalogue requests (runs): " << Runs << "   other requests: " << Other
        << "   malformed lines: " << Malformed << "\n";
    out << "\ntrail code    runs        share\n";
    for (const auto& kv : ByCount(Codes)) {
        std::snprintf(row, sizeof row, "%-12s  %-10llu  %s\n", kv.first.c_str(),
                      static_cast<unsigned long long>(kv.second), Share(kv.second, Runs).c_str());
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
}

void TTrailCounts::WriteJson(std::ostream& out) const {
    out << "{\"lines\": " << Lines << ", \"runs\": " << Runs << ", \"other\": " << Other
        << ", \"malformed\": " << Malformed << ",\n \"codes\": [";
    const char* sep = "";
    for (const auto& kv : ByCount(Codes)) {
        out << sep << "{\"code\": " << JsonString(kv.first) << ", \"runs\": " << kv.second
            << ", \"share\": " << Ratio(kv.second, Runs) << "}";
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
    out << "]}\n";
}

void TTrailCounts::WriteCsv(std::ostream& out) const {
    out << "table,key,runs,share\n";
    out << "total,runs," << Runs << ",\n";
    out << "total,other," << Other << ",\n";
    out << "total,malformed," << Malformed << ",\n";
    for (const auto& kv : ByCount(Codes))
        out << "code," << CsvField(kv.first) << "," << kv.second << "," << Ratio(kv.second, Runs) << "\n";
    for (const auto& kv : ByCount(Trails))
        out << "trail," << CsvField(kv.first) << "," << kv.second << "," << Ratio(kv.second, Runs) << "\n";
    for (const auto& kv : Versions) out << "version," << CsvField(kv.first) << "," << kv.second << ",\n";
    for (const auto& kv : Days) out << "day," << kv.first << "," << kv.second << ",\n";
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

bool CountFile(const std::string& path, TTrailCounts& counts, std::string& error) {
    // gzread reads plain files as they are, so one path serves both.
    gzFile file = path == "-" ? gzdopen(fileno(stdin), "rb") : gzopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    std::unique_ptr<gzFile_s, int (*)(gzFile)> guard(file, gzclose);
    gzbuffer(file, 256 * 1024);
    std::string carry;      // an unfinished line from the chunk before
    bool skipping = false;  // inside an over-long line
    std::string message;
    {
        TChunkReader reader(file);
        for (std::string_view chunk = reader.Next(); !chunk.empty(); chunk = reader.Next()) {
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
                        counts.AddLine(carry);
                    }
                    carry.clear();
                } else {
                    counts.AddLine(chunk.substr(0, nl));
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
        counts.AddLine(carry);
    }
    if (!message.empty()) {
        error = path + ": " + message;
        return false;
    }
    return true;
}
