// The run's branches through scripted views and services.
#include "app/FailsafeRun.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "tests/app/RunFakes.h"
#include "tests/catalogue/CatalogueFixtures.h"

using namespace runfakes;
using Lines = std::vector<std::string>;

namespace {

TSiteConfig TestSites() {
    TSiteConfig s;
    s.SiteHost = "site.test";
    s.SiteName = "Stirpello.com";
    s.ProbeUrl = "http://probe.test/";
    s.MirrorHost = "mirror.test";
    s.UpdateHost = "updates.test";
    return s;
}

struct RunFixture : ::testing::Test {
    TFakeView view;
    TFakeServices sys;
    TFailsafeRun run{view, sys, TestSites()};
    const std::string dir = sys.dir;

    TRunEnd Go() {
        TRunEnd end = run.Execute();
        EXPECT_EQ(view.busy, 0) << "hourglass left on";
        return end;
    }
    bool Logged(const std::string& line) const {
        for (const auto& l : view.log.Lines())
            if (l == line) return true;
        return false;
    }
};

const char* const kCatalogue =
    "Http://site.test/updates/SP109.UPD?from=utility&random=4711&updating=1095&err=10100-1OK";

}  // namespace

TEST_F(RunFixture, EverythingInOrderLaunchesTheCurrentModule) {
    EXPECT_EQ(Go(), TRunEnd::Launched);
    EXPECT_EQ(view.log.Lines(),
              (Lines{"Stirpello Failsafe Update Utility Version 1.0.1.0",
                     "Current date/time is: 01/03/2024 10:11:12",
                     "Version 1.0.9.5 in " + dir + " identified for update",
                     "Found existing update module 1.4.0.1",
                     "Internet access test 1 succeeded",
                     std::string("Accessing internet ") + kCatalogue,
                     "Looks like there's an update available to 10906",
                     "Running " + dir + "Stirpello.exe"}));
    EXPECT_EQ(view.events,
              (Lines{"dir ",
                     "mark 1 hidden", "mark 2 hidden", "mark 3 hidden", "mark 4 hidden",
                     "mark 1 arrow",
                     "progress Progress - Currently verifying Stirpello is not running...",
                     "progress Progress - Locating Stirpello on your computer...",
                     "logdir " + dir,
                     "progress Progress - Stirpello found... validating...",
                     "dir " + dir, "mark 1 check", "mark 2 arrow",
                     "progress Progress - Inspecting existing update module...",
                     "progress Progress - Inspecting existing update settings...",
                     "progress Progress - Testing internet access...",
                     "busy on", "busy off",
                     "busy on", "progress Progress - Analyzing available updates...", "busy off",
                     "mark 2 check", "mark 3 arrow",
                     "mark 3 check", "mark 4 arrow",
                     "box Press OK to close this utility and launch the update module",
                     "progress Progress - Executing update module...",
                     "close"}));
    EXPECT_EQ(sys.queried,
              (Lines{"Stirpello.exe", "SPEngine.exe", "TMG.exe", "RootsMagic.exe", "SPExec.dll"}));
    ASSERT_EQ(sys.webCalls.size(), 3u);
    EXPECT_EQ(sys.webCalls[0].url, "http://probe.test/");
    EXPECT_EQ(sys.webCalls[1].url, "http://site.test/");
    EXPECT_EQ(sys.webCalls[2].url, kCatalogue);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(sys.webCalls[i].timeout, 7000);
        EXPECT_EQ(sys.webCalls[i].proxyServer, "unspecified");
        EXPECT_EQ(sys.webCalls[i].proxyPort, 0);
        EXPECT_EQ(sys.webCalls[i].mode, i < 2 ? TWebMode::Waiting : TWebMode::Direct);
    }
    EXPECT_EQ(sys.selectedFor, 10905);
    EXPECT_EQ(sys.randomized, 1);
    EXPECT_TRUE(sys.downloads.empty());
    EXPECT_TRUE(sys.copies.empty());
    EXPECT_EQ(sys.iniWrites, (Lines{"Internet Connection|wantsUpdate=TRUE"}));
    EXPECT_EQ(sys.launched, (Lines{dir + "Stirpello.exe"}));
    EXPECT_EQ(run.State().ErrorTrail, "10100-1OK");
}

TEST_F(RunFixture, OutdatedModuleIsDownloadedAndReplaced) {
    sys.versions[dir + "Stirpello.exe"] = V(1, 4, 0, 0);  // 14000 is not current
    EXPECT_EQ(Go(), TRunEnd::Launched);
    EXPECT_EQ(sys.downloads, (Lines{dir + "|unspecified|0"}));
    EXPECT_EQ(sys.copies, (Lines{dir + "Download\\Stirpello.exe -> " + dir + "Stirpello.exe"}));
    EXPECT_TRUE(view.Has("progress Progress - Downloading new update module..."));
    EXPECT_TRUE(view.Has("progress Progress - Replacing existing update module..."));
    EXPECT_TRUE(view.Has("mark 3 check"));
    EXPECT_EQ(sys.launched, (Lines{dir + "Stirpello.exe"}));
    EXPECT_EQ(run.State().ErrorTrail, "10100-1OK");
}

TEST_F(RunFixture, UtilityVersionStartsTheTrail) {
    sys.own = TrsFileVersion();
    Go();
    EXPECT_EQ(view.log.Lines().at(0), "Stirpello Failsafe Update Utility Version 0.0.0.0");
    EXPECT_EQ(run.State().ErrorTrail, "0-1OK");

    // A failure reading it is swallowed without a line; the run goes on.
    TFakeView view2;
    TFakeServices sys2;
    sys2.ownThrows = true;
    TFailsafeRun run2(view2, sys2, TestSites());
    EXPECT_EQ(run2.Execute(), TRunEnd::Launched);
    EXPECT_EQ(view2.log.Lines().at(0), "Version 1.0.9.5 in " + dir + " identified for update");
    EXPECT_EQ(run2.State().ErrorTrail, "-1OK");
}

// Running programs: the first hit stops the run and closes the window.
TEST_F(RunFixture, RunningProgramsStopTheRun) {
    struct Case {
        const char* exe;
        const char* box;
        const char* line;
        size_t queries;
    } cases[] = {
        {"Stirpello.exe", "Stirpello is running... close Stirpello (or reboot) and rerun this utility",
         "C:\\P\\Stirpello.exe is running...", 1},
        {"SPEngine.exe", "Stirpello is running... close Stirpello (or reboot) and rerun this utility",
         "C:\\P\\SPEngine.exe is running", 2},
        {"TMG.exe", "TMG is running... close it (or reboot) and rerun this utility",
         "C:\\P\\TMG.exe is running", 3},
        {"RootsMagic.exe", "RootsMagic is running... close it (or reboot) and rerun this utility",
         "C:\\P\\RootsMagic.exe is running", 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.exe);
        TFakeView v;
        TFakeServices s;
        s.processes[c.exe] = {1, std::string("C:\\P\\") + c.exe};
        s.processes["RootsMagic.exe"] = {2, "C:\\P\\RootsMagic.exe"};  // never reached first
        TFailsafeRun r(v, s, TestSites());
        EXPECT_EQ(r.Execute(), TRunEnd::ClosedRunning);
        EXPECT_EQ(s.queried.size(), c.queries);
        EXPECT_EQ(v.Boxes(), (Lines{std::string("box ") + c.box}));
        EXPECT_EQ(v.log.Lines().back(), c.line);
        EXPECT_EQ(v.events.back(), "close");
        EXPECT_FALSE(v.Has("logdir " + s.dir));
    }
}

