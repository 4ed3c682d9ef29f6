#pragma once
// CRC-32 (ISO-HDLC, as zlib computes it) of downloaded files. Values are
// held, compared and shown as signed 32-bit integers.
#include <cstddef>
#include <cstdint>
#include <string>

// Folds bytes into a running CRC that is not yet inverted; start with
// 0xFFFFFFFF and invert at the end. Uses carry-less multiplication where the
// processor has it, else portable table code; both give the same value.
uint32_t UpdateCrc32(uint32_t crc, const void* bytes, size_t count);

// Whether UpdateCrc32 now folds with carry-less multiplication.
bool Crc32Accelerated();
// Turns the carry-less multiplication off (true) or back to what the
// processor offers (false), so that tests and benchmarks can run the
// portable code on any machine. Safe to call from any thread.
void ForceCrc32Portable(bool portable);

// The CRC-32 of a whole file, read with writers refused. Throws EFOpenError
// "Cannot open file "path". reason" when the file cannot be opened.
int32_t FileCrc32(const std::string& path);
