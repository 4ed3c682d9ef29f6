#include "web/Crc32.h"

#include <atomic>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define STIRPELLO_CRC_CLMUL 1
#endif

namespace {

constexpr uint32_t kPoly = 0xEDB88320u;  // reflected 0x04C11DB7

// The portable code braids: five independent lanes of 8-byte words, so the
// table look-ups of one lane do not wait for those of the others.
constexpr size_t kLanes = 5;
constexpr size_t kWord = 8;

// table[0] is the standard byte table. braid[j][b] is what byte b at offset j
// of an 8-byte word leaves in the register after the rest of the word and the
// other lanes' words (kLanes * kWord - j - 1 zero bytes) have passed.
struct Tables {
    uint32_t byte[256];
    uint32_t braid[kWord][256];
};

constexpr uint32_t ByteStep(uint32_t c) {
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ kPoly : c >> 1;
    return c;
}

constexpr Tables MakeTables() {
    Tables t{};
    for (uint32_t i = 0; i < 256; ++i) t.byte[i] = ByteStep(i);
    for (size_t j = 0; j < kWord; ++j)
        for (uint32_t b = 0; b < 256; ++b) {
            uint32_t c = t.byte[b];
            for (size_t z = 0; z < kLanes * kWord - j - 1; ++z) c = t.byte[c & 0xFF] ^ (c >> 8);
            t.braid[j][b] = c;
        }
    return t;
}

constexpr Tables kTables = MakeTables();
static_assert(kTables.byte[1] == 0x77073096u, "standard CRC-32 table");

inline uint64_t Load64(const unsigned char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);  // the braid assumes little-endian words, as x86 has
    return v;
}

inline uint32_t Bytes(uint32_t crc, const unsigned char* p, size_t count) {
    while (count--) crc = kTables.byte[(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return crc;
}

inline uint32_t Word(uint64_t w) {
    const auto& b = kTables.braid;
    return b[0][w & 0xFF] ^ b[1][(w >> 8) & 0xFF] ^ b[2][(w >> 16) & 0xFF] ^ b[3][(w >> 24) & 0xFF] ^
           b[4][(w >> 32) & 0xFF] ^ b[5][(w >> 40) & 0xFF] ^ b[6][(w >> 48) & 0xFF] ^ b[7][w >> 56];
}

uint32_t Portable(uint32_t crc, const unsigned char* p, size_t count) {
    constexpr size_t block = kLanes * kWord;
    if (count >= 2 * block) {
        size_t blocks = count / block;
        uint32_t c[kLanes] = {crc, 0, 0, 0, 0};
        for (size_t n = 1; n < blocks; ++n, p += block) {
            uint64_t w0 = Load64(p) ^ c[0], w1 = Load64(p + 8) ^ c[1], w2 = Load64(p + 16) ^ c[2],
                     w3 = Load64(p + 24) ^ c[3], w4 = Load64(p + 32) ^ c[4];
            c[0] = Word(w0);
            c[1] = Word(w1);
            c[2] = Word(w2);
            c[3] = Word(w3);
            c[4] = Word(w4);
        }
        // The last block joins the lanes into one register, word by word.
        crc = 0;
        for (size_t k = 0; k < kLanes; ++k, p += kWord) {
            uint64_t w = Load64(p) ^ c[k] ^ crc;
            unsigned char b[kWord];
            std::memcpy(b, &w, kWord);
            crc = Bytes(0, b, kWord);
        }
        count -= blocks * block;
    }
    return Bytes(crc, p, count);
}

#ifdef STIRPELLO_CRC_CLMUL

#define STIRPELLO_CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))

STIRPELLO_CLMUL_TARGET inline __m128i Load128(const unsigned char* q) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
}

// x times x^n modulo the polynomial for both halves, added to next.
STIRPELLO_CLMUL_TARGET inline __m128i Fold(__m128i x, __m128i k, __m128i next) {
    __m128i lo = _mm_clmulepi64_si128(x, k, 0x00), hi = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(lo, hi), next);
}

