#include "catalogue/CodePage.h"

namespace {

// Windows-1252 0x80..0x9F; 0 where the code page leaves the byte undefined,
// which then stands for the C1 control of the same number.
const uint16_t kHigh[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char ToAnsi(uint32_t cp) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<char>(cp);
    for (int i = 0; i < 32; ++i) {
        if (kHigh[i] == cp || (kHigh[i] == 0 && cp == 0x80u + static_cast<uint32_t>(i)))
            return static_cast<char>(0x80 + i);
    }
    return '?';
}

// Decodes one well-formed UTF-8 sequence at s[i..n); returns its length, or 0
// when the bytes there are malformed.
size_t DecodeUtf8(const unsigned char* s, size_t i, size_t n, uint32_t& cp) {
    unsigned char b = s[i];
    size_t len;
    uint32_t min;
    if (b < 0x80) {
        cp = b;
        return 1;
    } else if ((b & 0xE0) == 0xC0) {
        len = 2, min = 0x80, cp = b & 0x1Fu;
    } else if ((b & 0xF0) == 0xE0) {
        len = 3, min = 0x800, cp = b & 0x0Fu;
    } else if ((b & 0xF8) == 0xF0) {
        len = 4, min = 0x10000, cp = b & 0x07u;
    } else {
        return 0;
    }
    if (n - i < len) return 0;
    for (size_t k = 1; k < len; ++k) {
        if ((s[i + k] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (s[i + k] & 0x3Fu);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

}  // namespace

std::string WideBytesToAnsi(const char* bytes, size_t count) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(bytes);
    size_t units = count / 2;
    std::string out;
    out.reserve(units);
    for (size_t i = 0; i < units; ++i) {
        uint32_t u = b[2 * i] | (static_cast<uint32_t>(b[2 * i + 1]) << 8);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            uint32_t lo = b[2 * i + 2] | (static_cast<uint32_t>(b[2 * i + 3]) << 8);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                ++i;  // a pair: one character outside the code page
                out += '?';
                continue;
            }
        }
        out += (u >= 0xD800 && u <= 0xDFFF) ? '?' : ToAnsi(u);
    }
    return out;
}

std::string Utf8ToAnsi(const char* bytes, size_t count) {
    const unsigned char* s = reinterpret_cast<const unsigned char*>(bytes);
    std::string out;
    out.reserve(count);
    size_t i = 0;
    while (i < count) {
        if (s[i] < 0x80) {
            out += static_cast<char>(s[i++]);
            continue;
        }
        uint32_t cp = 0;
        size_t len = DecodeUtf8(s, i, count, cp);
        if (len == 0) {
            out += '?';
            ++i;
        } else {
            out += ToAnsi(cp);
            i += len;
        }
    }
    return out;
}

bool Utf8ToUtf16(const std::string& utf8, std::u16string& out) {
    const unsigned char* s = reinterpret_cast<const unsigned char*>(utf8.data());
    out.clear();
    size_t i = 0;
    while (i < utf8.size()) {
        uint32_t cp = 0;
        size_t len = DecodeUtf8(s, i, utf8.size(), cp);
        if (len == 0) return false;
        i += len;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return true;
}
