#pragma once
// JSON text for the tool's output.
#include <string>

// A JSON string literal for UTF-8 text; bytes that are not UTF-8 become U+FFFD.
std::string JsonString(const std::string& text);
