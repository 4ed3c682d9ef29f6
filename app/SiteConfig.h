#pragma once
// The addresses of the product's sites: the compiled-in hosts. Only a build
// with STIRPELLO_TEST_OVERRIDES defined (the test and demo trees) lets the
// environment replace them, so that tests and the demo can point them at a
// loopback site; the release holds none of the variable names, so nothing else
// running as the user can redirect the elevated utility. This is the only
// place where the utility reads the environment.
//
//   STIRPELLO_SITE_HOST     product site host[:port] (home page, /updates/)
//   STIRPELLO_SITE_NAME     the site's name as the messages show it
//   STIRPELLO_PROBE_URL     the general internet probe page (a full URL)
//   STIRPELLO_MIRROR_HOST   download mirror host[:port]
//   STIRPELLO_UPDATE_HOST   update download server host[:port] (fallback)
//   STIRPELLO_MODULE_SHA256 the update module's SHA-256 (64 hex digits), so a
//                           test site may serve another module
#include <string>

struct TSiteConfig {
    std::string SiteHost;
    std::string SiteName;
    std::string ProbeUrl;
    std::string MirrorHost;
    std::string UpdateHost;
    // Empty: the digest compiled into the build.
    std::string ModuleSha256;

    // The release defaults; with overrides compiled in, each replaced by its
    // variable when that is set and not empty. Read once, on the first call.
    static const TSiteConfig& Get();
    // The same rule over a lookup, for tests (without overrides compiled in,
    // the lookup is never called).
    template <class Lookup>
    static TSiteConfig From(Lookup lookup);

    // "http://" + SiteHost + "/": the product site's home page.
    std::string HomeUrl() const { return "http://" + SiteHost + "/"; }
    // The update base of the catalogue request, scheme written "Http://".
    std::string UpdateBase() const { return "Http://" + SiteHost + "/updates/"; }
    // Primary and fallback addresses of the update module download.
    std::string MirrorUrl() const {
        return "http://" + MirrorHost + "/send/file/184287-IUDF/Stirpello.exe";
    }
    std::string FallbackUrl() const {
        return "http://" + UpdateHost + "/stirpelloweb/Updates/Stirpello.exe";
    }
    // False when ModuleSha256 is set but not 64 hexadecimal digits: a run must
    // not start with a digest nobody meant.
    bool ModuleSha256Valid() const;
};

extern const char* const kDefaultSiteHost;
extern const char* const kDefaultSiteName;
extern const char* const kDefaultProbeUrl;
extern const char* const kDefaultMirrorHost;
extern const char* const kDefaultUpdateHost;

template <class Lookup>
TSiteConfig TSiteConfig::From(Lookup lookup) {
    TSiteConfig c;
#ifdef STIRPELLO_TEST_OVERRIDES
    // Every variable name stays inside this block: none may reach the release.
    auto pick = [&](const char* name, const char* def) {
        std::string value = lookup(name);
        return value.empty() ? std::string(def) : value;
    };
    c.SiteHost = pick("STIRPELLO_SITE_HOST", kDefaultSiteHost);
    c.SiteName = pick("STIRPELLO_SITE_NAME", kDefaultSiteName);
    c.ProbeUrl = pick("STIRPELLO_PROBE_URL", kDefaultProbeUrl);
    c.MirrorHost = pick("STIRPELLO_MIRROR_HOST", kDefaultMirrorHost);
    c.UpdateHost = pick("STIRPELLO_UPDATE_HOST", kDefaultUpdateHost);
    c.ModuleSha256 = lookup("STIRPELLO_MODULE_SHA256");
#else
    (void)lookup;
    c.SiteHost = kDefaultSiteHost;
    c.SiteName = kDefaultSiteName;
    c.ProbeUrl = kDefaultProbeUrl;
    c.MirrorHost = kDefaultMirrorHost;
    c.UpdateHost = kDefaultUpdateHost;
#endif
    return c;
}