// Folds 128 bytes at a time in eight 128-bit lanes (enough independent
// multiplications to keep the unit busy), then 64 in four, then the lanes
// into one, then reduces 128 bits to the 32-bit register (Barrett). The
// constants are powers of x modulo the polynomial, bit-reflected and shifted
// by one: x^(d+32) and x^(d-32) to fold over d bits (1024, 512 and 128), x^64,
// then the polynomial and its Barrett quotient. count >= 64, a multiple of 16.
STIRPELLO_CLMUL_TARGET uint32_t Clmul(uint32_t crc, const unsigned char* p, size_t count) {
    const __m128i fold8 = _mm_set_epi64x(0x14a7fe880LL, 0x1e88ef372LL);
    const __m128i fold4 = _mm_set_epi64x(0x1c6e41596LL, 0x154442bd4LL);
    const __m128i fold1 = _mm_set_epi64x(0x0ccaa009eLL, 0x1751997d0LL);
    const __m128i to32 = _mm_set_epi64x(0, 0x163cd6124LL);
    const __m128i barrett = _mm_set_epi64x(0x1f7011641LL, 0x1db710641LL);
    const __m128i low32 = _mm_set_epi32(0, 0, 0, -1);
    __m128i x0 = _mm_xor_si128(Load128(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x1 = Load128(p + 16), x2 = Load128(p + 32), x3 = Load128(p + 48);
    p += 64;
    count -= 64;
    if (count >= 64) {
        __m128i x4 = Load128(p), x5 = Load128(p + 16), x6 = Load128(p + 32), x7 = Load128(p + 48);
        p += 64;
        count -= 64;
        for (; count >= 128; p += 128, count -= 128) {
            x0 = Fold(x0, fold8, Load128(p));
            x1 = Fold(x1, fold8, Load128(p + 16));
            x2 = Fold(x2, fold8, Load128(p + 32));
            x3 = Fold(x3, fold8, Load128(p + 48));
            x4 = Fold(x4, fold8, Load128(p + 64));
            x5 = Fold(x5, fold8, Load128(p + 80));
            x6 = Fold(x6, fold8, Load128(p + 96));
            x7 = Fold(x7, fold8, Load128(p + 112));
        }
        x0 = Fold(x0, fold4, x4);
        x1 = Fold(x1, fold4, x5);
        x2 = Fold(x2, fold4, x6);
        x3 = Fold(x3, fold4, x7);
    }
    for (; count >= 64; p += 64, count -= 64) {
        x0 = Fold(x0, fold4, Load128(p));
        x1 = Fold(x1, fold4, Load128(p + 16));
        x2 = Fold(x2, fold4, Load128(p + 32));
        x3 = Fold(x3, fold4, Load128(p + 48));
    }
    x0 = Fold(x0, fold1, x1);
    x0 = Fold(x0, fold1, x2);
    x0 = Fold(x0, fold1, x3);
    for (; count >= 16; p += 16, count -= 16) x0 = Fold(x0, fold1, Load128(p));

    __m128i t = _mm_clmulepi64_si128(x0, fold1, 0x10);
    x0 = _mm_xor_si128(_mm_srli_si128(x0, 8), t);
    t = _mm_srli_si128(x0, 4);
    x0 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x0, low32), to32, 0x00), t);
    t = x0;
    x0 = _mm_clmulepi64_si128(_mm_and_si128(x0, low32), barrett, 0x10);
    x0 = _mm_clmulepi64_si128(_mm_and_si128(x0, low32), barrett, 0x00);
    return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x0, t), 1));
}

bool CpuHasClmul() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    return (c & bit_PCLMUL) && (c & bit_SSE4_1);
}

#else

bool CpuHasClmul() { return false; }

#endif

const bool g_cpuHasClmul = CpuHasClmul();
std::atomic<bool> g_forcePortable{false};

}  // namespace

bool Crc32Accelerated() { return g_cpuHasClmul && !g_forcePortable.load(std::memory_order_relaxed); }

void ForceCrc32Portable(bool portable) { g_forcePortable = portable; }

uint32_t UpdateCrc32(uint32_t crc, const void* bytes, size_t count) {
    const auto* p = static_cast<const unsigned char*>(bytes);
#ifdef STIRPELLO_CRC_CLMUL
    if (count >= 64 && Crc32Accelerated()) {
        size_t folded = count & ~size_t(15);
        crc = Clmul(crc, p, folded);
        p += folded;
        count -= folded;
    }
#endif
    return Portable(crc, p, count);
}
