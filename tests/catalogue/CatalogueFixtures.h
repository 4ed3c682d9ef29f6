#pragma once
// Small catalogues built in code for the tests.
#include <cstdint>
#include <string>
#include <vector>

#include "catalogue/Inflate.h"
#include "catalogue/SoftwareUpdate.h"
#include "catalogue/Writer.h"

namespace catfix {

inline TSoftwareUpdate Update(int32_t version, const std::string& kind, const std::string& order = "",
                              const std::string& from = "", const std::string& classes = "") {
    TSoftwareUpdate u;
    u.SetVersion(version);
    u.SetKind(kind);
    u.SetOrderKey(order);
    u.SetFromVersions(from);
    u.SetClassLetters(classes);
    return u;
}

// The catalogue header up to and including the record count.
inline void WriteHeader(TWriter& w, int32_t records, const std::vector<std::string>& classLines = {},
                        int32_t format = 100, const std::string& headerText = "test catalogue") {
    w.WriteInteger(7);
    w.WriteInteger(format);
    w.WriteString(headerText);
    w.WriteInteger(static_cast<int32_t>(classLines.size()));
    for (const std::string& line : classLines) w.WriteString(line);
    w.WriteInteger(records);
}

// Inflated catalogue bytes: header, then each update in order.
inline std::string Plain(const std::vector<TSoftwareUpdate>& updates, const std::vector<std::string>& classLines = {}) {
    TWriter w;
    WriteHeader(w, static_cast<int32_t>(updates.size()), classLines);
    for (const TSoftwareUpdate& u : updates) w.WriteSoftwareUpdate(u);
    return w.Bytes();
}

inline std::string Zip(const std::string& plain) { return Deflate(plain); }

}  // namespace catfix
