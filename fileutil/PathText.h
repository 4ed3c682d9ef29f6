#pragma once
// Backslash tests on path text in the ANSI code page. In the double-byte code
// pages (Japanese, Chinese, Korean) the second byte of a character may be
// 0x5C, the byte of a backslash: in cp932 "表" is 0x95 0x5C. Only a backslash
// that is a whole character counts as one.
#include <string>

// The code page ANSI path text is in: the system's ANSI code page in the
// Windows build; natively a single-byte Western one (1252), since nothing
// there knows an ANSI code page.
unsigned AnsiCodePage();

// Whether the last character (not the last byte) of text is a backslash, with
// text read in codePage. Never throws.
bool EndsWithBackslash(const std::string& text, unsigned codePage);
inline bool EndsWithBackslash(const std::string& text) { return EndsWithBackslash(text, AnsiCodePage()); }

// The position of the last whole character of text that is one of
// separators (single-byte characters such as "\\:"), or npos. Never throws.
size_t LastSeparator(const std::string& text, const char* separators, unsigned codePage);
inline size_t LastSeparator(const std::string& text, const char* separators) {
    return LastSeparator(text, separators, AnsiCodePage());
}

// Whether b starts a two-byte character in codePage. Windows answers this in
// its build; natively the lead-byte ranges of cp932, cp936, cp949 and cp950
// are known here, and every other code page is taken as single-byte.
bool IsLeadByte(unsigned codePage, unsigned char b);
