#pragma once
// An elevated program started from a Downloads folder must not pick up a DLL
// planted beside it or in the current folder.

// Limits every later load by bare name to the system folder. Call it first
// thing in each program, before anything can load a DLL. Uses
// SetDefaultDllDirectories where kernel32 has it (Windows 8, or 7 with the
// loader update); otherwise SetDllDirectoryA(""), which at least drops the
// current folder. Returns true when the search was limited to the system
// folder. Throws nothing.
bool NarrowDllSearch();

// Has Windows refuse, for this process, junctions and other redirections
// that a non-administrator made (the redirection-trust mitigation), so an
// elevated write cannot be steered by a link a user planted. Looked up by
// name; false where Windows does not have it (before Windows 10 21H2 and
// Server 2022) or refuses it. Throws nothing.
bool TrustOnlyAdministratorRedirections();
