#include "tools/updlog/ClientSketch.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr uint32_t kMaxRank = 64 - TClientSketch::kPrecision + 1;
// Past this many registers set, the sparse list is no smaller than the array.
constexpr size_t kMaxSparse = TClientSketch::kRegisters / 4;

const char kHex[] = "0123456789abcdef";

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// N hex digits at text[at], or -1.
long HexAt(std::string_view text, size_t at, size_t n) {
    long v = 0;
    for (size_t i = 0; i < n; ++i) {
        const int d = HexValue(text[at + i]);
        if (d < 0) return -1;
        v = v * 16 + d;
    }
    return v;
}

// The two series of the estimator without empirical bias tables (Ertl,
// "New cardinality estimation algorithms for HyperLogLog sketches", 2017),
// accurate from a handful of clients to billions.
double Sigma(double x) {
    if (x == 1.0) return INFINITY;
    double y = 1, z = x;
    for (;;) {
        x *= x;
        const double before = z;
        z += x * y;
        y += y;
        if (z == before) return z;
    }
}

double Tau(double x) {
    if (x == 0.0 || x == 1.0) return 0;
    double y = 1, z = 1 - x;
    for (;;) {
        x = std::sqrt(x);
        const double before = z;
        y *= 0.5;
        z -= (1 - x) * (1 - x) * y;
        if (z == before) return z / 3;
    }
}

}  // namespace

uint64_t TClientSketch::Hash(std::string_view client) {
    // FNV-1a over the bytes, then a 64-bit finaliser so that every bit
    // depends on every byte.
    uint64_t h = 0xcbf29ce484222325ull;
    for (char c : client) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ull;
    h ^= h >> 33;
    return h;
}

void TClientSketch::Add(uint64_t hash) {
    const uint32_t index = static_cast<uint32_t>(hash >> (64 - kPrecision));
    // The rank: one more than the leading zeros of the remaining bits.
    uint64_t rest = hash << kPrecision;
    uint32_t rank = 1;
    while (rank < kMaxRank && !(rest & (1ull << 63))) {
        rest <<= 1;
        ++rank;
    }
    Set(index, static_cast<uint8_t>(rank));
}

void TClientSketch::Set(uint32_t index, uint8_t rank) {
    if (!dense_.empty()) {
        if (dense_[index] < rank) dense_[index] = rank;
        return;
    }
    auto it = std::lower_bound(sparse_.begin(), sparse_.end(), index << 8);
    if (it != sparse_.end() && (*it >> 8) == index) {
        if ((*it & 0xFF) < rank) *it = index << 8 | rank;
        return;
    }
    sparse_.insert(it, index << 8 | rank);
    if (sparse_.size() > kMaxSparse) MakeDense();
}

void TClientSketch::MakeDense() {
    dense_.assign(kRegisters, 0);
    for (uint32_t r : sparse_) dense_[r >> 8] = static_cast<uint8_t>(r & 0xFF);
    sparse_.clear();
    sparse_.shrink_to_fit();
}

void TClientSketch::Merge(const TClientSketch& other) {
    if (!other.dense_.empty()) {
        if (dense_.empty()) MakeDense();
        for (uint32_t i = 0; i < kRegisters; ++i) dense_[i] = std::max(dense_[i], other.dense_[i]);
        return;
    }
    for (uint32_t r : other.sparse_) Set(r >> 8, static_cast<uint8_t>(r & 0xFF));
}

uint64_t TClientSketch::Estimate() const {
    uint32_t histogram[kMaxRank + 1] = {};
    if (dense_.empty()) {
        histogram[0] = kRegisters - static_cast<uint32_t>(sparse_.size());
        for (uint32_t r : sparse_) ++histogram[r & 0xFF];
    } else {
        for (uint8_t r : dense_) ++histogram[r];
    }
    if (histogram[0] == kRegisters) return 0;
    const double m = kRegisters;
    double z = m * Tau(1 - histogram[kMaxRank] / m);
    for (int k = static_cast<int>(kMaxRank) - 1; k >= 1; --k) z = 0.5 * (z + histogram[k]);
    z += m * Sigma(histogram[0] / m);
    const double estimate = m * m / (2 * std::log(2.0)) / z;
    return static_cast<uint64_t>(std::llround(estimate));
}

std::string TClientSketch::Encode() const {
    // Registers set, as 4 hex digits of index and 2 of rank each, while that
    // is shorter than every register as 2 hex digits.
    std::vector<uint32_t> set;
    if (dense_.empty()) {
        set = sparse_;
    } else {
        for (uint32_t i = 0; i < kRegisters; ++i)
            if (dense_[i]) set.push_back(i << 8 | dense_[i]);
    }
    std::string out;
    if (set.size() * 6 < kRegisters * 2) {
        out.reserve(1 + set.size() * 6);
        out += 's';
        for (uint32_t r : set)
            for (int shift : {20, 16, 12, 8, 4, 0}) out += kHex[(r >> shift) & 0xF];
        return out;
    }
    // Only a dense sketch has this many registers set.
    out.reserve(1 + kRegisters * 2);
    out += 'd';
    for (uint8_t r : dense_) {
        out += kHex[r >> 4];
        out += kHex[r & 0xF];
    }
    return out;
}

bool TClientSketch::MergeEncoded(std::string_view text) {
    TClientSketch read;
    if (text.size() == 1 + kRegisters * 2 && text[0] == 'd') {
        read.dense_.assign(kRegisters, 0);
        for (uint32_t i = 0; i < kRegisters; ++i) {
            const long r = HexAt(text, 1 + 2 * i, 2);
            if (r < 0 || r > static_cast<long>(kMaxRank)) return false;
            read.dense_[i] = static_cast<uint8_t>(r);
        }
    } else if (!text.empty() && text[0] == 's' && (text.size() - 1) % 6 == 0) {
        for (size_t at = 1; at < text.size(); at += 6) {
            const long index = HexAt(text, at, 4), r = HexAt(text, at + 4, 2);
            if (index < 0 || index >= static_cast<long>(kRegisters) || r < 1 || r > static_cast<long>(kMaxRank))
                return false;
            read.Set(static_cast<uint32_t>(index), static_cast<uint8_t>(r));
        }
    } else {
        return false;
    }
    Merge(read);
    return true;
}
