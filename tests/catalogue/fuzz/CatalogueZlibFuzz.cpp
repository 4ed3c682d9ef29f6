// Fuzzes the catalogue as it arrives from the network: compressed bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "catalogue/SoftwareUpdateList.h"
#include "fileutil/Errors.h"
#include "tests/catalogue/fuzz/FuzzChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TSoftwareUpdateList list;
    try {
        list.LoadFromString(std::string(reinterpret_cast<const char*>(data), size));
    } catch (const EError&) {
        return 0;
    }
    fuzzcheck::SelectAndCheck(list, 20304);
    return 0;
}
