#include "app/Processes.h"

#include <windows.h>
#include <winternl.h>

#include <cstring>
#include <functional>

#include "fileutil/Handles_win32.h"
#include "fileutil/PathText.h"

namespace {

// Where the loader keeps its module list, as read from outside the process.
// Pointer-sized fields make the 32-bit and 64-bit layouts differ.
struct TLoaderLayout {
    uint32_t Pointer;           // bytes in a pointer of the target
    uint32_t PebLdr;            // PEB.Ldr
    uint32_t LdrInLoadOrder;    // PEB_LDR_DATA.InLoadOrderModuleList
    uint32_t EntryDllBase;      // LDR_DATA_TABLE_ENTRY.DllBase
    uint32_t EntryFullDllName;  // LDR_DATA_TABLE_ENTRY.FullDllName (a UNICODE_STRING)
    uint32_t EntrySize;
};
const TLoaderLayout kLayout32 = {4, 0x0C, 0x0C, 0x18, 0x24, 0x2C};
const TLoaderLayout kLayout64 = {8, 0x18, 0x10, 0x30, 0x48, 0x58};
// A loader list is walked at most this far, in case it changes under us.
const int kMaxModules = 4096;
// The system's process list is asked for with at most this large a buffer.
const ULONG kMaxProcessBuffer = 64u << 20;

const ULONG kSystemProcessInformation = 5;
const NTSTATUS kStatusInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);

