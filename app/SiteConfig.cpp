#include "app/SiteConfig.h"

#include <cstdlib>

const char* const kDefaultSiteHost = "www.stirpello.com";
const char* const kDefaultSiteName = "Stirpello.com";
// A large public site whose home page is plain HTTP and holds a search box.
const char* const kDefaultProbeUrl = "http://www.google.com/";
const char* const kDefaultMirrorHost = "download.stirpello.com";
const char* const kDefaultUpdateHost = "updates.stirpello.com";

const TSiteConfig& TSiteConfig::Get() {
#ifdef STIRPELLO_TEST_OVERRIDES
    static const TSiteConfig config = From([](const char* name) {
        const char* value = std::getenv(name);
        return std::string(value ? value : "");
    });
#else
    static const TSiteConfig config = From([](const char*) { return std::string(); });
#endif
    return config;
}

bool TSiteConfig::ModuleSha256Valid() const {
    if (ModuleSha256.empty()) return true;
    if (ModuleSha256.size() != 64) return false;
    for (char c : ModuleSha256)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
    return true;
}
