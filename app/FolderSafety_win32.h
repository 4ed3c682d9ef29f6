#pragma once
// The program folder's security read from Windows, and the verdict on it.
#include <windows.h>

#include <string>

#include "app/FolderSafety.h"

// Owner and DACL of a security descriptor; generic rights are mapped to file
// rights, and account names looked up for the log.
TObjectSecurity SecurityOf(PSECURITY_DESCRIPTOR descriptor);
// The same for a descriptor given as SDDL (tests); throws EOSError when the
// text is not valid SDDL.
TObjectSecurity SecurityFromSddl(const std::string& sddl);
// The security of a file or folder, read through a handle opened without
// following a reparse point. Protected false for volumes without ACLs and
// for a null DACL. Throws EOSError when it cannot be read.
TObjectSecurity ReadSecurity(const std::string& path);
// The verdict on the program folder dir (ending with a backslash) from its
// security and its parent's, with the elevated user's own account trusted
// as an administrator. A security that cannot be read counts as open.
TFolderSafety CheckProgramFolder(const std::string& dir);
