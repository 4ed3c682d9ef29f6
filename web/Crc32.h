#pragma once
// CRC-32 (ISO-HDLC, as zlib computes it) of downloaded files. Values are
// held, compared and shown as signed 32-bit integers.
#include <cstddef>
#include <cstdint>
#include <string>

// Folds bytes into a running CRC that is not yet inverted; start with
// 0xFFFFFFFF and invert at the end.
uint32_t UpdateCrc32(uint32_t crc, const void* bytes, size_t count);

// The CRC-32 of a whole file, read with writers refused. Throws EFOpenError
// "Cannot open file "path". reason" when the file cannot be opened.
int32_t FileCrc32(const std::string& path);
