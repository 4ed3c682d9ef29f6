// Decoding a paste: the bytes as UTF-8 text, whatever encoding a mail
// program or an editor gave them, with retyped punctuation put back.
#include "tools/updlog/Explain.h"

#include <algorithm>

namespace {

void AppendUtf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool ValidUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 && c >= 0xC2 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

std::string FromUtf16(const std::string& b, size_t start, bool little) {
    std::string out;
    for (size_t i = start; i + 1 < b.size(); i += 2) {
        unsigned lo = static_cast<unsigned char>(b[i]), hi = static_cast<unsigned char>(b[i + 1]);
        unsigned u = little ? lo | (hi << 8) : hi | (lo << 8);
        if (u >= 0xD800 && u < 0xDC00 && i + 3 < b.size()) {
            unsigned lo2 = static_cast<unsigned char>(b[i + 2]), hi2 = static_cast<unsigned char>(b[i + 3]);
            unsigned u2 = little ? lo2 | (hi2 << 8) : hi2 | (lo2 << 8);
            if (u2 >= 0xDC00 && u2 < 0xE000) {
                AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (u2 - 0xDC00));
                i += 2;
                continue;
            }
        }
        AppendUtf8(out, (u >= 0xD800 && u < 0xE000) ? 0xFFFD : u);
    }
    return out;
}

// Windows-1252, the ANSI code page of Western systems; bytes it leaves
// undefined keep their Latin-1 meaning.
std::string FromWindows1252(const std::string& b) {
    static const unsigned short k80[32] = {0x20AC, 0x81,   0x201A, 0x192,  0x201E, 0x2026, 0x2020, 0x2021,
                                           0x2C6,  0x2030, 0x160,  0x2039, 0x152,  0x8D,   0x17D,  0x8F,
                                           0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                           0x2DC,  0x2122, 0x161,  0x203A, 0x153,  0x9D,   0x17E,  0x178};
    std::string out;
    for (char ch : b) {
        unsigned c = static_cast<unsigned char>(ch);
        AppendUtf8(out, c >= 0x80 && c < 0xA0 ? k80[c - 0x80] : c);
    }
    return out;
}

// Word, mail programs and phones retype what is pasted: curly quotes, an
// ellipsis, dashes, no-break and zero-width spaces. The log writes none of
// them, so each goes back to what the log wrote.
std::string PlainTypography(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80 || i + 1 >= s.size()) {
            out += s[i++];
            continue;
        }
        unsigned cp = 0;
        size_t n = (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
        if (n == 1 || i + n > s.size()) {
            out += s[i++];
            continue;
        }
        cp = c & (n == 2 ? 0x1F : n == 3 ? 0x0F : 0x07);
        for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        const char* plain = nullptr;
        switch (cp) {
        case 0x2018: case 0x2019: case 0x201A: case 0x201B: case 0x2032: plain = "'"; break;
        case 0x201C: case 0x201D: case 0x201E: case 0x201F: case 0x2033: plain = "\""; break;
        case 0x2026: plain = "..."; break;
        case 0x2010: case 0x2011: case 0x2012: case 0x2013: case 0x2014: case 0x2015: case 0x2212: plain = "-"; break;
        case 0x00A0: case 0x2007: case 0x202F: case 0x2000: case 0x2001: case 0x2002: case 0x2003: case 0x2004:
        case 0x2005: case 0x2006: case 0x2008: case 0x2009: case 0x200A: case 0x3000: plain = " "; break;
        case 0x200B: case 0x200C: case 0x200D: case 0x2060: case 0xFEFF: case 0x00AD: plain = ""; break;
        default: break;
        }
        if (plain) out += plain;
        else out.append(s, i, n);
        i += n;
    }
    return out;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// A mail's source: every '=' of the text is written "=3D", and a log has
// one in each "Reg Key Dir=" line. A log as it is never holds "=3D".
bool QuotedPrintable(const std::string& b) { return b.find("=3D") != std::string::npos; }

// "=XX" is the byte XX; "=" at a line's end joins the line to the next (a
// quoted line's continuation then repeats the quoting marks, dropped too).
// An '=' of neither form is kept: the mail's headers hold such.
std::string FromQuotedPrintable(const std::string& b) {
    std::string out;
    out.reserve(b.size());
    size_t lineStart = 0;
    for (size_t i = 0; i < b.size(); ++i) {
        if (b[i] == '\n') lineStart = out.size() + 1;
        if (b[i] != '=') {
            out += b[i];
            continue;
        }
        size_t e = i + 1;
        while (e < b.size() && (b[e] == ' ' || b[e] == '\t')) ++e;
        if (e < b.size() && (b[e] == '\n' || (b[e] == '\r' && e + 1 < b.size() && b[e + 1] == '\n'))) {
            i = b[e] == '\r' ? e + 1 : e;
            // The quoting marks the line began with, again on the next.
            size_t mark = lineStart;
            while (mark < out.size() && (out[mark] == '>' || out[mark] == ' ')) ++mark;
            if (mark > lineStart && out[lineStart] == '>') {
                const size_t n = mark - lineStart;
                if (b.compare(i + 1, n, out, lineStart, n) == 0) i += n;
            }
            continue;
        }
        const int hi = i + 2 < b.size() ? HexValue(b[i + 1]) : -1, lo = i + 2 < b.size() ? HexValue(b[i + 2]) : -1;
        if (hi < 0 || lo < 0) {
            out += b[i];
            continue;
        }
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return out;
}

TDecodedText DecodeBytes(const std::string& b) {
    if (b.size() >= 3 && b.compare(0, 3, "\xEF\xBB\xBF") == 0) return {b.substr(3), "UTF-8"};
    if (b.size() >= 2 && b[0] == '\xFF' && b[1] == '\xFE') return {FromUtf16(b, 2, true), "UTF-16LE"};
    if (b.size() >= 2 && b[0] == '\xFE' && b[1] == '\xFF') return {FromUtf16(b, 2, false), "UTF-16BE"};
    // UTF-16 without a mark: ASCII text then has a zero in every other byte.
    size_t evenZero = 0, oddZero = 0;
    for (size_t i = 0; i < b.size() && i < 4096; ++i) (i % 2 ? oddZero : evenZero) += b[i] == '\0';
    const size_t half = std::min<size_t>(b.size(), 4096) / 2;
    if (half >= 8 && oddZero * 10 >= half * 9) return {FromUtf16(b, 0, true), "UTF-16LE"};
    if (half >= 8 && evenZero * 10 >= half * 9) return {FromUtf16(b, 0, false), "UTF-16BE"};
    if (ValidUtf8(b)) return {b, "UTF-8"};
    return {FromWindows1252(b), "Windows-1252"};
}

}  // namespace

TDecodedText DecodePaste(const std::string& b) {
    const bool qp = QuotedPrintable(b);
    TDecodedText d = DecodeBytes(qp ? FromQuotedPrintable(b) : b);
    d.Text = PlainTypography(d.Text);
    if (qp) d.Encoding = "quoted-printable " + d.Encoding;
    return d;
}
