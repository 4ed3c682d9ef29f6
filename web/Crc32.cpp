#include "web/Crc32.h"

#include <array>
#include <cstring>

namespace {

// Slicing-by-16: table[0] is the standard byte table of the reflected
// polynomial 0xEDB88320; table[k] advances a byte through k further zero bytes,
// so sixteen input bytes are folded with sixteen independent look-ups.
using Tables = std::array<std::array<uint32_t, 256>, 16>;

constexpr Tables MakeTables() {
    Tables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        t[0][i] = c;
    }
    for (size_t i = 0; i < 256; ++i)
        for (size_t k = 1; k < 16; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    return t;
}

constexpr Tables kTables = MakeTables();
static_assert(kTables[0][1] == 0x77073096u, "standard CRC-32 table");

inline uint32_t Load32(const unsigned char* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);  // the folding below assumes little-endian, as x86 is
    return v;
}

}  // namespace

uint32_t UpdateCrc32(uint32_t crc, const void* bytes, size_t count) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    const auto& t = kTables;
    while (count >= 16) {
        uint32_t a = Load32(p) ^ crc, b = Load32(p + 4), c = Load32(p + 8), d = Load32(p + 12);
        crc = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^
              t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^
              t[7][c & 0xFF] ^ t[6][(c >> 8) & 0xFF] ^ t[5][(c >> 16) & 0xFF] ^ t[4][c >> 24] ^
              t[3][d & 0xFF] ^ t[2][(d >> 8) & 0xFF] ^ t[1][(d >> 16) & 0xFF] ^ t[0][d >> 24];
        p += 16;
        count -= 16;
    }
    while (count--) crc = t[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return crc;
}
