#include "catalogue/TextArena.h"

#include <cstring>

std::string_view TTextArena::StoreSlow(std::string_view text) {
    if (text.empty()) return {};
    if (text.size() > kBlock / 4) {
        // A large text gets a block of its own; the current block stays open.
        blocks_.emplace_back(new char[text.size()]);
        std::memcpy(blocks_.back().get(), text.data(), text.size());
        return {blocks_.back().get(), text.size()};
    }
    if (text.size() > left_) {
        blocks_.emplace_back(new char[kBlock]);
        free_ = blocks_.back().get();
        left_ = kBlock;
    }
    char* at = free_;
    std::memcpy(at, text.data(), text.size());
    free_ += text.size();
    left_ -= text.size();
    return {at, text.size()};
}
