#pragma once
// TTextArena keeps many small texts in a few large blocks. A loaded catalogue
// holds its records' texts here, so a list of many records costs a few
// allocations, not one per field (small allocations are dear under Wine).
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

class TTextArena {
public:
    // A copy of the bytes that stays valid, at the same address, for the
    // arena's lifetime (moving the arena included).
    std::string_view Store(std::string_view text) {
        if (text.size() - 1 < left_) {  // the common case: fits the open block
            char* at = free_;
            CopyShort(at, text.data(), text.size());
            free_ += text.size();
            left_ -= text.size();
            return {at, text.size()};
        }
        return StoreSlow(text);
    }

private:
    // Most texts are a few bytes: two overlapping fixed-size copies beat a
    // call with a length. n > 0.
    static void CopyShort(char* to, const char* from, size_t n) {
        if (n > 16) {
            if (n > 64) {
                std::memcpy(to, from, n);
            } else {
                std::memcpy(to, from, 16);
                if (n > 32) {
                    std::memcpy(to + 16, from + 16, 16);
                    std::memcpy(to + n - 32, from + n - 32, 16);
                }
                std::memcpy(to + n - 16, from + n - 16, 16);
            }
        } else if (n >= 8) {
            std::memcpy(to, from, 8);
            std::memcpy(to + n - 8, from + n - 8, 8);
        } else if (n >= 4) {
            std::memcpy(to, from, 4);
            std::memcpy(to + n - 4, from + n - 4, 4);
        } else {
            to[0] = from[0];
            to[n / 2] = from[n / 2];
            to[n - 1] = from[n - 1];
        }
    }
    std::string_view StoreSlow(std::string_view text);
    static constexpr size_t kBlock = 64 * 1024;
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* free_ = nullptr;
    size_t left_ = 0;
};
