// Fuzzes the elevated step's request reader and session together: the input
// is a run of records, each a 2-byte little-endian length and that many bytes,
// as the step would read them one message at a time. The module size is 24.
// What must hold for any caller: nothing crashes or allocates beyond the
// fixed sizes, a record that reads writes back to the same bytes, and the
// session accepts only a drive-letter folder first, then kinds in strictly
// increasing order, and nothing after Quit or LaunchModule.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "elevate/StepProtocol.h"

namespace {

constexpr size_t ModuleSize = 24;

void Require(bool ok, const char* rule) {
    if (!ok) {
        std::fprintf(stderr, "broken rule: %s\n", rule);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TStepSession session;
    uint16_t lastKind = 0;
    bool ended = false;
    size_t pos = 0;
    while (pos + 2 <= size) {
        size_t n = static_cast<size_t>(data[pos] | data[pos + 1] << 8);
        pos += 2;
        n = std::min(n, size - pos);
        const uint8_t* record = data + pos;
        pos += n;

        TRequest r;
        std::string why = ReadRequest(record, n, ModuleSize, &r);
        if (!why.empty()) continue;
        Require(WriteRequest(r) == std::string(reinterpret_cast<const char*>(record), n), "a record reads back as itself");
        const uint16_t kind = static_cast<uint16_t>(r.kind);
        if (!session.Accept(r).empty()) continue;
        Require(!ended, "nothing after the end");
        if (r.kind == TStepKind::Quit) {
            ended = true;
            continue;
        }
        if (lastKind == 0) {
            Require(r.kind == TStepKind::OpenFolder, "the folder first");
            const std::wstring& f = r.folder;
            Require(f.size() >= 4 && f[1] == L':' && f[2] == L'\\', "a drive letter");
            Require(f.find(L"\\\\") == std::wstring::npos && f.find(L'/') == std::wstring::npos, "no empty parts");
            Require(f.find(L':', 2) == std::wstring::npos, "no stream");
            for (size_t b = 3; b <= f.size();) {
                size_t e = std::min(f.find(L'\\', b), f.size());
                std::wstring part = f.substr(b, e - b);
                Require(part != L"." && part != L"..", "no dot components");
                Require(part.empty() ? e == f.size() : part.back() != L'.' && part.back() != L' ', "no trailing dot or space");
                b = e + 1;
            }
        } else {
            Require(kind > lastKind, "kinds increase");
        }
        lastKind = kind;
        if (r.kind == TStepKind::LaunchModule) ended = true;
        Require(session.Ended() == ended, "the session ends with Quit or LaunchModule");
    }
    return 0;
}