using NtQuerySystemInformationFn = NTSTATUS(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
using NtQueryInformationProcessFn = NTSTATUS(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
using QueryFullProcessImageNameFn = BOOL(WINAPI*)(HANDLE, DWORD, LPSTR, PDWORD);
#ifndef _WIN64
// Only the WOW64 ntdll has these: a 32-bit process's way into a 64-bit one.
using NtWow64QueryInformationProcess64Fn = NTSTATUS(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
using NtWow64ReadVirtualMemory64Fn = NTSTATUS(NTAPI*)(HANDLE, ULONG64, PVOID, ULONG64, PULONG64);
#endif

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

// An opened process, with the layout of the loader data it is read by and
// whether that takes the WOW64 calls (a 64-bit process seen from a 32-bit one).
struct TTarget {
    HANDLE Process;
    const TLoaderLayout* Layout;
    bool Wide;
};

bool ReadRemote(const TTarget& target, uint64_t address, void* into, size_t size) {
    if (address == 0) return false;
#ifndef _WIN64
    if (target.Wide) {
        static auto read = reinterpret_cast<NtWow64ReadVirtualMemory64Fn>(
            reinterpret_cast<void*>(NtdllProc("NtWow64ReadVirtualMemory64")));
        ULONG64 got = 0;
        return read && read(target.Process, address, into, size, &got) == 0 && got == size;
    }
#endif
    SIZE_T got = 0;
    return address <= UINTPTR_MAX &&
           ReadProcessMemory(target.Process,
                             reinterpret_cast<LPCVOID>(static_cast<uintptr_t>(address)), into,
                             size, &got) &&
           got == size;
}

// A pointer of the target's size, stored at p.
uint64_t Pointer(const unsigned char* p, const TLoaderLayout& layout) {
    if (layout.Pointer == 4) {
        uint32_t v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

bool ReadPointer(const TTarget& target, uint64_t address, uint64_t* value) {
    unsigned char raw[8] = {};
    if (!ReadRemote(target, address, raw, target.Layout->Pointer)) return false;
    *value = Pointer(raw, *target.Layout);
    return true;
}

struct TLoaderModule {
    uint64_t Base;
    std::string Path;
};

// The address of the PEB whose loader list holds the process's own modules,
// and how it is read. A 32-bit process under a 64-bit build keeps them in its
// WOW64 PEB. A 64-bit process has no PEB a 32-bit build can read directly
// (NULL under Wine and on Windows): under WOW64 the 64-bit one is asked for.
bool FindPeb(HANDLE process, uint64_t* peb, TTarget* target) {
    static auto query = reinterpret_cast<NtQueryInformationProcessFn>(
        reinterpret_cast<void*>(NtdllProc("NtQueryInformationProcess")));
    if (!query) return false;
    *target = TTarget{process, &kLayout32, false};
#ifdef _WIN64
    ULONG_PTR wow64Peb = 0;
    if (query(process, 26 /* ProcessWow64Information */, &wow64Peb, sizeof wow64Peb, nullptr) ==
            0 &&
        wow64Peb != 0) {
        *peb = wow64Peb;
        return true;
    }
    target->Layout = &kLayout64;
#endif
    PROCESS_BASIC_INFORMATION basic = {};
    if (query(process, 0 /* ProcessBasicInformation */, &basic, sizeof basic, nullptr) != 0)
        return false;
    *peb = reinterpret_cast<uintptr_t>(basic.PebBaseAddress);
#ifndef _WIN64
    BOOL targetWow64 = TRUE, ownWow64 = FALSE;
    if (*peb == 0 && IsWow64Process(GetCurrentProcess(), &ownWow64) && ownWow64 &&
        IsWow64Process(process, &targetWow64) && !targetWow64) {
        static auto query64 = reinterpret_cast<NtWow64QueryInformationProcess64Fn>(
            reinterpret_cast<void*>(NtdllProc("NtWow64QueryInformationProcess64")));
        // PROCESS_BASIC_INFORMATION of the 64-bit process: the PEB follows
        // the 8-byte exit status.
        ULONG64 basic64[6] = {};
        if (query64 && query64(process, 0, basic64, sizeof basic64, nullptr) == 0) {
            *peb = basic64[1];
            *target = TTarget{process, &kLayout64, true};
        }
    }
#endif
    return *peb != 0;
}

// Walks the loader's module list of an opened process, in load order; the
// first module is the executable. Stops early when visit returns false.
// False when the list cannot be read.
bool WalkLoaderList(HANDLE process, const std::function<bool(const TLoaderModule&)>& visit) {
    uint64_t peb = 0;
    TTarget target{};
    if (!FindPeb(process, &peb, &target)) return false;
    const TLoaderLayout* layout = target.Layout;
    uint64_t ldr = 0;
    if (!ReadPointer(target, peb + layout->PebLdr, &ldr)) return false;
    uint64_t head = ldr + layout->LdrInLoadOrder;
    uint64_t link = 0;
    if (!ReadPointer(target, head, &link)) return false;
    for (int i = 0; i < kMaxModules && link != head && link != 0; ++i) {
        unsigned char entry[0x58];
        if (!ReadRemote(target, link, entry, layout->EntrySize)) return false;
        const unsigned char* name16 = entry + layout->EntryFullDllName;
        uint16_t bytes = 0;
        std::memcpy(&bytes, name16, sizeof bytes);
        // UNICODE_STRING: two lengths, then the buffer pointer, aligned.
        uint64_t buffer = Pointer(name16 + layout->Pointer, *layout);
        std::wstring name(bytes / sizeof(wchar_t), L'\0');
        if (!name.empty() && !ReadRemote(target, buffer, &name[0], name.size() * sizeof(wchar_t)))
            return false;
        TLoaderModule m{Pointer(entry + layout->EntryDllBase, *layout),
                        DosPath(Narrow(name.data(), name.size()))};
        if (!visit(m)) return true;
        link = Pointer(entry, *layout);  // InLoadOrderLinks.Flink
    }
    return true;
}

// The full path of a process's executable, asked with the least access that
// answers it. Works across bitness, where the loader list may not. Empty when
// the process cannot be opened (protected, or gone).
std::string ImagePath(uint32_t pid) {
    static auto query = reinterpret_cast<QueryFullProcessImageNameFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "QueryFullProcessImageNameA")));
    if (query) {
        TKernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
        if (!process) return std::string();
        char path[MAX_PATH * 2] = {};
        DWORD size = sizeof path;
        if (query(process.get(), 0, path, &size) && size > 0 && size < sizeof path)
            return std::string(path, size);
        return std::string();
    }
    // Before Vista: the first module of the loader list.
    std::string path;
    TKernelHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
    if (process) {
        WalkLoaderList(process.get(), [&](const TLoaderModule& m) {
            path = m.Path;
            return false;  // only the first: the executable
        });
    }
    return path;
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
struct TListedProcess {
    TProcessEntry Entry;
    DWORD Session;
};

// Every process the system lists, in its order, with its session.
std::vector<TListedProcess> NtProcesses() {
    std::vector<TListedProcess> result;
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
        if (e.ProcessID != 0) {
            std::string full = ImagePath(e.ProcessID);
            if (!full.empty()) e.ExePath = full;
        }
        result.push_back({std::move(e), info->SessionId});
        if (info->NextEntryOffset == 0) break;
        offset += info->NextEntryOffset;
    }
    return result;
}

// Toolhelp knows no sessions: every process counts as the caller's.
std::vector<TListedProcess> ToolhelpProcesses(DWORD session) {
    std::vector<TListedProcess> result;
    TFileHandle snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snap) return result;
    PROCESSENTRY32 pe = {};
    pe.dwSize = sizeof pe;
    for (BOOL ok = Process32First(snap.get(), &pe); ok; ok = Process32Next(snap.get(), &pe)) {
        TProcessEntry e;
        e.ProcessID = pe.th32ProcessID;
        e.ExePath = pe.szExeFile;
        result.push_back({std::move(e), session});
    }
    return result;
}

DWORD OwnSession() {
    DWORD session = 0;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &session)) session = 0;
    return session;
}

std::vector<TListedProcess> AllProcesses(TProcessSource source) {
    return source == TProcessSource::Toolhelp ? ToolhelpProcesses(OwnSession()) : NtProcesses();
}

}  // namespace

TProcessList FindProcesses(const std::string& name, TProcessSource source) {
    TProcessList list;
    std::string wanted = HasFolder(name) ? Normalise(name) : name;
    for (TListedProcess& p : AllProcesses(Resolve(source))) {
        TProcessEntry& e = p.Entry;
        std::string path = HasFolder(e.ExePath) ? Normalise(e.ExePath) : e.ExePath;
        if (ProcessNameMatches(wanted, path)) list.Add(std::move(e));
    }
    return list;
}

TModuleList FindLoadedModules(const std::string& name, TProcessSource source) {
    TModuleList list;
    source = Resolve(source);
    // Only the user's own session: the host programs run there, and reading
    // the memory of other sessions' services (the credential store's among
    // them) is what endpoint protection rightly flags.
    const DWORD session = OwnSession();
    for (const TListedProcess& listed : AllProcesses(source)) {
        if (listed.Session != session) continue;
        const TProcessEntry& proc = listed.Entry;
        auto take = [&](uint64_t base, const std::string& path) {
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
                take(reinterpret_cast<uintptr_t>(me.modBaseAddr), me.szExePath);
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
