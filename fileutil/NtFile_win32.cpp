#include "fileutil/NtFile_win32.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

namespace {

const NTSTATUS kNotImplemented = static_cast<NTSTATUS>(0xC0000002L);
const NTSTATUS kNameTooLong = static_cast<NTSTATUS>(0xC0000106L);
const ULONG kFileRenameInformation = 10;
const ULONG kFileDirectoryInformation = 1;

// FILE_DIRECTORY_INFORMATION, one entry of a listing.
struct TDirectoryEntry {
    ULONG NextEntryOffset;
    ULONG FileIndex;
    LARGE_INTEGER CreationTime, LastAccessTime, LastWriteTime, ChangeTime, EndOfFile, AllocationSize;
    ULONG FileAttributes;
    ULONG FileNameLength;
    WCHAR FileName[1];
};

using TNtCreateFile = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                       PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using TNtSetInformationFile = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
using TNtQueryDirectoryFile = NTSTATUS(NTAPI*)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG,
                                               BOOLEAN, PUNICODE_STRING, BOOLEAN);
using TRtlNtStatusToDosError = ULONG(NTAPI*)(NTSTATUS);

// ntdll is in every process; looking the calls up spares an import library.
template <typename Fn>
Fn Ntdll(const char* name) {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(ntdll, name))) : nullptr;
}

void Fail(NTSTATUS s, NTSTATUS* status) {
    if (status) *status = s;
    static const auto toDos = Ntdll<TRtlNtStatusToDosError>("RtlNtStatusToDosError");
    SetLastError(toDos ? toDos(s) : ERROR_CALL_NOT_IMPLEMENTED);
}

// Lengths in a UNICODE_STRING are 16-bit byte counts.
bool FitsUnicodeString(const std::wstring& s) { return s.size() <= 0x7FFF; }

// FILE_RENAME_INFORMATION as ntdll reads it: the flag, then (aligned for a
// pointer) the root handle, the name's byte length and the name itself, so
// the offsets differ between 32-bit and 64-bit builds.
struct TRenameInfo {
    BOOLEAN ReplaceIfExists;
    HANDLE RootDirectory;
    ULONG FileNameLength;
    WCHAR FileName[1];
};
static_assert(offsetof(TRenameInfo, RootDirectory) == sizeof(void*), "handle follows the flag, aligned");
static_assert(offsetof(TRenameInfo, FileName) == 2 * sizeof(void*) + 4, "name follows its length");

}  // namespace

HANDLE OpenRelative(HANDLE root, const std::wstring& name, ACCESS_MASK access, ULONG share, ULONG disposition,
                    ULONG options, NTSTATUS* status) {
    static const auto create = Ntdll<TNtCreateFile>("NtCreateFile");
    if (!create) {
        Fail(kNotImplemented, status);
        return INVALID_HANDLE_VALUE;
    }
    if (!FitsUnicodeString(name)) {
        Fail(kNameTooLong, status);
        return INVALID_HANDLE_VALUE;
    }
    UNICODE_STRING text;
    text.Buffer = const_cast<PWSTR>(name.c_str());
    text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, root, nullptr);
    IO_STATUS_BLOCK io = {};
    HANDLE h = nullptr;
    NTSTATUS s = create(&h, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                        disposition, options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (s < 0) {
        Fail(s, status);
        return INVALID_HANDLE_VALUE;
    }
    if (status) *status = s;
    return h;
}

bool RenameRelative(HANDLE file, HANDLE root, const std::wstring& newName, bool replace, NTSTATUS* status) {
    static const auto setInformation = Ntdll<TNtSetInformationFile>("NtSetInformationFile");
    if (!setInformation) {
        Fail(kNotImplemented, status);
        return false;
    }
    if (!FitsUnicodeString(newName)) {
        Fail(kNameTooLong, status);
        return false;
    }
    const size_t nameBytes = newName.size() * sizeof(wchar_t);
    // Never shorter than the structure itself, which ntdll may insist on.
    const size_t size = std::max(sizeof(TRenameInfo), offsetof(TRenameInfo, FileName) + nameBytes);
    std::vector<uint64_t> buffer((size + sizeof(uint64_t) - 1) / sizeof(uint64_t));  // pointer-aligned
    auto* info = reinterpret_cast<TRenameInfo*>(buffer.data());
    info->ReplaceIfExists = replace ? TRUE : FALSE;
    info->RootDirectory = root;
    info->FileNameLength = static_cast<ULONG>(nameBytes);
    if (nameBytes) memcpy(info->FileName, newName.data(), nameBytes);
    IO_STATUS_BLOCK io = {};
    NTSTATUS s = setInformation(file, &io, info, static_cast<ULONG>(size), kFileRenameInformation);
    if (s < 0) {
        Fail(s, status);
        return false;
    }
    if (status) *status = s;
    return true;
}

bool FileIdOf(HANDLE h, uint64_t* volumeSerial, uint64_t* fileIndex) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) return false;
    if (volumeSerial) *volumeSerial = info.dwVolumeSerialNumber;
    if (fileIndex) *fileIndex = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

bool EntryAttributes(HANDLE folder, const std::wstring& name, DWORD* attributes) {
    static const auto query = Ntdll<TNtQueryDirectoryFile>("NtQueryDirectoryFile");
    if (!query) {
        Fail(kNotImplemented, nullptr);
        return false;
    }
    if (name.empty() || name.size() > 255 || name.find_first_of(L"*?<>\"\\/") != std::wstring::npos) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    // A listing handle of its own: a handle's first query fixes its pattern.
    HANDLE raw = OpenRelative(folder, std::wstring(), FILE_LIST_DIRECTORY,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, FILE_DIRECTORY_FILE,
                              nullptr);
    if (raw == INVALID_HANDLE_VALUE) return false;
    struct TClose {
        HANDLE h;
        ~TClose() { CloseHandle(h); }
    } listing{raw};
    UNICODE_STRING pattern;
    pattern.Buffer = const_cast<PWSTR>(name.c_str());
    pattern.Length = pattern.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    std::vector<uint64_t> buffer(128);  // room for one entry with a 255-character name
    IO_STATUS_BLOCK io = {};
    NTSTATUS s = query(raw, nullptr, nullptr, nullptr, &io, buffer.data(), static_cast<ULONG>(buffer.size() * 8),
                       kFileDirectoryInformation, TRUE, &pattern, TRUE);
    if (s < 0) {
        Fail(s, nullptr);
        return false;
    }
    const auto* entry = reinterpret_cast<const TDirectoryEntry*>(buffer.data());
    std::wstring found(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
    if (CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, found.c_str(), static_cast<int>(found.size()),
                       name.c_str(), static_cast<int>(name.size())) != CSTR_EQUAL) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    *attributes = entry->FileAttributes;
    return true;
}
