#pragma once
#include <string>

// The clipboard's text as UTF-8 (Windows only). False with a message when
// there is none or it cannot be read.
bool ReadClipboardText(std::string& text, std::string& error);
