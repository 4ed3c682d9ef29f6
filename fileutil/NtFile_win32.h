#pragma once
// File operations relative to an open folder handle, through ntdll: a path
// component opened or renamed this way cannot be redirected by a link or a
// folder swapped in above the handle. Win32 has no relative open, and
// SetFileInformationByHandle with RootDirectory fails under Wine (error 87).
#include <windows.h>
#include <winternl.h>

#include <cstdint>
#include <string>

// Opens name relative to root (or the full NT path name, "\??\C:\...", when
// root is null) with NtCreateFile, case-insensitively, never following a
// reparse point at name (FILE_OPEN_REPARSE_POINT) and for synchronous I/O
// (SYNCHRONIZE, FILE_SYNCHRONOUS_IO_NONALERT): disposition and options are
// NtCreateFile's (FILE_OPEN, FILE_CREATE, FILE_DIRECTORY_FILE, ...). A
// created file gets FILE_ATTRIBUTE_NORMAL and the security its folder
// passes on. Returns the handle, which the caller closes; on failure
// INVALID_HANDLE_VALUE with *status (when given) set and the Win32 error in
// GetLastError. Never throws.
HANDLE OpenRelative(HANDLE root, const std::wstring& name, ACCESS_MASK access, ULONG share, ULONG disposition,
                    ULONG options, NTSTATUS* status);

// Renames (or moves) the open file to newName relative to root, or to the
// full NT path newName when root is null, replacing an existing file of
// that name when replace is true. The file must be open with DELETE access.
// Returns false with *status (when given) and GetLastError set. Never throws.
bool RenameRelative(HANDLE file, HANDLE root, const std::wstring& newName, bool replace, NTSTATUS* status);

// The volume serial number and file index of an open file or folder, which
// together tell whether two handles name the same object. Returns false
// with GetLastError set when they cannot be read.
bool FileIdOf(HANDLE h, uint64_t* volumeSerial, uint64_t* fileIndex);

// The attributes that folder's listing gives for its entry name, read
// through a fresh listing handle of folder (opened relative to it, so the
// caller's handle needs no particular access). A listing tells a link by
// its name: under Wine a handle opened on a symbolic link to a folder, even
// with FILE_OPEN_REPARSE_POINT, is the target and shows the target's
// attributes, while its listing entry shows FILE_ATTRIBUTE_REPARSE_POINT.
// Returns false with GetLastError set when there is no such entry, name
// holds wildcard characters, or the listing cannot be read.
bool EntryAttributes(HANDLE folder, const std::wstring& name, DWORD* attributes);
