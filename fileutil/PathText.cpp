#include "fileutil/PathText.h"

#include <cstring>

bool EndsWithBackslash(const std::string& text, unsigned codePage) {
    return !text.empty() && LastSeparator(text, "\\", codePage) == text.size() - 1;
}

size_t LastSeparator(const std::string& text, const char* separators, unsigned codePage) {
    // Characters can only be told apart from the start: a trail byte may
    // have any value a lead byte has.
    size_t found = std::string::npos;
    for (size_t i = 0; i < text.size();) {
        const unsigned char b = static_cast<unsigned char>(text[i]);
        if (IsLeadByte(codePage, b) && i + 1 < text.size()) {
            i += 2;
            continue;
        }
        if (b != 0 && std::strchr(separators, b)) found = i;
        ++i;
    }
    return found;
}
