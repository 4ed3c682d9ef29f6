// The site settings as the release builds them: without the test overrides.
#undef STIRPELLO_TEST_OVERRIDES
#include "app/SiteConfig.cpp"  // compiled here, without the overrides, like the release

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

void SetEnv(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value);
#else
    setenv(name, value, 1);
#endif
}

}  // namespace

TEST(SiteConfigRelease, NeitherEnvironmentNorLookupChangesTheAddresses) {
    for (const char* name : {"STIRPELLO_SITE_HOST", "STIRPELLO_SITE_NAME", "STIRPELLO_PROBE_URL",
                             "STIRPELLO_MIRROR_HOST", "STIRPELLO_UPDATE_HOST"})
        SetEnv(name, "attacker.example:8080");
    int asked = 0;
    for (const TSiteConfig& c : {TSiteConfig::Get(), TSiteConfig::From([&](const char*) {
                                     ++asked;
                                     return std::string("attacker.example:8080");
                                 })}) {
        EXPECT_EQ(c.SiteHost, kDefaultSiteHost);
        EXPECT_EQ(c.SiteName, kDefaultSiteName);
        EXPECT_EQ(c.ProbeUrl, kDefaultProbeUrl);
        EXPECT_EQ(c.MirrorHost, kDefaultMirrorHost);
        EXPECT_EQ(c.UpdateHost, kDefaultUpdateHost);
    }
    EXPECT_EQ(asked, 0);
}
