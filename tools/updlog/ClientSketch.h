#pragma once
// An estimate of how many distinct clients (addresses) made a set of
// requests, in bounded memory: a HyperLogLog sketch of 2^14 registers. Two
// sketches merge by taking each register's maximum, which gives exactly the
// sketch of the union, so partial counts merged equal one count. Small sets
// are kept sparse (a sorted list of the registers set), so that a sketch per
// week costs little when the week has few clients.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class TClientSketch {
public:
    static constexpr int kPrecision = 14;
    static constexpr uint32_t kRegisters = 1u << kPrecision;
    // The estimate's relative standard error, 1.04 / sqrt(registers).
    static constexpr double kRelativeError = 0.0081;

    // A 64-bit hash of a client address, spread well enough for the sketch.
    static uint64_t Hash(std::string_view client);

    void Add(uint64_t hash);
    void Merge(const TClientSketch& other);
    bool Empty() const { return dense_.empty() && sparse_.empty(); }
    // The estimated number of distinct clients added.
    uint64_t Estimate() const;

    // One token without blanks ("s..." or "d..."), the same for the same
    // registers however they were reached.
    std::string Encode() const;
    // Merges an encoded sketch in; false (nothing merged) when it is not one.
    bool MergeEncoded(std::string_view text);

private:
    std::vector<uint8_t> dense_;    // one rank per register, once dense
    std::vector<uint32_t> sparse_;  // index << 8 | rank, sorted by index, until then
    void Set(uint32_t index, uint8_t rank);
    void MakeDense();
};
