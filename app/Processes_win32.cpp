#include "app/Processes.h"

#include <windows.h>
#include <winternl.h>

#include <cstring>
#include <functional>

#include "fileutil/Handles_win32.h"
#include "fileutil/PathText.h"

namespace {

// Layout of a 32-bit process's loader data, read from outside the process.
const uint32_t kPebLdr = 0x0C;              // PEB.Ldr
const uint32_t kLdrInLoadOrder = 0x0C;      // PEB_LDR_DATA.InLoadOrderModuleList
const uint32_t kEntryDllBase = 0x18;        // LDR_DATA_TABLE_ENTRY.DllBase
const uint32_t kEntryFullDllName = 0x24;    // LDR_DATA_TABLE_ENTRY.FullDllName
const uint32_t kEntrySize = 0x2C;
// A loader list is walked at most this far, in case it changes under us.
const int kMaxModules = 4096;
// The system's process list is asked for with at most this large a buffer.
const ULONG kMaxProcessBuffer = 64u << 20;

const ULONG kSystemProcessInformation = 5;
const NTSTATUS kStatusInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);

using NtQuerySystemInformationFn = NTSTATUS(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
using NtQueryInformationProcessFn = NTSTATUS(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);

FARPROC NtdllProc(const char* name) {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll ? GetProcAddress(ntdll, name) : nullptr;
}

std::string Narrow(const wchar_t* text, size_t chars) {
    if (chars == 0) return std::string();
    int n = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(chars), nullptr, 0, nullptr,
                                nullptr);
    if (n <= 0) return std::string();
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(chars), &s[0], n, nullptr, nullptr);
    return s;
}

bool StartsWithNoCase(const std::string& s, const char* prefix) {
    size_t n = std::strlen(prefix);
    return s.size() >= n && CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, s.c_str(),
                                           static_cast<int>(n), prefix,
                                           static_cast<int>(n)) == CSTR_EQUAL;
}

// The loader may record NT-style paths.
std::string DosPath(std::string path) {
    if (path.compare(0, 4, "\\??\\") == 0) path.erase(0, 4);
    if (StartsWithNoCase(path, "\\SystemRoot\\System32\\")) {
        char sys[MAX_PATH] = {};
        UINT n = GetSystemDirectoryA(sys, MAX_PATH);
        if (n > 0 && n < MAX_PATH)
            path = std::string(sys, n) + "\\" + path.substr(std::strlen("\\SystemRoot\\System32\\"));
    }
    return path;
}

bool HasFolder(const std::string& path) { return path.find_first_of("\\:") != std::string::npos; }

