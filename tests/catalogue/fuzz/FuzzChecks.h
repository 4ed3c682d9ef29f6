#pragma once
// What must hold for any catalogue, checked by the fuzz targets; a broken
// rule aborts, which libFuzzer reports as a crash.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "catalogue/SoftwareUpdateList.h"

namespace fuzzcheck {

[[noreturn]] inline void Broken(const char* rule) {
    std::fprintf(stderr, "broken rule: %s\n", rule);
    std::abort();
}

inline void Require(bool ok, const char* rule) {
    if (!ok) Broken(rule);
}

// Selects for v and checks the selection's shape.
inline void SelectAndCheck(TSoftwareUpdateList& list, int32_t v) {
    list.SelectFor(v);
    Require(list.Count() <= 4, "at most four records remain");
    int rank = 0;
    for (int i = 0; i < list.Count(); ++i) {
        Require(list[i].Version() > v, "kept records are newer than the installed version");
        Require(list[i].KindRank() > rank, "kind ranks rise strictly");
        rank = list[i].KindRank();
        if (i > 0) Require(TSoftwareUpdateList::CompareUpdates(list[i - 1], list[i]) <= 0, "list order");
    }
    int32_t latest = list.Count() ? list[0].Version() : 0;
    Require(list.LatestVersion() == (latest > 0 ? latest : 0), "latest is the first record's version");
    Require(list.NewestIsMajor() == (list.Count() > 0 && list[0].Kind() == "R"), "newest is major");
}

}  // namespace fuzzcheck
