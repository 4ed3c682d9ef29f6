#pragma once
// Pads a file image to an exact size so that its CRC-32 comes out at a chosen
// value. Used at build time to make the test update module look exactly like
// the one release build the utility accepts.
#include <cstdint>
#include <stdexcept>
#include <vector>

// Returns image followed by zero bytes up to size, whose last four bytes are
// chosen so that the CRC-32 (ISO-HDLC) of the whole result is crc. Throws
// std::invalid_argument when image leaves fewer than four bytes of padding.
std::vector<unsigned char> PadToSizeAndCrc(const std::vector<unsigned char>& image, size_t size,
                                           uint32_t crc);