TEST_F(RunFixture, LoadedEmbeddingLibraryWarnsAndGoesOn) {
    sys.spexec = {2, 268435456u};
    EXPECT_EQ(Go(), TRunEnd::Launched);
    EXPECT_TRUE(view.Has(
        "box The embedded Stirpello interface is active... you may proceed, but if your update "
        "isn't successful, reboot your PC and try again"));
    EXPECT_EQ(view.log.Lines()[2], "SPExec.dll detected as being loaded... ");
    EXPECT_EQ(view.log.Lines()[3], "SPExec.dll handle was 268435456");
}

TEST_F(RunFixture, ProcessQueryErrorIsLoggedAndTheRunGoesOn) {
    sys.processError = "TMG.exe";
    EXPECT_EQ(Go(), TRunEnd::Launched);
    EXPECT_EQ(sys.queried, (Lines{"Stirpello.exe", "SPEngine.exe", "TMG.exe"}));
    EXPECT_EQ(view.log.Lines()[2], "Error analyzing runnig processes - process list unreadable");
}

TEST_F(RunFixture, MissingEngineStopsAndClosesTheWindow) {
    sys.engine = TEngineInfo();
    EXPECT_EQ(Go(), TRunEnd::ClosedNoEngine);
    EXPECT_EQ(view.log.Lines().back(), "Unable to access SPEngine.exe in " + dir);
    EXPECT_EQ(view.Boxes(), (Lines{"box Unable to access SPEngine.exe in " + dir + " - terminating"}));
    EXPECT_TRUE(view.Has("logdir " + dir));  // the log file still goes to the folder
    EXPECT_EQ(view.events.back(), "close");
    EXPECT_FALSE(view.Has("dir " + dir));
}

TEST_F(RunFixture, LocatorErrorReachesTheErrorBoxAndTheButtonWorksAgain) {
    sys.locateError = "Invalid data type for 'InstallPath'";
    run.Button1Click();
    EXPECT_EQ(view.events.back(), "error Invalid data type for 'InstallPath'");
    EXPECT_FALSE(view.Has("close"));
    sys.locateError.clear();
    EXPECT_EQ(Go(), TRunEnd::Launched);
}

