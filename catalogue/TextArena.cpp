#include "catalogue/TextArena.h"

#include <algorithm>
#include <cstring>

std::string_view TTextArena::StoreSlow(std::string_view text) {
    if (text.empty()) return {};
    const size_t prefix = text.size() >= kLongText ? sizeof(uint32_t) : 0;
    const size_t need = prefix + text.size();
    char* at;
    if (need > kBlock / 4) {
        // A large text gets a block of its own; the current block stays open.
        blocks_.emplace_back(new char[need]);
        at = blocks_.back().get();
    } else {
        if (need > left_) {
            // Each block twice the last, up to a limit: a small arena stays
            // small, a catalogue's takes few allocations (dear under Wine).
            nextBlock_ = nextBlock_ ? std::min(2 * nextBlock_, kMaxBlock) : kBlock;
            blocks_.emplace_back(new char[nextBlock_]);
            free_ = blocks_.back().get();
            left_ = nextBlock_;
        }
        at = free_;
        free_ += need;
        left_ -= need;
    }
    if (prefix) {
        const uint32_t n = static_cast<uint32_t>(text.size());  // holders refuse 4 GiB and more
        std::memcpy(at, &n, sizeof n);
        at += sizeof n;
    }
    std::memcpy(at, text.data(), text.size());
    return {at, text.size()};
}
