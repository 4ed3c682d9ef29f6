#pragma once
// Pacing of the socket twins' waits and of their connection attempts across
// a host's addresses (the Happy Eyeballs way: staggered, not one by one).
#include <cstddef>
#include <cstdint>
#include <vector>

namespace socketplan {

// An attempt that has not connected by then no longer holds up the next
// address; the one that answers first still wins.
constexpr int32_t AttemptDelayMs = 250;
// Every wait checks the abort flag at least this often, so a cancel whose
// wake-up datagram was dropped (or never had a socket) still ends it.
constexpr int32_t WaitSliceMs = 250;
// Attempts open at once: bounds descriptors and Winsock's 64-entry fd_set
// against a resolver answer of any length.
constexpr size_t MaxOpenAttempts = 16;

// The resolver's order, with the address families taking turns from the
// first one's family on, so that a family whose route drops packets delays
// the other by one attempt delay only.
template <class T, class FamilyOf>
std::vector<T> InterleaveFamilies(const std::vector<T>& in, FamilyOf familyOf) {
    if (in.empty()) return {};
    std::vector<T> first, other, out;
    for (const T& t : in) (familyOf(t) == familyOf(in.front()) ? first : other).push_back(t);
    for (size_t i = 0; i < first.size() || i < other.size(); ++i) {
        if (i < first.size()) out.push_back(first[i]);
        if (i < other.size()) out.push_back(other[i]);
    }
    return out;
}

}  // namespace socketplan
