#pragma once
// Elevated writes and deletes must land where their path says, not where a
// junction, symbolic link or hard link a user planted points.
#include <windows.h>

#include <string>

#include "fileutil/Errors.h"

// A write refused because the file is not a plain file where its path says.
class ERedirectedFile : public EFOpenError {
public:
    using EFOpenError::EFOpenError;
};

// "" when the open file is a plain file (no reparse point, one name) whose
// final path ends in the folder and name that path gives; else the reason,
// for the log. A link further up than the file's own folder is not looked
// for: the program folder's own path is the one located, links and all.
// Where Windows cannot give a final path (before Vista) only the file itself
// is checked.
std::string RedirectedFileReason(HANDLE file, const std::string& path);

// Opens path for writing, creating it when missing, without following a
// link at its name, and hands back the handle only when RedirectedFileReason
// finds nothing: an existing file is emptied (truncate true) only then.
// Throws ERedirectedFile with the reason then, EFOpenError when it cannot be
// opened at all.
HANDLE OpenPlainFileForWriting(const std::string& path, DWORD access, DWORD share, bool create, bool truncate);
