#pragma once
#include <cctype>
#include <string>

namespace catfix {

// "06 03 49 30 30" to bytes; spaces are ignored.
inline std::string Hex(const std::string& text) {
    std::string out;
    int nibble = -1;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10;
        if (nibble < 0) {
            nibble = v;
        } else {
            out += static_cast<char>(nibble * 16 + v);
            nibble = -1;
        }
    }
    return out;
}

}  // namespace catfix
