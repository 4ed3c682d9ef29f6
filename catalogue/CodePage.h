#pragma once
// The catalogue's wide and UTF-8 strings become the utility's 8-bit text.
// The 8-bit side is Windows-1252 in both builds, so a catalogue reads the
// same everywhere; a character it cannot hold becomes '?'.
#include <cstddef>
#include <cstdint>
#include <string>

// UTF-16LE bytes (count must be even) to 8-bit text. Unpaired surrogates and
// characters outside the code page give one '?' each.
std::string WideBytesToAnsi(const char* bytes, size_t count);
// UTF-8 bytes to 8-bit text; each byte that does not belong to a well-formed
// sequence gives one '?'.
std::string Utf8ToAnsi(const char* bytes, size_t count);

// For writers of catalogues: UTF-8 text to UTF-16LE units. Returns false on
// malformed UTF-8.
bool Utf8ToUtf16(const std::string& utf8, std::u16string& out);
