#pragma once
// TTextArena keeps many small texts in a few large blocks. A loaded catalogue
// holds its records' texts here, so a list of many records costs a few
// allocations, not one per field (small allocations are dear under Wine).
#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

class TTextArena {
public:
    // A copy of the bytes that stays valid, at the same address, for the
    // arena's lifetime (moving the arena included).
    std::string_view Store(std::string_view text);

private:
    static constexpr size_t kBlock = 64 * 1024;
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* free_ = nullptr;
    size_t left_ = 0;
};
