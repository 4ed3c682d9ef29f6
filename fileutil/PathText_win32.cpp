#include <windows.h>

#include "fileutil/PathText.h"

unsigned AnsiCodePage() { return GetACP(); }

bool IsLeadByte(unsigned codePage, unsigned char b) { return IsDBCSLeadByteEx(codePage, b) != FALSE; }
