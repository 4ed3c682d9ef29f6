#pragma once
// Opening a file whose checksum is about to be taken.
#include <windows.h>

#include <string>

#include "fileutil/Handles_win32.h"

// Opens path for reading with writers refused while it is open, so the bytes
// checked are the bytes on disk. flags go to CreateFileA with
// FILE_ATTRIBUTE_NORMAL. Throws EFOpenError "Cannot open file "full path".
// reason" when it cannot be opened.
TFileHandle OpenForChecksum(const std::string& path, DWORD flags = 0);
