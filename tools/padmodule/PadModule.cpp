#include "tools/padmodule/PadModule.h"

#include <array>

#include "web/Crc32.h"

namespace {

// CRC-32 of the whole file when its last four bytes hold x, given the running
// register after everything before them.
uint32_t FinalCrc(uint32_t prefixRegister, uint32_t x) {
    unsigned char b[4] = {static_cast<unsigned char>(x), static_cast<unsigned char>(x >> 8),
                          static_cast<unsigned char>(x >> 16), static_cast<unsigned char>(x >> 24)};
    return UpdateCrc32(prefixRegister, b, 4) ^ 0xFFFFFFFFu;
}

}  // namespace

// A CRC is affine over GF(2) in the message bits: with everything else fixed,
// Final(x) = Final(0) xor L(x) for a linear map L of the four free bytes x.
// Evaluating Final at 0 and at the 32 unit vectors gives L's columns; Gaussian
// elimination then solves L(x) = Final(0) xor wanted. For four consecutive
// bytes L is invertible (the CRC register is 32 bits and each step is a
// bijection), so every wanted value is reachable, exactly once.
std::vector<unsigned char> PadToSizeAndCrc(const std::vector<unsigned char>& image, size_t size,
                                           uint32_t crc) {
    if (size < 4 || image.size() > size - 4)
        throw std::invalid_argument("image too large for the padded size");
    std::vector<unsigned char> out(image);
    out.resize(size, 0);
    const uint32_t prefix = UpdateCrc32(0xFFFFFFFFu, out.data(), size - 4);
    const uint32_t base = FinalCrc(prefix, 0);

    // Rows of the augmented system: bit r of each column, plus which unit
    // vectors were combined to get there.
    std::array<uint32_t, 32> col{};
    for (int i = 0; i < 32; ++i) col[i] = FinalCrc(prefix, 1u << i) ^ base;
    std::array<uint32_t, 32> combo{};
    for (int i = 0; i < 32; ++i) combo[i] = 1u << i;
    // Column reduction: make col[r] the only column with a leading bit r.
    for (int r = 0; r < 32; ++r) {
        int pivot = -1;
        for (int i = r; i < 32; ++i)
            if (col[i] & (1u << r)) { pivot = i; break; }
        if (pivot < 0) throw std::logic_error("CRC map is singular");
        std::swap(col[r], col[pivot]);
        std::swap(combo[r], combo[pivot]);
        for (int i = 0; i < 32; ++i)
            if (i != r && (col[i] & (1u << r))) {
                col[i] ^= col[r];
                combo[i] ^= combo[r];
            }
    }
    // Now col[r] == 1 << r, so the wanted difference is the xor of the
    // combinations of its set bits.
    uint32_t want = base ^ crc, x = 0;
    for (int r = 0; r < 32; ++r)
        if (want & (1u << r)) x ^= combo[r];
    for (int k = 0; k < 4; ++k) out[size - 4 + k] = static_cast<unsigned char>(x >> (8 * k));
    return out;
}
