#include "fileutil/NtFile_win32.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

namespace {

const NTSTATUS kNotImplemented = static_cast<NTSTATUS>(0xC0000002L);
const NTSTATUS kNameTooLong = static_cast<NTSTATUS>(0xC0000106L);
const ULONG kFileRenameInformation = 10;

using TNtCreateFile = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                       PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using TNtSetInformationFile = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
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