// The existing update module: 14001 and up is current.
TEST_F(RunFixture, UpdateModuleVersions) {
    struct Case {
        bool exists;
        TrsFileVersion version;
        const char* line;
        bool download;
        const char* trail;
    } cases[] = {
        {true, V(1, 4, 0, 1), "Found existing update module 1.4.0.1", false, "10100-1OK"},
        {true, V(2, 0, 0, 0), "Found existing update module 2.0.0.0", false, "10100-1OK"},
        {true, V(1, 4, 0, 0), "Found existing update module 1.4.0.0", true, "10100-1OK"},
        {true, V(0, 0, 0, 0), "Found existing update module 0.0.0.0", true, "10100-1OK"},
        {false, V(0, 0, 0, 0), "Did not find an existing update module", true, "10100-UMX-1OK"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        TFakeView v;
        TFakeServices s;
        const std::string module = s.dir + "Stirpello.exe";
        if (!c.exists) s.files.erase(module);
        s.versions[module] = c.version;
        TFailsafeRun r(v, s, TestSites());
        r.Execute();
        EXPECT_EQ(v.log.Lines()[3], c.line);
        EXPECT_EQ(s.downloads.size(), c.download ? 1u : 0u);
        EXPECT_EQ(r.State().ErrorTrail, c.trail);
        if (!c.download) {
            EXPECT_EQ(s.launched, (Lines{module}));
            EXPECT_FALSE(v.Has("progress Progress - Downloading new update module..."));
            EXPECT_TRUE(v.Has("mark 2 check"));
        }
    }

    // A module that cannot be judged is replaced, and the trail stays clean.
    sys.versionError = "Out of memory";
    EXPECT_EQ(Go(), TRunEnd::Launched);
    EXPECT_EQ(view.log.Lines()[3], "Error analyzing existing update module - Out of memory");
    EXPECT_EQ(sys.downloads.size(), 1u);
    EXPECT_EQ(run.State().ErrorTrail, "10100-1OK");
}

// No module at all: the download works, but there is nothing to replace.
TEST_F(RunFixture, MissingModuleEndsWithTheCopyCross) {
    sys.files.erase(dir + "Stirpello.exe");
    EXPECT_EQ(Go(), TRunEnd::ReplaceFailed);
    EXPECT_EQ(sys.downloads.size(), 1u);
    EXPECT_TRUE(sys.copies.empty());
    EXPECT_EQ(view.log.Lines().back(), "Copy of new update module failed");
    EXPECT_EQ(view.events.back(), "mark 3 cross");
    EXPECT_TRUE(view.Has("mark 2 check"));
    EXPECT_TRUE(sys.launched.empty());
    EXPECT_TRUE(sys.iniWrites.empty());
    EXPECT_FALSE(view.Has("close"));
}

TEST_F(RunFixture, DownloadAndCopyStops) {
    struct Case {
        const char* name;
        bool downloadOk, copyOk;
        const char* copyError;
        TRunEnd end;
        Lines tail;
    } cases[] = {
        {"download fails", false, true, "", TRunEnd::DownloadFailed, {"mark 2 cross"}},
        {"copy refused", true, false, "", TRunEnd::ReplaceFailed,
         {"progress Progress - Replacing existing update module...", "mark 3 cross"}},
        {"copy read error", true, true, "Read error", TRunEnd::ReplaceFailed,
         {"progress Progress - Replacing existing update module...", "mark 3 cross"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TFakeView v;
        TFakeServices s;
        s.versions[s.dir + "Stirpello.exe"] = V(1, 3, 0, 0);
        s.downloadOk = c.downloadOk;
        s.copyOk = c.copyOk;
        s.copyError = c.copyError;
        TFailsafeRun r(v, s, TestSites());
        EXPECT_EQ(r.Execute(), c.end);
        Lines tail(v.events.end() - static_cast<long>(c.tail.size()), v.events.end());
        EXPECT_EQ(tail, c.tail);
        EXPECT_TRUE(s.launched.empty());
        EXPECT_TRUE(s.iniWrites.empty());
        EXPECT_FALSE(v.Has("close"));
        if (c.end == TRunEnd::ReplaceFailed) {
            EXPECT_EQ(v.log.Lines().back(), "Copy of new update module failed");
            if (*c.copyError) {
                EXPECT_EQ(v.log.Lines().end()[-2], "Error copying new update module - Read error");
            }
        }
    }
}

// The settings file: reads, repairs and proxy settings.
TEST_F(RunFixture, SettingsFileCases) {
    struct Case {
        const char* name;
        std::map<std::string, std::string> keys;  // "section|key" -> value
        Lines lines;                              // log lines of the step
        std::string server;
        int32_t port;
        bool notify;
        Lines deletes;
    } cases[] = {
        {"empty file", {}, {}, "unspecified", 0, false, {}},
        {"empty date is left", {{"updates|checkonorafterdate", ""}}, {}, "unspecified", 0, false, {}},
        {"stale dates deleted",
         {{"updates|checkonorafterdate", "2024-01-01"}, {"updates|notifyafterupdateto", "10905"}},
         {"Found CheckOnOrAfterDate in Stirpello.ini file - deleting it",
          "Found NotifyAfterUpdateTo in Stirpello.ini file - deleting it"},
         "unspecified", 0, false,
         {"Updates|CheckOnOrAfterDate", "Updates|NotifyAfterUpdateTo"}},
        {"proxy with a bad port",
         {{"internet connection|useproxy", "true"},
          {"internet connection|portnumber", "abc"},
          {"internet connection|proxyname", "proxy.lan"}},
         {"Using Proxy for internet access... Port=0 Server=PROXY.LAN"}, "PROXY.LAN", 0, false, {}},
        {"proxy without a name",
         {{"internet connection|useproxy", "TrUe"}, {"internet connection|portnumber", "8080"}},
         {"Using Proxy for internet access... Port=8080 Server=UNSPECIFIED"}, "UNSPECIFIED", 8080,
         false, {}},
        {"proxy off", {{"internet connection|useproxy", "yes"}, {"internet connection|portnumber", "8080"}},
         {}, "unspecified", 0, false, {}},
        {"notify and working directory",
         {{"internet connection|notifyforanyupdate", "true"}, {"files|useworkingdirectory", "True"}},
         {"INI file \"UseWorkingDirectory\" turned on!"}, "unspecified", 0, true, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TFakeView v;
        TFakeServices s;
        s.ini[s.Ini()] = c.keys;
        TFailsafeRun r(v, s, TestSites());
        r.Execute();
        // Step 5's lines stand between the module line and the probe's line.
        const Lines& log = v.log.Lines();
        Lines step(log.begin() + 4, log.begin() + 4 + static_cast<long>(c.lines.size()));
        EXPECT_EQ(step, c.lines);
        EXPECT_EQ(log[4 + c.lines.size()], "Internet access test 1 succeeded");
        EXPECT_EQ(r.State().ProxyServer, c.server);
        EXPECT_EQ(r.State().ProxyPort, c.port);
        EXPECT_EQ(r.State().NotifyForAnyUpdate, c.notify);
        EXPECT_EQ(s.iniDeletes, c.deletes);
        EXPECT_EQ(s.webCalls.at(0).proxyServer, c.server);
        EXPECT_EQ(s.webCalls.at(0).proxyPort, c.port);
        EXPECT_EQ(r.State().ErrorTrail, "10100-1OK");
    }
}

TEST_F(RunFixture, MissingOrBrokenSettingsFile) {
    sys.files.erase(sys.Ini());
    sys.ini.clear();
    EXPECT_EQ(Go(), TRunEnd::Launched);
    EXPECT_TRUE(Logged("INI file " + dir + "Stirpello.ini not found"));
    EXPECT_TRUE(Logged("Ini file doesn't exist - " + dir + "Stirpello.ini"));
    EXPECT_TRUE(sys.iniWrites.empty());
    EXPECT_EQ(run.State().ErrorTrail, "10100-INF-1OK");
    EXPECT_TRUE(run.State().NotifyForAnyUpdate);
    EXPECT_EQ(run.State().ProxyServer, "unspecified");

    TFakeView v;
    TFakeServices s;
    s.iniReadThrows = true;
    TFailsafeRun r(v, s, TestSites());
    EXPECT_EQ(r.Execute(), TRunEnd::Launched);
    EXPECT_EQ(v.log.Lines()[4], "Error analyzing ini file - Stream read error");
    EXPECT_EQ(r.State().ErrorTrail, "10100-IER-1OK");
    EXPECT_EQ(r.State().ProxyServer, "unspecified");
}

// A VirtualStore copy is what the product reads: its proxy settings count,
// and the repair's deletions and writes reach both copies.
TEST_F(RunFixture, VirtualStoreCopyIsReadAndRepairedBesideTheRealFile) {
    struct Case {
        const char* name;
        bool realFile;
    } cases[] = {{"both copies", true}, {"only the virtual copy", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TFakeView v;
        TFakeServices s;
        if (!c.realFile) {
            s.files.erase(s.Ini());
            s.ini.erase(s.Ini());
        } else {
            s.ini[s.Ini()] = {{"updates|checkonorafterdate", "2030-01-01"},
                              {"internet connection|useproxy", "FALSE"}};
        }
        s.files.insert(s.virtualIni);
        s.ini[s.virtualIni] = {{"updates|checkonorafterdate", "2031-01-01"},
                               {"updates|notifyafterupdateto", "10905"},
                               {"internet connection|useproxy", "TRUE"},
                               {"internet connection|portnumber", "3128"},
                               {"internet connection|proxyname", "proxy.lan"}};
        TFailsafeRun r(v, s, TestSites());
        EXPECT_EQ(r.Execute(), TRunEnd::Launched);
        const Lines& log = v.log.Lines();
        EXPECT_EQ(log.at(4), "Stirpello reads its settings from the VirtualStore copy " + s.virtualIni +
                                 " - repairing both copies");
        EXPECT_EQ(log.at(5), "Found CheckOnOrAfterDate in Stirpello.ini file - deleting it");
        EXPECT_EQ(log.at(6), "Found NotifyAfterUpdateTo in Stirpello.ini file - deleting it");
        EXPECT_EQ(log.at(7), "Using Proxy for internet access... Port=3128 Server=PROXY.LAN");
        EXPECT_EQ(s.webCalls.at(0).proxyPort, 3128);
        for (const std::string& copy : {s.Ini(), s.virtualIni}) {
            if (copy == s.Ini() && !c.realFile) {
                EXPECT_EQ(s.files.count(copy), 0u) << "the real file is not created";
                continue;
            }
            EXPECT_EQ(s.ini[copy].count("updates|checkonorafterdate"), 0u) << copy;
            EXPECT_EQ(s.ini[copy].count("updates|notifyafterupdateto"), 0u) << copy;
            EXPECT_EQ(s.ini[copy]["internet connection|wantsupdate"], "TRUE") << copy;
        }
        EXPECT_EQ(r.State().ErrorTrail, "10100-1OK");
    }
}

// The two probes decide the trail, the boxes and whether the catalogue is read.
TEST_F(RunFixture, InternetProbes) {
    struct Case {
        const char* name;
        TWebResult probe, home;
        const char* proxyName;  // null: no proxy configured
        const char* trail;
        bool connected;
        Lines boxes;
        Lines lines;
    } cases[] = {
        {"both fine", {true, "<INPUT>"}, {true, "genealogy software"}, nullptr, "10100-1OK", true, {},
         {"Internet access test 1 succeeded"}},
        {"site down", {true, "<input>"}, {false, ""}, nullptr, "10100-1OK-GDW", true,
         {"box Stirpello.com appears to be busy or down temporarily... if your update attempt "
          "fails wait a few hours and try again."},
         {"Internet access test 1 succeeded", "Stirpello.com down"}},
        {"site without its marker", {true, "<input>"}, {true, "Parked domain"}, nullptr,
         "10100-1OK-GDW", true,
         {"box Stirpello.com appears to be busy or down temporarily... if your update attempt "
          "fails wait a few hours and try again."},
         {"Internet access test 1 succeeded", "Stirpello.com down"}},
        {"probe blocked, site answers", {false, ""}, {true, "any page"}, nullptr, "10100", true, {}, {}},
        {"probe without an input element", {true, "<p>hello</p>"}, {true, "x"}, nullptr, "10100", true,
         {}, {}},
        {"both blocked", {false, ""}, {false, ""}, nullptr, "10100-BLK", false,
         {"box Internet access is blocked! Make sure you're connected and check your "
          "firewall/security (e.g. NORTON) settings.",
          "box Run Stirpello, use TOOLS...SETTINGS... internet tab and check your proxy settings"},
         {"Internet Access Blocked!"}},
        {"both blocked, empty proxy name", {false, ""}, {true, ""}, "", "10100-BLK", false,
         {"box Internet access is blocked! Make sure you're connected and check your "
          "firewall/security (e.g. NORTON) settings."},
         {"Using Proxy for internet access... Port=0 Server=", "Internet Access Blocked!"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TFakeView v;
        TFakeServices s;
        if (c.proxyName) {
            s.ini[s.Ini()]["internet connection|useproxy"] = "TRUE";
            s.ini[s.Ini()]["internet connection|proxyname"] = c.proxyName;
        }
        s.list.latest = 10905;  // no update: wantsUpdate tells whether the catalogue was read
        s.web = [&](const std::string& url, TWebMode) -> TWebResult {
            if (url == "http://probe.test/") return c.probe;
            if (url == "http://site.test/") return c.home;
            return {true, "catalogue"};
        };
        TFailsafeRun r(v, s, TestSites());
        EXPECT_EQ(r.Execute(), TRunEnd::Launched);
        EXPECT_EQ(v.busy, 0);
        EXPECT_EQ(r.State().ErrorTrail, c.trail);
        EXPECT_EQ(r.State().Connected, c.connected);
        Lines boxes = v.Boxes();
        boxes.erase(boxes.end() - (c.connected ? 2 : 1), boxes.end());  // no-update and launch boxes
        EXPECT_EQ(boxes, c.boxes);
        const Lines& log = v.log.Lines();
        Lines step(log.begin() + 4, log.begin() + 4 + static_cast<long>(c.lines.size()));
        EXPECT_EQ(step, c.lines);
        EXPECT_EQ(s.webCalls.size(), c.connected ? 3u : 2u);
        EXPECT_EQ(s.iniWrites.back(),
                  c.connected ? "Internet Connection|wantsUpdate=FALSE" : "Internet Connection|wantsUpdate=TRUE");
        EXPECT_EQ(s.randomized, 1);
    }
}

TEST_F(RunFixture, ProbeErrorIsLoggedWithItsCode) {
    sys.web = [](const std::string& url, TWebMode) -> TWebResult {
        if (url == "http://site.test/") throw EError("Thread creation error");
        return {true, "<input>"};
    };
    EXPECT_EQ(Go(), TRunEnd::Launched);
    EXPECT_TRUE(Logged("Error analyzing internet connection - Thread creation error"));
    EXPECT_EQ(run.State().ErrorTrail, "10100-1OK-ENT");
    EXPECT_TRUE(run.State().Connected);  // kept from before the error
}

// What the catalogue and the user's answer write to wantsUpdate.
TEST_F(RunFixture, WantsUpdateTable) {
    struct Case {
        const char* name;
        std::string catalogue;
        std::string loadError;
        int32_t latest;
        bool major;
        bool notify;
        TConfirmAnswer answer;
        const char* wants;
        Lines lines;  // log lines after "Accessing internet ..."
        Lines boxes;  // besides the launch box
    } cases[] = {
        {"catalogue not read", "", "", 0, false, false, crNo, "TRUE",
         {"Unable to access update data structure on Stirpello.com"},
         {"box The Stirpello.com update system is unavailable at the moment - try again later"}},
        {"catalogue unusable", "<html>", "Error", 0, false, false, crNo, "TRUE",
         {"Error analyzing updates - Error"}, {}},
        {"major update", "c", "", 10906, true, false, crNo, "TRUE",
         {"Looks like there's an update available to 10906"}, {}},
        {"minor update, notify on", "c", "", 10906, false, true, crNo, "TRUE",
         {"Looks like there's an update available to 10906"}, {}},
        {"minor update, Yes", "c", "", 10906, false, false, crYes, "TRUE",
         {"Looks like there's an update available to 10906",
          "Only minor updates found and minor update notification is turned off... user requests "
          "it be turned on"},
         {"confirm Only a minor update is available currently... would you like to change your "
          "settings to notify you of minor updates?"}},
        {"minor update, No", "c", "", 10906, false, false, crNo, "FALSE",
         {"Looks like there's an update available to 10906",
          "Only minor updates found and minor update notification is turned off... user DOES NOT "
          "request it be turned on"},
         {"confirm Only a minor update is available currently... would you like to change your "
          "settings to notify you of minor updates?"}},
        {"minor update, Cancel", "c", "", 10906, false, false, crCancel, "FALSE",
         {"Looks like there's an update available to 10906",
          "Only minor updates found and minor update notification is turned off... user DOES NOT "
          "request it be turned on"},
         {"confirm Only a minor update is available currently... would you like to change your "
          "settings to notify you of minor updates?"}},
        {"same version", "c", "", 10905, true, false, crNo, "FALSE", {"No updates found."},
         {"box You have version 1.0.9.5 and there are no updates available for this version"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TFakeView v;
        TFakeServices s;
        v.answers.push_back(c.answer);
        if (c.notify) s.ini[s.Ini()]["internet connection|notifyforanyupdate"] = "TRUE";
        s.list.latest = c.latest;
        s.list.major = c.major;
        s.list.loadError = c.loadError;
        std::string catalogue = c.catalogue;
        s.web = [&](const std::string& url, TWebMode) -> TWebResult {
            if (url == "http://probe.test/") return {true, "<input>"};
            if (url == "http://site.test/") return {true, "Genealogy Software"};
            return {!catalogue.empty(), catalogue};
        };
        TFailsafeRun r(v, s, TestSites());
        EXPECT_EQ(r.Execute(), TRunEnd::Launched);
        EXPECT_EQ(s.IniValue("Internet Connection", "wantsUpdate"), c.wants);
        EXPECT_EQ(s.IniValue("Internet Connection", "notifyForAnyUpdate"),
                  c.notify || c.answer == crYes ? "TRUE" : "<none>");
        const Lines& log = v.log.Lines();
        Lines step(log.begin() + 6, log.end() - 1);
        EXPECT_EQ(step, c.lines);
        Lines boxes = v.Boxes();
        boxes.pop_back();
        EXPECT_EQ(boxes, c.boxes);
    }
}

TEST_F(RunFixture, NoInternetSkipsTheCatalogueAndStillLaunches) {
    sys.web = [](const std::string&, TWebMode) { return TWebResult(); };
    sys.versions[dir + "Stirpello.exe"] = V(1, 0, 0, 0);
    EXPECT_EQ(Go(), TRunEnd::Launched);
    EXPECT_EQ(sys.webCalls.size(), 2u);
    EXPECT_FALSE(view.Has("progress Progress - Analyzing available updates..."));
    EXPECT_EQ(sys.downloads.size(), 1u);  // the download is still tried
    EXPECT_EQ(sys.IniValue("Internet Connection", "wantsUpdate"), "TRUE");
    EXPECT_EQ(sys.launched, (Lines{dir + "Stirpello.exe"}));
}

TEST_F(RunFixture, SettingsWriteFailuresAreLoggedAndTheLaunchGoesOn) {
    sys.iniWriteFails = true;
    sys.list.major = false;
    view.answers.push_back(crYes);  // this write fails silently
    EXPECT_EQ(Go(), TRunEnd::Launched);
    EXPECT_EQ(view.log.Lines().end()[-2],
              "Error updating ini file - Unable to write to " + dir + "Stirpello.ini");
    EXPECT_EQ(sys.launched.size(), 1u);
}

TEST_F(RunFixture, SecondRunStartsOverAndAppendsToTheLog) {
    sys.versions[dir + "Stirpello.exe"] = V(1, 0, 0, 0);
    sys.downloadOk = false;
    EXPECT_EQ(Go(), TRunEnd::DownloadFailed);
    // Even a download window cancelled without a word leaves the stop in the log.
    EXPECT_EQ(view.log.Lines().back(), "Download of new update module failed");
    size_t first = view.log.Lines().size();
    view.events.clear();
    sys.downloadOk = true;
    EXPECT_EQ(Go(), TRunEnd::Launched);
    const Lines& log = view.log.Lines();
    EXPECT_EQ(log[0], "Stirpello Failsafe Update Utility Version 1.0.1.0");
    EXPECT_EQ(log[first], "Stirpello Failsafe Update Utility Version 1.0.1.0");
    // Edit1 keeps the last directory; every mark is hidden again but S1Mark.
    EXPECT_EQ(Lines(view.events.begin(), view.events.begin() + 6),
              (Lines{"dir " + dir, "mark 1 hidden", "mark 2 hidden", "mark 3 hidden",
                     "mark 4 hidden", "mark 1 arrow"}));
    EXPECT_EQ(run.State().ErrorTrail, "10100-1OK");
}

TEST_F(RunFixture, PressDuringARunIsIgnored) {
    std::vector<TRunEnd> nested;
    sys.web = [&](const std::string& url, TWebMode) -> TWebResult {
        nested.push_back(run.Execute());
        if (url == "http://probe.test/") return {true, "<input>"};
        return {true, "Genealogy Software"};
    };
    EXPECT_EQ(Go(), TRunEnd::Launched);
    EXPECT_EQ(nested, (std::vector<TRunEnd>(3, TRunEnd::NotRun)));
    EXPECT_EQ(sys.launched.size(), 1u);
}

// The user closes the window while the run processes messages: the close
// handling has put the log out, so the run stops there and changes nothing
// more: no settings write, no copy, no launch, no further box or log line.
TEST_F(RunFixture, ClosingTheWindowStopsTheRun) {
    const std::string wantsTrue = "Internet Connection|wantsUpdate=TRUE";
    struct Case {
        const char* where;
        std::function<void(TFakeView&, TFakeServices&)> setUp;
        Lines iniWrites;  // made before the close
        size_t webCalls;
    } cases[] = {
        {"in the locator's file dialog",
         [](TFakeView& v, TFakeServices& s) { s.locate = [&v] { v.UserCloses("in the file dialog"); }; },
         {}, 0},
        {"during the probe wait",
         [](TFakeView& v, TFakeServices& s) {
             s.web = [&v](const std::string&, TWebMode) -> TWebResult {
                 v.UserCloses("in the probe wait");
                 return {true, "<input>"};
             };
         },
         {}, 1},
        {"at the blocked-internet box",
         [](TFakeView& v, TFakeServices& s) {
             v.closeOn = "box Internet access is blocked!";
             s.web = [](const std::string&, TWebMode) { return TWebResult{}; };
         },
         {}, 2},
        {"at the minor-update confirmation",
         [](TFakeView& v, TFakeServices& s) {
             s.ini[s.Ini()]["internet connection|notifyforanyupdate"] = "FALSE";
             s.list.major = false;
             v.closeOn = "confirm ";
             v.answers = {crYes};  // whatever the box hands back once its owner is gone
         },
         {}, 3},
        {"at the no-updates box",
         [](TFakeView& v, TFakeServices& s) {
             s.list.latest = 10905;
             v.closeOn = "box You have version";
         },
         {}, 3},
        {"during the download",
         [](TFakeView& v, TFakeServices& s) {
             s.versions[s.dir + "Stirpello.exe"] = V(1, 4, 0, 0);
             v.closeOn = "progress Progress - Downloading";
         },
         {}, 3},
        {"in the download window, which still completed",
         [](TFakeView& v, TFakeServices& s) {
             s.versions[s.dir + "Stirpello.exe"] = V(1, 4, 0, 0);
             s.downloadStarted = [&v] { v.UserCloses("in the download window"); };
         },
         {}, 3},
        {"just before the copy",
         [](TFakeView& v, TFakeServices& s) {
             s.versions[s.dir + "Stirpello.exe"] = V(1, 4, 0, 0);
             v.closeOn = "progress Progress - Replacing";
         },
         {}, 3},
        {"at the final Press OK box",
         [](TFakeView& v, TFakeServices&) { v.closeOn = "box Press OK"; }, {wantsTrue}, 3},
        {"right after OK, before the launch",
         [](TFakeView& v, TFakeServices&) { v.closeOn = "progress Progress - Executing"; },
         {wantsTrue}, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.where);
        TFakeView v;
        TFakeServices s;
        c.setUp(v, s);
        TFailsafeRun r(v, s, TestSites());
        EXPECT_EQ(r.Execute(), TRunEnd::WindowClosed);
        ASSERT_TRUE(v.closed);
        EXPECT_EQ(v.busy, 0) << "hourglass left on";
        EXPECT_EQ(s.iniWrites, c.iniWrites);
        EXPECT_TRUE(s.copies.empty());
        EXPECT_TRUE(s.launched.empty());
        EXPECT_EQ(s.webCalls.size(), c.webCalls);
        const Lines after(v.events.begin() + static_cast<std::ptrdiff_t>(v.eventsAtClose), v.events.end());
        for (const auto& e : after) EXPECT_EQ(e, "busy off") << "shown after the close";
        EXPECT_EQ(v.log.Lines().size(), v.linesAtClose) << "logged after the close";
        EXPECT_FALSE(v.Has("close")) << "the window was already closed";
    }
}

TEST_F(RunFixture, ErrorAfterTheWindowClosedShowsNoBox) {
    sys.locateError = "Registry value of the wrong type";
    sys.locate = [this] { view.UserCloses("in the file dialog"); };
    run.Button1Click();
    for (const auto& e : view.events) EXPECT_EQ(e.rfind("error ", 0), std::string::npos) << e;
}

TEST(FailsafeRunHelpers, CatalogueAddressAndPaths) {
    TSiteConfig sites = TestSites();
    sites.SiteHost = "127.0.0.1:8080";
    EXPECT_EQ(TFailsafeRun::CatalogueAddress(sites, V(10, 2, 3, 4), 0, "10100-INF-BLK"),
              "Http://127.0.0.1:8080/updates/SP1023.UPD?from=utility&random=0&updating=10234&err="
              "10100-INF-BLK");
    EXPECT_EQ(TFailsafeRun::PathIn("C:\\A\\", "Stirpello.ini"), "C:\\A\\Stirpello.ini");
    EXPECT_EQ(TFailsafeRun::PathIn("C:\\A", "Stirpello.ini"), "C:\\A\\Stirpello.ini");
}

TEST(FailsafeRunHelpers, PortNumbers) {
    struct Case {
        const char* text;
        int32_t value;
    } cases[] = {{"8080", 8080}, {"-1", -1}, {"+3", 3}, {"0", 0},        {"abc", 0},
                 {"", 0},        {"-", 0},   {"80x", 0}, {" 80", 0},     {"2147483647", 2147483647},
                 {"2147483648", 0}, {"-2147483648", INT32_MIN}, {"99999999999999999999", 0}};
    for (const Case& c : cases) EXPECT_EQ(TFailsafeRun::StrToIntDef(c.text, 0), c.value) << c.text;
}

TEST(SiteConfig, DefaultsAndOverrides) {
    auto none = TSiteConfig::From([](const char*) { return std::string(); });
    EXPECT_EQ(none.SiteHost, kDefaultSiteHost);
    EXPECT_EQ(none.ProbeUrl, kDefaultProbeUrl);
    auto set = TSiteConfig::From([](const char* name) {
        std::string n = name;
        if (n == "STIRPELLO_SITE_HOST") return std::string("127.0.0.1:5000");
        if (n == "STIRPELLO_MIRROR_HOST") return std::string("127.0.0.1:5001");
        return std::string();
    });
    EXPECT_EQ(set.HomeUrl(), "http://127.0.0.1:5000/");
    EXPECT_EQ(set.UpdateBase(), "Http://127.0.0.1:5000/updates/");
    EXPECT_EQ(set.MirrorUrl(), "http://127.0.0.1:5001/send/file/184287-IUDF/Stirpello.exe");
    EXPECT_EQ(set.FallbackUrl(),
              std::string("http://") + kDefaultUpdateHost + "/stirpelloweb/Updates/Stirpello.exe");
    EXPECT_EQ(set.SiteName, kDefaultSiteName);
}

// A module digest from the environment that is not 64 hex digits stops the
// press with the error box, before the run shows, asks or touches anything.
TEST(SiteConfig, MalformedModuleDigestStopsThePressBeforeAnything) {
    const std::string good(64, 'a');
    struct Case {
        std::string value;
        bool valid;
    } cases[] = {{"", true},
                 {good, true},
                 {"0123456789ABCDEFabcdef" + std::string(42, '0'), true},
                 {good.substr(1), false},
                 {good + "0", false},
                 {good.substr(1) + "g", false},
                 {" " + good.substr(1), false},
                 {"sha256:" + good.substr(7), false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        TSiteConfig sites = TSiteConfig::From([&](const char* name) {
            return std::string(name) == "STIRPELLO_MODULE_SHA256" ? c.value : std::string();
        });
        EXPECT_EQ(sites.ModuleSha256, c.value);
        EXPECT_EQ(sites.ModuleSha256Valid(), c.valid);
        TFakeView v;
        TFakeServices s;
        TFailsafeRun r(v, s, sites);
        r.Button1Click();
        if (c.valid) {
            EXPECT_TRUE(v.Has("mark 1 arrow"));
            continue;
        }
        EXPECT_EQ(v.events, Lines{"error The update module's SHA-256 given in the environment is not 64 "
                                  "hexadecimal digits"});
        EXPECT_TRUE(v.log.Lines().empty());
        EXPECT_TRUE(s.queried.empty());
        EXPECT_TRUE(s.webCalls.empty());
        EXPECT_TRUE(s.downloads.empty());
        EXPECT_TRUE(s.copies.empty());
        EXPECT_TRUE(s.launched.empty());
        EXPECT_TRUE(s.iniWrites.empty());
        // The next press with the same setting is refused the same way.
        r.Button1Click();
        EXPECT_EQ(v.events.size(), 2u);
    }
}

// The real update list over catalogue bytes, as the update site serves them.
TEST_F(RunFixture, RealCatalogueDecides) {
    using catfix::Update;
    struct Case {
        const char* name;
        std::string bytes;
        const char* wants;
        Lines lines;
        bool confirm;
    } cases[] = {
        {"major update", catfix::Zip(catfix::Plain({Update(10906, "R"), Update(10800, "R")})), "TRUE",
         {"Looks like there's an update available to 10906"}, false},
        {"minor update only", catfix::Zip(catfix::Plain({Update(10906, "B"), Update(10907, "X")})),
         "FALSE",
         {"Looks like there's an update available to 10906",
          "Only minor updates found and minor update notification is turned off... user DOES NOT "
          "request it be turned on"},
         true},
        {"not for this version", catfix::Zip(catfix::Plain({Update(10906, "R", "", "10800 10801")})),
         "FALSE", {"No updates found."}, false},
        {"a web page", "<html>Not found</html>", "TRUE", {"Error analyzing updates - Error"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TFakeView v;
        TFakeServices s;
        s.realCatalogue = true;
        std::string bytes = c.bytes;
        s.web = [&](const std::string& url, TWebMode) -> TWebResult {
            if (url == "http://probe.test/") return {true, "<input>"};
            if (url == "http://site.test/") return {true, "Genealogy Software"};
            return {true, bytes};
        };
        TFailsafeRun r(v, s, TestSites());
        EXPECT_EQ(r.Execute(), TRunEnd::Launched);
        EXPECT_EQ(s.IniValue("Internet Connection", "wantsUpdate"), c.wants);
        const Lines& log = v.log.Lines();
        EXPECT_EQ(Lines(log.begin() + 6, log.end() - 1), c.lines);
        EXPECT_EQ(v.Boxes().front().rfind("confirm ", 0) == 0, c.confirm);
    }
}

// What may run from the program folder: the run tells the launcher whether
// the module was just installed and whether ordinary users can change the
// folder, logs an open folder, and a start that failed ends the run openly.
TEST_F(RunFixture, OpenFolderIsLoggedAndDecidesHowTheModuleStarts) {
    struct Case {
        bool outdated;
        bool open;
        bool started, unelevated;
        const char* error;
        TRunEnd end;
        Lines tail;
    };
    const std::string module = dir + "Stirpello.exe";
    const Case cases[] = {
        {false, false, true, false, "", TRunEnd::Launched, {"Running " + module}},
        {true, false, true, false, "", TRunEnd::Launched, {"Running " + module}},
        {false, true, true, true, "", TRunEnd::Launched,
         {"The update module was started with the signed-in user's own rights, not the utility's",
          "Running " + module}},
        {false, true, false, false, "no token", TRunEnd::LaunchFailed,
         {"Launch of the update module failed - no token"}},
    };
    for (const Case& c : cases) {
        TFakeView v;
        TFakeServices s;
        if (c.outdated) s.versions[s.dir + "Stirpello.exe"] = V(1, 4, 0, 0);
        if (c.open)
            s.folder = {TFolderVerdict::UserCan, true, "BUILTIN\\Users (S-1-5-32-545) may create files in it",
                        "BUILTIN\\Users (S-1-5-32-545)"};
        s.launch.Started = c.started;
        s.launch.Unelevated = c.unelevated;
        s.launch.Error = c.error;
        TFailsafeRun r{v, s, TestSites()};
        EXPECT_EQ(r.Execute(), c.end);
        ASSERT_EQ(s.launchAsks.size(), 1u);
        EXPECT_EQ(s.launchAsks[0].Folder, s.dir);
        EXPECT_EQ(s.launchAsks[0].MustBeGenuine, c.outdated) << "a module just installed must be the genuine one";
        EXPECT_EQ(s.launchAsks[0].FolderOpen, c.open);
        Lines log = v.log.Lines();
        bool openLine = std::find(log.begin(), log.end(),
                                  "The program folder can be changed by ordinary users: "
                                  "BUILTIN\\Users (S-1-5-32-545) may create files in it") != log.end();
        EXPECT_EQ(openLine, c.open);
        ASSERT_GE(log.size(), c.tail.size());
        EXPECT_EQ(Lines(log.end() - static_cast<std::ptrdiff_t>(c.tail.size()), log.end()), c.tail);
        if (!c.started) {
            EXPECT_TRUE(v.Has("mark 4 cross"));
            EXPECT_TRUE(v.Has("box The update module was not started: no token. Close this utility, then start " +
                              module + " yourself if you trust it; Windows will ask for permission."));
            EXPECT_FALSE(v.Has("close"));
        }
    }
}

// A program folder only administrators can change: its writes go through the
// elevated step, in the procedure's order, only where they change something;
// the step that installed the module starts it; a run with nothing to write
// asks for nothing.
TEST(ElevatedRun, WritesGoThroughTheStepOnlyWhenTheyChangeSomething) {
    struct Case {
        const char* name;
        bool outdated, postponed, alreadyWanted;
        Lines asks;
        size_t mainLaunches;
    };
    const Case cases[] = {
        {"update", true, true, false, {"remove keys", "install", "wants TRUE", "launch"}, 0},
        {"module only", true, false, true, {"install", "launch"}, 0},
        {"settings only", false, true, false, {"remove keys", "wants TRUE", "launch"}, 0},
        {"nothing to write", false, false, true, {}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TFakeView v;
        TFakeServices s;
        s.folder.Verdict = TFolderVerdict::AdminOnly;
        if (c.outdated) s.versions[s.dir + "Stirpello.exe"] = V(1, 3, 0, 0);
        if (c.postponed) s.ini[s.Ini()]["updates|checkonorafterdate"] = "2099-01-01";
        if (c.alreadyWanted) s.ini[s.Ini()]["internet connection|wantsupdate"] = "true";
        TFailsafeRun r(v, s, TestSites());
        EXPECT_EQ(r.Execute(), TRunEnd::Launched);
        EXPECT_EQ(s.stepAsks, c.asks);
        EXPECT_EQ(s.launchAsks.size(), c.mainLaunches);
        EXPECT_EQ(s.launched.size(), 1u);
        EXPECT_TRUE(s.iniWrites.empty()) << "no write by path in a protected folder";
        EXPECT_TRUE(s.iniDeletes.empty());
        EXPECT_EQ(s.IniValue("Updates", "CheckOnOrAfterDate"), "<none>");
        EXPECT_EQ(s.IniValue("Internet Connection", "wantsUpdate").size(), 4u);
    }
}

// A declined prompt: the install gets its cross, the settings stay as they
// were, nothing starts, and no second prompt is asked for.
TEST(ElevatedRun, DeclinedRightsLeaveEverythingAsItWas) {
    TFakeView v;
    TFakeServices s;
    s.folder.Verdict = TFolderVerdict::AdminOnly;
    s.versions[s.dir + "Stirpello.exe"] = V(1, 3, 0, 0);
    s.ini[s.Ini()]["updates|notifyafterupdateto"] = "10905";
    s.stepRefusal = "Administrator rights were not given: the request was declined";
    TFailsafeRun r(v, s, TestSites());
    EXPECT_EQ(r.Execute(), TRunEnd::ReplaceFailed);
    EXPECT_EQ(s.stepAsks, (Lines{"remove keys", "install"}));
    EXPECT_EQ(s.IniValue("Updates", "NotifyAfterUpdateTo"), "10905");
    EXPECT_EQ(s.IniValue("Internet Connection", "wantsUpdate"), "<none>");
    EXPECT_TRUE(s.launched.empty());
    EXPECT_TRUE(s.copies.empty());
    EXPECT_TRUE(v.Has("mark 3 cross"));
    const Lines& log = v.log.Lines();
    EXPECT_EQ(log.back(), "Copy of new update module failed");
    EXPECT_EQ(log.end()[-2], "Could not install the new update module in " + s.dir +
                                 " with administrator rights: Administrator rights were not given: the request "
                                 "was declined");
}

// A settings file the user may write in an otherwise protected folder (as
// installers often leave it) is written with the user's rights; the module
// still goes through the step.
TEST(ElevatedRun, ASettingsFileTheUserMayWriteIsWrittenDirectly) {
    TFakeView v;
    TFakeServices s;
    s.folder.Verdict = TFolderVerdict::AdminOnly;
    s.folder.SettingsByUser = true;
    s.versions[s.dir + "Stirpello.exe"] = V(1, 3, 0, 0);
    s.ini[s.Ini()]["updates|checkonorafterdate"] = "2099-01-01";
    TFailsafeRun r(v, s, TestSites());
    EXPECT_EQ(r.Execute(), TRunEnd::Launched);
    EXPECT_EQ(s.stepAsks, (Lines{"install", "launch"}));
    EXPECT_EQ(s.iniDeletes, (Lines{"Updates|CheckOnOrAfterDate"}));
    EXPECT_EQ(s.iniWrites, (Lines{"Internet Connection|wantsUpdate=TRUE"}));
}

// The user's own VirtualStore copy is written with the user's rights; only the
// program folder's copy goes through the step.
TEST(ElevatedRun, TheVirtualStoreCopyIsTheUsersOwn) {
    TFakeView v;
    TFakeServices s;
    s.folder.Verdict = TFolderVerdict::AdminOnly;
    s.files.insert(s.virtualIni);
    s.ini[s.virtualIni]["updates|checkonorafterdate"] = "2099-01-01";
    s.ini[s.Ini()]["updates|checkonorafterdate"] = "2099-01-01";
    TFailsafeRun r(v, s, TestSites());
    EXPECT_EQ(r.Execute(), TRunEnd::Launched);
    EXPECT_EQ(s.stepAsks, (Lines{"remove keys", "wants TRUE", "launch"}));
    EXPECT_EQ(s.iniDeletes, (Lines{"Updates|CheckOnOrAfterDate"}));
    EXPECT_EQ(s.iniWrites, (Lines{"Internet Connection|wantsUpdate=TRUE"}));
    EXPECT_EQ(s.ini[s.virtualIni].count("updates|checkonorafterdate"), 0u);
}

// A folder that others can change but the user cannot: nothing is written or
// started, and the box names who can.
TEST(ElevatedRun, AFolderOnlyOthersCanChangeStopsTheRun) {
    TFakeView v;
    TFakeServices s;
    s.folder = {TFolderVerdict::OthersOnly, true, "CONTOSO\\Helpdesk (S-1-5-21-1-2-3-1105) may write in it",
                "CONTOSO\\Helpdesk"};
    s.versions[s.dir + "Stirpello.exe"] = V(1, 3, 0, 0);
    TFailsafeRun r(v, s, TestSites());
    EXPECT_EQ(r.Execute(), TRunEnd::FolderUnsafe);
    EXPECT_TRUE(s.stepAsks.empty());
    EXPECT_TRUE(s.downloads.empty());
    EXPECT_TRUE(s.launched.empty());
    EXPECT_TRUE(s.iniWrites.empty());
    EXPECT_EQ(v.log.Lines().back(), "The program folder can be changed by other users, not by you: "
                                    "CONTOSO\\Helpdesk (S-1-5-21-1-2-3-1105) may write in it");
    ASSERT_FALSE(v.Boxes().empty());
    EXPECT_NE(v.Boxes().back().find("can be changed by CONTOSO\\Helpdesk, but not by you"), std::string::npos);
    EXPECT_TRUE(v.Has("mark 2 cross"));
    EXPECT_TRUE(v.Has("logdir " + s.userFolder)) << "the log goes where the user may write";
}

// A download that said why it failed is not followed by the general line.
TEST(ElevatedRun, AnExplainedDownloadFailureIsNotLoggedTwice) {
    for (bool explained : {false, true}) {
        TFakeView v;
        TFakeServices s;
        s.versions[s.dir + "Stirpello.exe"] = V(1, 3, 0, 0);
        s.downloadOk = false;
        s.downloadExplained = explained;
        TFailsafeRun r(v, s, TestSites());
        EXPECT_EQ(r.Execute(), TRunEnd::DownloadFailed);
        const Lines& log = v.log.Lines();
        EXPECT_EQ(std::count(log.begin(), log.end(), "Download of new update module failed"), explained ? 0 : 1);
    }
}

// Started "as administrator": the log says so at once, and the run goes on.
TEST(ElevatedRun, AnElevatedStartIsLogged) {
    TFakeView v;
    TFakeServices s;
    s.elevatedProcess = true;
    TFailsafeRun r(v, s, TestSites());
    EXPECT_EQ(r.Execute(), TRunEnd::Launched);
    ASSERT_GE(v.log.Lines().size(), 3u);
    EXPECT_EQ(v.log.Lines()[2], "The utility was started with administrator rights");
}

// The step starts only this utility's own module. When it declines, the
// module is started with the user's rights (asked of the main process as
// for an open folder), and the log says why.
TEST(ElevatedRun, AModuleTheStepWillNotStartGetsTheUsersRights) {
    TFakeView v;
    TFakeServices s;
    s.folder.Verdict = TFolderVerdict::AdminOnly;
    s.ini[s.Ini()]["updates|checkonorafterdate"] = "2099-01-01";
    s.stepFails = {"launch"};
    TFailsafeRun r(v, s, TestSites());
    EXPECT_EQ(r.Execute(), TRunEnd::Launched);
    EXPECT_EQ(s.stepAsks, (Lines{"remove keys", "wants TRUE", "launch"}));
    ASSERT_EQ(s.launchAsks.size(), 1u);
    EXPECT_TRUE(s.launchAsks[0].FolderOpen) << "the user's rights only";
    const Lines& log = v.log.Lines();
    EXPECT_NE(std::find(log.begin(), log.end(), "The administrator step did not start the update module: refused: launch"),
              log.end());
}

// In a folder others can change, a module that asks for administrator
// rights is not started: the box says what to do instead.
TEST(ElevatedRun, AModuleAskingForRightsFromAnOpenFolderIsNotStarted) {
    TFakeView v;
    TFakeServices s;
    s.folder = {TFolderVerdict::UserCan, true, "Everyone (S-1-1-0) may write in it", "Everyone"};
    s.launch = TLaunchResult();
    s.launch.RightsRefused = true;
    s.launch.Error = "it asks for administrator rights";
    TFailsafeRun r(v, s, TestSites());
    EXPECT_EQ(r.Execute(), TRunEnd::LaunchFailed);
    EXPECT_TRUE(s.launched.empty());
    EXPECT_TRUE(s.stepAsks.empty());
    const Lines& log = v.log.Lines();
    EXPECT_NE(std::find(log.begin(), log.end(),
                        "Not started: " + s.dir + "Stirpello.exe asks for administrator rights, and other users can "
                        "change its folder"),
              log.end());
    ASSERT_FALSE(v.Boxes().empty());
    EXPECT_NE(v.Boxes().back().find("choose Repair"), std::string::npos) << v.Boxes().back();
    EXPECT_EQ(v.Boxes().back().find("Windows will ask"), std::string::npos);
    EXPECT_TRUE(v.Has("mark 4 cross"));
}
