// The genuine update module's SHA-256, from the build: the release passes it
// in; test and demo trees take the digest of the test module they built.
#include "app/ModuleDownload_win32.h"
#include "app/ModuleSha256Value.h"

const char* const UpdateModuleSha256 = STIRPELLO_MODULE_SHA256;
