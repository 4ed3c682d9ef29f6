#pragma once
// Scripted stand-ins for the main window and the system, for the run's tests.
#include <algorithm>
#include <cctype>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/RunServices.h"
#include "app/RunView.h"
#include "fileutil/Errors.h"

namespace runfakes {

inline TrsFileVersion V(int a, int b, int c, int d) {
    TrsFileVersion v;
    v.Major = a;
    v.Minor = b;
    v.Release = c;
    v.Build = d;
    return v;
}

// Records what the run shows, in order, as short lines.
class TFakeView : public IRunView {
public:
    TRunLog log;
    std::vector<std::string> events;
    std::deque<TConfirmAnswer> answers;  // crNo when empty
    std::function<void()> onProcessMessages;
    int busy = 0;  // hourglass depth; must be 0 after every run
    // The user closes the window during the first event that starts with
    // closeOn (or the test calls UserCloses); Close() closes it as well.
    std::string closeOn;
    bool closed = false;
    size_t eventsAtClose = 0, linesAtClose = 0;

    void UserCloses(const std::string& where) {
        events.push_back("user closes " + where);
        MarkClosed();
    }
    bool IsClosed() const override { return closed; }

    TRunLog& Log() override { return log; }
    void SetProgress(const std::string& caption) override { Record("progress " + caption); }
    void SetMark(int step, TStepMark mark) override {
        static const char* names[] = {"hidden", "arrow", "check", "cross"};
        Record("mark " + std::to_string(step) + " " + names[static_cast<int>(mark)]);
    }
    void ShowDirectory(const std::string& directory) override { Record("dir " + directory); }
    void ShowMessage(const std::string& text) override { Record("box " + text); }
    TConfirmAnswer Confirm(const std::string& text) override {
        Record("confirm " + text);
        if (answers.empty()) return crNo;
        TConfirmAnswer a = answers.front();
        answers.pop_front();
        return a;
    }
    void ProcessMessages() override {
        if (onProcessMessages) onProcessMessages();
    }
    void SetBusyCursor(bool on) override {
        busy += on ? 1 : -1;
        events.push_back(on ? "busy on" : "busy off");
    }
    void SetLogDirectory(const std::string& directory) override {
        events.push_back("logdir " + directory);
    }
    void Close() override {
        events.push_back("close");
        MarkClosed();
    }
    void ShowError(const std::string& text) override { events.push_back("error " + text); }

    std::vector<std::string> Boxes() const {
        std::vector<std::string> out;
        for (const auto& e : events)
            if (e.rfind("box ", 0) == 0 || e.rfind("confirm ", 0) == 0) out.push_back(e);
        return out;
    }
    bool Has(const std::string& event) const {
        return std::find(events.begin(), events.end(), event) != events.end();
    }

private:
    void Record(const std::string& event) {
        events.push_back(event);
        if (!closeOn.empty() && event.rfind(closeOn, 0) == 0) MarkClosed();
    }
    void MarkClosed() {
        if (closed) return;
        closed = true;
        eventsAtClose = events.size();
        linesAtClose = log.Lines().size();
    }
};

struct TFakeList : IUpdateList {
    std::string loadError, selectError;
    int32_t latest = 0;
    bool major = false;
    int32_t* selectedFor = nullptr;
    void LoadFromString(const std::string&) override {
        if (!loadError.empty()) throw EError(loadError);
    }
    void SelectFor(int32_t v) override {
        if (selectedFor) *selectedFor = v;
        if (!selectError.empty()) throw EError(selectError);
    }
    int32_t LatestVersion() const override { return latest; }
    bool NewestIsMajor() const override { return major; }
};

struct TWebCall {
    std::string url, proxyServer;
    int32_t proxyPort;
    int timeout;
    TWebMode mode;
};

inline std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// A world in which everything is in order: product not running, engine
// 1.0.9.5, a current update module 1.4.0.1, an empty settings file, both
// probes answered, a catalogue with a major update.
class TFakeServices : public IRunServices {
public:
    std::string dir = "C:\\Program Files\\Stirpello\\";
    std::map<std::string, TProcessQuery> processes;
    std::string processError;  // thrown by the query for this name
    TModuleQuery spexec;
    std::vector<std::string> queried;
    std::string locateError;
    std::function<void()> locate;  // runs inside the locator, before its error
    TEngineInfo engine{true, V(1, 0, 9, 5)};
    TrsFileVersion own = V(1, 0, 1, 0);
    bool ownThrows = false;
    std::set<std::string> files;
    std::map<std::string, TrsFileVersion> versions;
    std::string versionError;  // thrown by every version read
    // path -> "section|key" (lower case) -> value
    std::map<std::string, std::map<std::string, std::string>> ini;
    bool iniReadThrows = false;
    bool iniWriteFails = false;
    std::vector<std::string> iniDeletes, iniWrites;
    std::function<TWebResult(const std::string& url, TWebMode mode)> web;
    std::vector<TWebCall> webCalls;
    TFakeList list;
    bool realCatalogue = false;  // the real update list over the catalogue bytes read
    int32_t selectedFor = -1;
    bool downloadOk = true;
    bool downloadExplained = false;  // the failed download logged its reason
    std::function<void()> downloadStarted;  // runs inside the download window
    std::vector<std::string> downloads;
    bool copyOk = true;
    std::string copyError;
    std::vector<std::string> copies;
    std::vector<std::string> launched;
    // What the folder check answers, how a start goes, and what it was asked.
    TFolderSafety folder;
    TLaunchResult launch{true, false, ""};
    struct TLaunchAsk {
        std::string Folder;
        bool MustBeGenuine;
        bool FolderOpen;
    };
    std::vector<TLaunchAsk> launchAsks;
    int randomized = 0;
    std::string probeUrl = "http://probe.test/", homeUrl = "http://site.test/";