// One form for comparison: no trailing backslash, and every 8.3 component
// that exists replaced by its long name.
std::string Normalise(std::string path) {
    if (EndsWithBackslash(path)) path.pop_back();
    std::string out;
    size_t start = 0;
    while (true) {
        size_t end = path.find('\\', start);
        std::string comp = path.substr(start, end == std::string::npos ? end : end - start);
        if (start > 0) out += '\\';
        bool shortForm = comp.find('~') != std::string::npos &&
                         comp.find_first_of("*?") == std::string::npos;
        if (shortForm && start > 0) {
            WIN32_FIND_DATAA fd;
            TFindHandle find(FindFirstFileA((out + comp).c_str(), &fd));
            if (find) comp = fd.cFileName;
        }
        out += comp;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return out;
}

bool ReadRemote(HANDLE process, uint32_t address, void* into, size_t size) {
    SIZE_T got = 0;
    return address != 0 &&
           ReadProcessMemory(process, reinterpret_cast<LPCVOID>(static_cast<uintptr_t>(address)),
                             into, size, &got) &&
           got == size;
}

uint32_t Dword(const unsigned char* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

struct TLoaderModule {
    uint32_t Base;
    std::string Path;
};

// Walks the loader's module list of an opened process, in load order; the
// first module is the executable. Stops early when visit returns false.
// False when the list cannot be read: a 64-bit process seen from this 32-bit
// one has no readable 32-bit PEB (NULL under Wine and on Windows).
bool WalkLoaderList(HANDLE process, const std::function<bool(const TLoaderModule&)>& visit) {
    static auto query = reinterpret_cast<NtQueryInformationProcessFn>(
        reinterpret_cast<void*>(NtdllProc("NtQueryInformationProcess")));
    if (!query) return false;
    PROCESS_BASIC_INFORMATION basic = {};
    if (query(process, 0 /* ProcessBasicInformation */, &basic, sizeof basic, nullptr) != 0)
        return false;
    uint32_t peb = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(basic.PebBaseAddress));
    uint32_t ldr = 0;
    if (!ReadRemote(process, peb + kPebLdr, &ldr, sizeof ldr)) return false;
    uint32_t head = ldr + kLdrInLoadOrder;
    uint32_t link = 0;
    if (!ReadRemote(process, head, &link, sizeof link)) return false;
    for (int i = 0; i < kMaxModules && link != head && link != 0; ++i) {
        unsigned char entry[kEntrySize];
        if (!ReadRemote(process, link, entry, sizeof entry)) return false;
        uint16_t bytes = 0;
        std::memcpy(&bytes, entry + kEntryFullDllName, sizeof bytes);
        uint32_t buffer = Dword(entry + kEntryFullDllName + 4);
        std::wstring name(bytes / sizeof(wchar_t), L'\0');
        if (!name.empty() && !ReadRemote(process, buffer, &name[0], name.size() * sizeof(wchar_t)))
            return false;
        TLoaderModule m{Dword(entry + kEntryDllBase), DosPath(Narrow(name.data(), name.size()))};
        if (!visit(m)) return true;
        link = Dword(entry);  // InLoadOrderLinks.Flink
    }
    return true;
}

TKernelHandle OpenForReading(uint32_t pid) {
    return TKernelHandle(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
}

bool IsWin9x() {
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof info;
    return GetVersionExA(&info) && info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS;
}

TProcessSource Resolve(TProcessSource source) {
    if (source != TProcessSource::System) return source;
    return IsWin9x() ? TProcessSource::Toolhelp : TProcessSource::NtLoader;
}

// Every process the system lists, in its order.
std::vector<TProcessEntry> NtProcesses() {
    std::vector<TProcessEntry> result;
    static auto query = reinterpret_cast<NtQuerySystemInformationFn>(
        reinterpret_cast<void*>(NtdllProc("NtQuerySystemInformation")));
    if (!query) return result;
    std::vector<unsigned char> buffer;
    ULONG size = 256 * 1024;
    NTSTATUS status;
    while (true) {
        buffer.assign(size, 0);
        ULONG needed = 0;
        status = query(kSystemProcessInformation, buffer.data(), size, &needed);
        if (status != kStatusInfoLengthMismatch) break;
        // The list grows between calls: ask for a margin over the hint.
        ULONG next = needed > size ? needed + 64 * 1024 : size * 2;
        if (next > kMaxProcessBuffer) return result;
        size = next;
    }
    if (status < 0) return result;

    size_t offset = 0;
    while (offset + sizeof(SYSTEM_PROCESS_INFORMATION) <= buffer.size()) {
        const auto* info = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(&buffer[offset]);
        TProcessEntry e;
        e.ProcessID = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(info->UniqueProcessId));
        std::string image = Narrow(info->ImageName.Buffer, info->ImageName.Length / sizeof(wchar_t));
        if (image.empty() && e.ProcessID == 0) image = "[System Process]";
        e.ExePath = image;
        if (TKernelHandle process = OpenForReading(e.ProcessID)) {
            WalkLoaderList(process.get(), [&](const TLoaderModule& m) {
                if (!m.Path.empty()) e.ExePath = m.Path;
                return false;  // only the first: the executable
            });
        }
        result.push_back(std::move(e));
        if (info->NextEntryOffset == 0) break;
        offset += info->NextEntryOffset;
    }
    return result;
}

std::vector<TProcessEntry> ToolhelpProcesses() {
    std::vector<TProcessEntry> result;
    TFileHandle snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snap) return result;
    PROCESSENTRY32 pe = {};
    pe.dwSize = sizeof pe;
    for (BOOL ok = Process32First(snap.get(), &pe); ok; ok = Process32Next(snap.get(), &pe)) {
        TProcessEntry e;
        e.ProcessID = pe.th32ProcessID;
        e.ExePath = pe.szExeFile;
        result.push_back(std::move(e));
    }
    return result;
}

std::vector<TProcessEntry> AllProcesses(TProcessSource source) {
    return source == TProcessSource::Toolhelp ? ToolhelpProcesses() : NtProcesses();
}

}  // namespace

TProcessList FindProcesses(const std::string& name, TProcessSource source) {
    TProcessList list;
    std::string wanted = HasFolder(name) ? Normalise(name) : name;
    for (TProcessEntry& e : AllProcesses(Resolve(source))) {
        std::string path = HasFolder(e.ExePath) ? Normalise(e.ExePath) : e.ExePath;
        if (ProcessNameMatches(wanted, path)) list.Add(std::move(e));
    }
    return list;
}

TModuleList FindLoadedModules(const std::string& name, TProcessSource source) {
    TModuleList list;
    source = Resolve(source);
    for (const TProcessEntry& proc : AllProcesses(source)) {
        auto take = [&](uint32_t base, const std::string& path) {
            if (!ModuleNameMatches(name, path)) return;
            TModuleEntry m;
            m.ModuleHandle = base;
            m.FileName = path;
            m.Process = proc;
            list.Add(std::move(m));
        };
        if (source == TProcessSource::Toolhelp) {
            TFileHandle snap(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, proc.ProcessID));
            if (!snap) continue;
            MODULEENTRY32 me = {};
            me.dwSize = sizeof me;
            for (BOOL ok = Module32First(snap.get(), &me); ok; ok = Module32Next(snap.get(), &me))
                take(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(me.modBaseAddr)),
                     me.szExePath);
        } else {
            TKernelHandle process = OpenForReading(proc.ProcessID);
            if (!process) continue;
            // A list that cannot be read to its end (the process ended
            // meanwhile) contributes nothing.
            std::vector<TLoaderModule> modules;
            bool whole = WalkLoaderList(process.get(), [&](const TLoaderModule& m) {
                modules.push_back(m);
                return true;
            });
            if (!whole) continue;
            for (const TLoaderModule& m : modules) take(m.Base, m.Path);
        }
    }
    return list;
}
