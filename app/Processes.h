#pragma once
// Running-program checks: which processes run a given executable, and in
// which processes a given library is loaded. Both queries take a snapshot
// when called; they never change, signal or stop a process.
#include <cstdint>
#include <string>
#include <vector>

struct TProcessEntry {
    uint32_t ProcessID = 0;
    // Full path of the executable where the system lets it be read, otherwise
    // the image name the system lists ("[System Process]" for the idle process).
    std::string ExePath;
    // "Index out of range." on an entry read past the end of a list.
    std::string Error;
};

struct TModuleEntry {
    uint64_t ModuleHandle = 0;  // load address in the owning process
    std::string FileName;       // full path as the owner's loader records it
    TProcessEntry Process;      // the owning process
    std::string Error;
};

// A snapshot list. Items(i) outside 0..Count()-1 gives an empty entry whose
// Error is "Index out of range."; nothing is thrown.
template <class Entry>
class TSnapshotList {
public:
    int Count() const { return static_cast<int>(items_.size()); }
    Entry Items(int index) const {
        if (index < 0 || index >= Count()) {
            Entry empty;
            empty.Error = "Index out of range.";
            return empty;
        }
        return items_[static_cast<size_t>(index)];
    }
    void Add(Entry e) { items_.push_back(std::move(e)); }

private:
    std::vector<Entry> items_;
};

using TProcessList = TSnapshotList<TProcessEntry>;
using TModuleList = TSnapshotList<TModuleEntry>;

// How the processes are listed. System picks by the Windows family: the NT
// system process list with each executable's path from its loader, or a
// toolhelp snapshot on the Windows 95 family. Tests force one.
enum class TProcessSource { System, NtLoader, Toolhelp };

// The processes whose executable matches name: a file name ("Stirpello.exe"),
// a full path, or "", "*", "*.*" for all. Letter case is ignored and 8.3
// components are read as their long names. An empty list when the system's
// process list cannot be had. Windows only; throws std::bad_alloc only.
TProcessList FindProcesses(const std::string& name, TProcessSource source = TProcessSource::System);

// Every loaded instance of the library name (a file name or a full path) in
// every process, the calling one included; processes whose modules cannot be
// read contribute nothing. Windows only; throws std::bad_alloc only.
TModuleList FindLoadedModules(const std::string& name, TProcessSource source = TProcessSource::System);

// The matching rules on names already brought to one form: "", "*", "*.*"
// match all; a name with a folder is compared with a full path, otherwise
// file-name parts are compared; ASCII case is ignored.
bool ProcessNameMatches(const std::string& name, const std::string& exePath);
// Module paths: the same wildcards; a name with a folder is compared with the full path, a bare
// name with the path's file-name part, ignoring case.
bool ModuleNameMatches(const std::string& name, const std::string& modulePath);