    TFakeServices() {
        files = {dir + "SPEngine.exe", dir + "Stirpello.exe", dir + "Stirpello.ini"};
        folder.Verdict = TFolderVerdict::UserCan;
        versions[dir + "Stirpello.exe"] = V(1, 4, 0, 1);
        ini[dir + "Stirpello.ini"];
        list.latest = 10906;
        list.major = true;
        web = [this](const std::string& url, TWebMode) -> TWebResult {
            if (url == probeUrl) return {true, "<html><form><input name=q></form></html>"};
            if (url == homeUrl) return {true, "<h1>Genealogy Software</h1>"};
            return {true, "catalogue bytes"};
        };
    }
    std::string Ini() const { return dir + "Stirpello.ini"; }
    // The product's VirtualStore copy; there when files holds it.
    std::string virtualIni = "C:\\Users\\ann\\AppData\\Local\\VirtualStore\\Stirpello\\Stirpello.ini";
    std::string IniValue(const std::string& section, const std::string& key) const {
        auto f = ini.find(Ini());
        if (f == ini.end()) return "<no file>";
        auto k = f->second.find(Lower(section + "|" + key));
        return k == f->second.end() ? "<none>" : k->second;
    }

    TProcessQuery FindProcesses(const std::string& name) override {
        queried.push_back(name);
        if (name == processError) throw EError("process list unreadable");
        auto it = processes.find(name);
        return it == processes.end() ? TProcessQuery() : it->second;
    }
    TModuleQuery FindLoadedModules(const std::string& name) override {
        queried.push_back(name);
        if (name == processError) throw EError("module list unreadable");
        return spexec;
    }
    std::string LocateInstallation() override {
        if (locate) locate();
        if (!locateError.empty()) throw EError(locateError);
        return dir;
    }
    TEngineInfo IdentifyEngine(const std::string&, const std::string&) override { return engine; }
    bool elevatedProcess = false;
    bool RunsElevated() override { return elevatedProcess; }
    TrsFileVersion OwnVersion() override {
        if (ownThrows) throw EError("no version");
        return own;
    }
    TrsFileVersion ReadVersion(const std::string& path) override {
        if (!versionError.empty()) throw EError(versionError);
        auto it = versions.find(path);
        return it == versions.end() ? TrsFileVersion() : it->second;
    }
    bool FileExists(const std::string& path) override { return files.count(path) > 0; }
    std::string IniRead(const std::string& path, const std::string& section, const std::string& key,
                        const std::string& def) override {
        if (iniReadThrows) throw EError("Stream read error");
        auto& m = ini[path];
        auto it = m.find(Lower(section + "|" + key));
        return it == m.end() ? def : it->second;
    }
    void IniDelete(const std::string& path, const std::string& section,
                   const std::string& key) override {
        iniDeletes.push_back(section + "|" + key);
        ini[path].erase(Lower(section + "|" + key));
    }
    void IniWrite(const std::string& path, const std::string& section, const std::string& key,
                  const std::string& value) override {
        if (iniWriteFails) throw EError("Unable to write to " + path);
        iniWrites.push_back(section + "|" + key + "=" + value);
        ini[path][Lower(section + "|" + key)] = value;
        files.insert(path);
    }
    std::string VirtualSettingsCopy(const std::string& path) override {
        return path == Ini() && files.count(virtualIni) ? virtualIni : std::string();
    }
    TWebResult WebRead(const std::string& url, const std::string& proxyServer, int32_t proxyPort,
                       int timeoutMs, TWebMode mode) override {
        webCalls.push_back({url, proxyServer, proxyPort, timeoutMs, mode});
        return web(url, mode);
    }
    std::unique_ptr<IUpdateList> NewUpdateList() override {
        if (realCatalogue) return NewCatalogueList();
        auto l = std::make_unique<TFakeList>(list);
        l->selectedFor = &selectedFor;
        return l;
    }
    TDownloadOutcome DownloadUpdateModule(const std::string& directory, std::string& modulePath,
                                          const std::string& proxyServer, int32_t proxyPort) override {
        downloads.push_back(directory + "|" + proxyServer + "|" + std::to_string(proxyPort));
        modulePath = directory + "Download\\Stirpello.exe";
        if (downloadStarted) downloadStarted();
        if (downloadOk) files.insert(modulePath);
        return {downloadOk, downloadExplained};
    }
    // The elevated step: what it was asked, in order, and how it answers
    // (a decline answers every request with the same reason).
    std::vector<std::string> stepAsks;
    std::string stepRefusal;
    std::set<std::string> stepFails;  // names of requests that fail
    TStepOutcome ElevatedWrite(TStepWrite what, const std::string& from, const std::string& source) override {
        static const char* names[] = {"remove keys", "notify", "install", "wants TRUE", "wants FALSE", "launch"};
        const std::string name = names[static_cast<int>(what)];
        stepAsks.push_back(name);
        if (!stepRefusal.empty()) return {false, stepRefusal};
        if (stepFails.count(name)) return {false, "refused: " + name};
        auto& m = ini[from + "Stirpello.ini"];
        switch (what) {
        case TStepWrite::RemovePostponingKeys:
            m.erase("updates|checkonorafterdate");
            m.erase("updates|notifyafterupdateto");
            break;
        case TStepWrite::NotifyForAnyUpdate: m["internet connection|notifyforanyupdate"] = "TRUE"; break;
        case TStepWrite::InstallModule: copies.push_back(source + " -> " + from + "Stirpello.exe"); break;
        case TStepWrite::WantsUpdateTrue: m["internet connection|wantsupdate"] = "TRUE"; break;
        case TStepWrite::WantsUpdateFalse: m["internet connection|wantsupdate"] = "FALSE"; break;
        case TStepWrite::LaunchModule: launched.push_back(from + "Stirpello.exe"); break;
        }
        return {true, ""};
    }
    bool CopyFile(const std::string& source, const std::string& target) override {
        copies.push_back(source + " -> " + target);
        if (!copyError.empty()) throw EReadError(copyError);
        return copyOk;
    }
    TFolderSafety CheckProgramFolder(const std::string&) override { return folder; }
    std::string userFolder = "C:\\Users\\ann\\AppData\\Local\\Stirpello\\Update\\";
    std::string LogFolder(const std::string& from, TFolderVerdict verdict) override {
        return verdict == TFolderVerdict::UserCan ? from : userFolder;
    }
    TLaunchResult LaunchModule(const std::string& path, const std::string& from, bool mustBeGenuine,
                               bool folderOpen) override {
        launchAsks.push_back({from, mustBeGenuine, folderOpen});
        if (launch.Started) launched.push_back(path);
        return launch;
    }
    std::string NowText() override { return "01/03/2024 10:11:12"; }
    void Randomize() override { ++randomized; }
    int32_t Random(int32_t bound) override { return bound == 100000 ? 4711 : -1; }
};

}  // namespace runfakes
