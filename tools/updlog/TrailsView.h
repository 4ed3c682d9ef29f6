#pragma once
// What the reports of `updlog trails` show beyond the raw counts, worked out
// once from them: the date range and which of its days and weeks are partial,
// the code shares per utility version (overall and per week), this week
// against the last, the funnel of the runs' steps, and the catalogues'
// error statuses.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tools/updlog/Trails.h"

struct TCodeShare {
    std::string Code;
    uint64_t Runs = 0;
    double Share = 0;  // of the group's runs, 0..1
};

struct TUtilityShares {
    std::string Utility;  // "15003", or "?" when the trail named none
    uint64_t Runs = 0;
    std::vector<TCodeShare> Codes;  // every code, most runs first
};

struct TWeekView {
    std::string Week;  // "2026-W50", or "(other)"
    uint64_t Runs = 0;
    uint64_t Clients = 0;
    bool Partial = false;
    int Days = 0;  // days of the week with runs
    std::vector<TCodeShare> Codes;
    std::vector<TUtilityShares> Utilities;
};

struct TDayView {
    std::string Day;
    uint64_t Runs = 0;
    bool Partial = false;
};

struct TCodeDelta {
    std::string Code;
    double Share = 0, Previous = 0;  // this week's and the week before's, 0..1
};

struct TFunnelStep {
    std::string Name;
    uint64_t Runs = 0;  // runs clean through this step
};

struct TStatusView {
    std::string Catalogue, Status;
    uint64_t Requests = 0;
    bool Error = false;  // 4xx or 5xx
};

struct TTrailsView {
    std::string FirstDay, LastDay;  // "" without dated runs
    bool FirstDayPartial = false, LastDayPartial = false;
    std::vector<TDayView> Days;
    std::vector<TWeekView> Weeks;  // in order; "(other)" last
    std::vector<TUtilityShares> Utilities;  // by version
    // This week (the last whole or partial week) against the one before it.
    std::string ThisWeek, LastWeek;
    bool ThisWeekPartial = false, LastWeekPartial = false;
    std::vector<TCodeDelta> Headline;  // failure codes, this week's largest first
    std::vector<TFunnelStep> Funnel;
    std::vector<TStatusView> Statuses;
    std::vector<std::string> FailureCodes;  // the codes other than 1OK, most runs first
};

TTrailsView MakeTrailsView(const TTrailCounts& c);

// Whether a code tells of a failure (every code but 1OK, the passed test).
bool FailureCode(const std::string& code);
// What a code means, from the run message table; "(none)" too.
std::string CodeMeaning(const std::string& code);
