#pragma once
// Counting the utility's catalogue requests in web server access logs
// (Common and Combined Log Format) by error trail, by versions and by day,
// with an estimate of the distinct clients behind them.
// Streaming: memory grows only with the number of distinct keys. Keys of the
// expected form (the trail codes, trails of known codes, version numbers,
// days) are counted exactly whatever their number; other keys ("junk") keep
// a bounded table of the first kMaxKeys in sort order, the rest counted under
// "(other)", so that any split into partials merges to the same count.
#include <cstdint>
#include <istream>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tools/updlog/ClientSketch.h"

// The JSON layout's version.
constexpr int kTrailsSchema = 2;

struct TTrailCounts {
    static constexpr size_t kMaxKeys = 20000;
    // Longer lines are counted as malformed and skipped.
    static constexpr size_t kMaxLine = 64 * 1024;

    uint64_t Lines = 0;
    uint64_t Runs = 0;       // the utility's catalogue requests
    uint64_t Other = 0;      // well-formed requests of anything else
    uint64_t Malformed = 0;  // lines that are not access log lines
    std::map<std::string, uint64_t> Codes;     // "UMX" -> runs whose trail holds it
    std::map<std::string, uint64_t> Trails;    // "1OK-UMX" (or "(none)") -> runs
    std::map<std::string, uint64_t> Versions;  // "10100 1095": utility, installed -> runs
    std::map<std::string, uint64_t> Days;      // "2026-12-10" -> runs
    std::map<std::string, uint64_t> DayCodes;  // "2026-12-10 GDW" -> runs that day whose trail holds it
    std::map<std::string, uint64_t> Statuses;  // "SP109.UPD 404" -> requests of that catalogue (any client)
    // By the utility's version the trail names ("?" when it names none):
    std::map<std::string, uint64_t> UtilityDays;      // "2026-12-10 15003" -> runs
    std::map<std::string, uint64_t> UtilityDayCodes;  // "2026-12-10 15003 IER" -> runs whose trail holds it
    // The times of the first and last run ("2026-12-10T09:05:00", the log's
    // local time), to tell whether the first and last days are whole.
    std::string FirstSeen, LastSeen;
    // Distinct client addresses, estimated: of all runs, of each ISO week's
    // ("2026-W50"), and of the runs whose trail holds a code ("GDW"; codes of
    // the well-formed kind only).
    TClientSketch Clients;
    // Runs without a sketch: partial counts written before clients were
    // counted. Their estimate would read as "about 0".
    bool ClientsUnknown() const { return Runs > 0 && Clients.Empty(); }
    std::map<std::string, TClientSketch> WeekClients;
    std::map<std::string, TClientSketch> CodeClients;

    // One access log line, without its line end.
    void AddLine(std::string_view line);
    // As AddLine, but the tables catch up only at Flush: lines that differ
    // only in their client and time are counted together, which is what makes
    // a large file fast. Flush before reading, merging or copying the counts.
    void CountLine(std::string_view line);
    void Flush();
    // Adds another count (a partial count read back, or another file's).
    void Merge(const TTrailCounts& other);

    // The mergeable form that --partial writes and ReadPartial reads.
    void WritePartial(std::ostream& out) const;
    // Adds a partial count; false (with a message) when the text is not one.
    bool ReadPartial(std::istream& in, std::string& error);

    void WriteTable(std::ostream& out) const;
    void WriteJson(std::ostream& out) const;
    void WriteCsv(std::ostream& out) const;
    // One self-contained HTML page: charts (inline SVG) and the tables.
    void WriteHtml(std::ostream& out) const;

private:
    // The junk keys each table holds: Codes, Trails, Versions, Days, DayCodes,
    // Statuses, UtilityDays, UtilityDayCodes.
    std::set<std::string> junk_[8];
    // What the lines counted since the last Flush add to the tables, by the
    // fields they were worked out from.
    struct TPending {
        uint64_t Lines = 0;
        bool Run = false;
        std::string Status, Trail, Version, Day, Utility;
        std::string FirstTime, LastTime;  // of its lines, "09:05:00"
        std::vector<std::string> Codes;
        TClientSketch* Week = nullptr;
        std::vector<TClientSketch*> CodeSketches;
    };
    static constexpr size_t kMaxPending = 4096;
    std::unordered_map<std::string, TPending> pending_;
    std::string fields_;  // the key of pending_ for the line at hand
    std::string lastDate_;  // the log's date as written, and whether it is one
    bool lastDateOk_ = false;
    TPending MakePending(std::string_view date, std::string_view digits, std::string_view status, bool run,
                         std::string_view err, std::string_view installed);
    void Bump(std::map<std::string, uint64_t>& table, const std::string& key, uint64_t n = 1);
    void Seen(const std::string& first, const std::string& last);
};

// "2026-12-10" -> "2026-W50" (ISO 8601 week); "" when it is not a day.
std::string IsoWeek(const std::string& day);
// "2026-12-10" -> 4 (Thursday; Monday is 1); 0 when it is not a day.
int IsoWeekday(const std::string& day);

// Reads FILE (plain or gzip; "-" is standard input) line by line into counts.
// False with a message when it cannot be opened or read (*unreadable set;
// what was read still counts), or when it is not text: another compression
// or binary data (nothing counted).
bool CountFile(const std::string& path, TTrailCounts& counts, std::string& error, bool* unreadable = nullptr);
