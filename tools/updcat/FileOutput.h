#pragma once
#include <string>

// Writes bytes to path through a temporary file beside it, so that a failed
// write never leaves half a file where a whole one stood. Throws EError.
void WriteFileReplacing(const std::string& path, const std::string& bytes);
