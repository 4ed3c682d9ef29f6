// Fuzzes the catalogue past the decompressor: the input is the inflated value
// stream, compressed here before loading. A catalogue that loads must also
// survive dump and build unchanged.
#include <cstddef>
#include <cstdint>
#include <string>

#include "catalogue/Inflate.h"
#include "catalogue/SoftwareUpdateList.h"
#include "fileutil/Errors.h"
#include "tests/catalogue/fuzz/FuzzChecks.h"
#include "tools/updcat/CatalogueText.h"

using fuzzcheck::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string zipped = Deflate(std::string(reinterpret_cast<const char*>(data), size), 1);
    TSoftwareUpdateList list;
    try {
        list.LoadFromString(zipped);
    } catch (const EError&) {
        return 0;
    }
    for (int i = 1; i < list.Count(); ++i)
        Require(TSoftwareUpdateList::CompareUpdates(list[i - 1], list[i]) <= 0, "loaded list is sorted");

    int32_t first = 0, format = 0;
    ReadCatalogueIntro(zipped, first, format);
    const std::string text = DumpCatalogue(first, format, list);
    TSoftwareUpdateList again;
    try {
        again.LoadFromString(Deflate(CompileCatalogue(text), 1));
    } catch (const EError& e) {
        fuzzcheck::Broken(e.what());
    }
    Require(again.Count() == list.Count(), "dump keeps every record");
    for (int i = 0; i < list.Count(); ++i) Require(again[i] == list[i], "dump keeps every field");
    Require(again.HeaderText == list.HeaderText && again.ClassLines == list.ClassLines, "dump keeps the header");

    fuzzcheck::SelectAndCheck(list, 20304);
    return 0;
}
