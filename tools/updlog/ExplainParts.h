#pragma once
// What the parts of explain (matcher, diagnosis, output) share beyond
// Explain.h.
#include <string>

// Does the path name the update module (...\Stirpello.exe, any letter case)?
bool NamesModule(const std::string& path);
